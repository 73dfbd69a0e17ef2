#pragma once

// Codecs of the scalar base types: stored bytes to value text and back. Setters report what they did in a
// Change and post nothing; the string and buffer setters report a change whenever they write.

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "introspection_types.h"
#include "json.h"

std::string getIntIntrospection(void const* address, int index);
std::string getFloatIntrospection(void const* address, int index);
std::string getBoolIntrospection(void const* address, int index);
std::string getStringIntrospection(void const* address, int index);
std::string getBufferIntrospection(void const* address, unsigned length);

Change setIntIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                           char const* text);
Change setFloatIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                             char const* text);
Change setBoolIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                            char const* text);
Change setStringIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                              char const* text);
Change setBufferIntrospection(char* blockBase, unsigned length, uint32_t block, uint32_t variable,
                              Notify notify, char const* text);
// The raw image of one record: the variable itself (param1 0) or element param2.
Change setRecordImage(char* blockBase, uint32_t block, uint32_t variable, Notify notify, char const* data,
                      std::size_t size);

using JsonPairs = std::vector<std::pair<std::string, Json::ObjectValue>>;

// One field of one record element from a set request: the last pair names the field and carries the text. The
// element is param2 of notify; one outside the variable is refused with an error text and nothing written.
// Unknown fields and entry names change nothing. An int or float text that does not convert throws
// std::invalid_argument or std::out_of_range.
Change setJson(char* blockBase, uint32_t block, uint32_t variable, Notify notify, JsonPairs const& pairs);

int hexDigit(char c); // throws "Not a valid hex digit: %c"

// Compare and store, bytewise (so 0.0 and -0.0 differ): whether the stored bytes changed.
template <typename T> bool store(T& variable, T const& value) {
    if (memcmp(&variable, &value, sizeof(T)) == 0)
        return false;
    memcpy(&variable, &value, sizeof(T));
    return true;
}
