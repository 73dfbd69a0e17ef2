#include "notify.h"

#include "event_names_gen.h"

char const* eventName(Notify const& notify) {
    return notify.event < EVENT_NAME_SIZE ? EVENT_NAME[notify.event] : UNKNOWN_EVENT_NAME;
}
