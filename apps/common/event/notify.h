#pragma once

#include <cstdint>

// One event as the broker carries it. The same twelve bytes are the value in memory and the record on the
// wire, so the layout is fixed: three native 32-bit words, no padding.
struct Notify {
    uint32_t event;  // index into EVENT_NAME
    uint32_t param1; // passed on unchanged; 1 marks a variable that is an array of records
    uint32_t param2; // passed on unchanged; the element index of such a variable
};
static_assert(sizeof(Notify) == 12, "Notify is a wire record of three 32-bit words");

// The name of the record's event. Identifiers beyond the table (a broker that knows newer events) are named
// UNKNOWN_EVENT_NAME rather than read past it.
char const* eventName(Notify const& notify);
constexpr char const* UNKNOWN_EVENT_NAME = "UnknownEvent";
