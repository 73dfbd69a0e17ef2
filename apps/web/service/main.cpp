#include <exception>

#include "eventpoll.h"
#include "fcgi.h"
#include "gen_init.h"
#include "log.h"
#include "requesthandler.h"

void processPreInit() {}
void processPostInit() {}

namespace {
// Whatever an endpoint or a layer leaves uncaught ends that one piece of work, not the service: the device
// keeps its web interface, and the line in the kernel log says what went wrong.
template <typename Action> int guarded(Action action) {
    try {
        return action();
    } catch (std::exception const& e) {
        LOG(Error, "Uncaught failure, serving goes on: %s", e.what());
    } catch (...) {
        LOG(Error, "Uncaught failure, serving goes on");
    }
    return EventPoll::INTERRUPTED;
}
} // namespace

int main() {
    gen::init();
    EventPoll& poll = gen::getEventPoll();
    {
        Fcgi fcgi(Constants::FCGI_PORT, poll);
        RequestHandler handler(poll, fcgi);
        fcgi.callback = &handler;
        gen::getServerConnection()->setHandler(&handler);
        while (guarded([&] { return poll.wait(Constants::MAIN_LOOP_TIMEOUT_MS, false); }) !=
               EventPoll::TERMINATE)
            guarded([&] {
                handler.periodic();
                return 0;
            });
        gen::closeServerConnection();
    }
    return 0;
}
