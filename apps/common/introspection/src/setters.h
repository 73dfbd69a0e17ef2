#pragma once

// Codecs of the scalar base types: stored bytes to value text and back. Setters return an error text, empty
// on success, and post the variable's change event when they change it (the string and buffer setters
// always).

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "introspection_types.h"
#include "json.h"
#include "serverconnection.h"

std::string getIntIntrospection(void const* address, int index);
std::string getFloatIntrospection(void const* address, int index);
std::string getBoolIntrospection(void const* address, int index);
std::string getStringIntrospection(void const* address, int index);
std::string getBufferIntrospection(void const* address, unsigned length);

std::string setIntIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                char const* text);
std::string setFloatIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                  char const* text);
std::string setBoolIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                 char const* text);
std::string setStringIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                   char const* text);
std::string setBufferIntrospection(char* blockBase, unsigned length, uint32_t block, uint32_t variable,
                                   Notify notify, char const* text);
// The raw image of one record: the variable itself (param1 0) or element param2.
std::string setRecordImage(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                           char const* data, std::size_t size);

using JsonPairs = std::vector<std::pair<std::string, Json::ObjectValue>>;

// One field of one record element from a set request: the last pair names the field and carries the text. The
// element is param2 of notify; one outside the variable is refused with an error text and nothing written.
std::string setJson(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                    JsonPairs const& pairs);
// The field of the element at element (a record of size bytes); unknown fields and entry names change
// nothing. An int or float text that does not convert throws std::invalid_argument or std::out_of_range.
std::string setRecordFromJson(char* element, std::vector<StructInfo> const* fields, JsonPairs const& pairs,
                              Notify notify, uint32_t size);

int hexDigit(char c); // throws "Not a valid hex digit: %c"

// Compare, store and post: nothing happens when the stored value is already the new one (compared bytewise,
// so 0.0 and -0.0 differ).
template <typename T> void setVariable(T& variable, Notify notify, T const& value) {
    if (memcmp(&variable, &value, sizeof(T)) == 0)
        return;
    memcpy(&variable, &value, sizeof(T));
    postEvent(notify);
}

// Text into a character array, cut to its room minus one so that it stays terminated.
template <typename C, std::size_t N>
void setVariable(std::array<C, N>& variable, Notify notify, char const* text) {
    static_assert(sizeof(C) == 1, "character arrays only");
    char* stored = reinterpret_cast<char*>(variable.data());
    if (strncmp(stored, text, N) == 0 && strlen(text) < N)
        return;
    stored[0] = 0;
    strncat(stored, text, N - 1);
    postEvent(notify);
}
