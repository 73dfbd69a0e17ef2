#pragma once

// Enumerations: stored as a 32-bit entry number, shown by entry name.

#include <cstdint>
#include <string>

#include "introspection_types.h"

class IntrospectionEnum {
public:
    static uint32_t getEnumCount();
    static char const* getEnumName(uint32_t e);
    static uint32_t getEnumEntryCount(uint32_t e);
    static char const* getEnumEntryName(uint32_t e, uint32_t k);
    static uint32_t getEnumIndex(char const* name); // "Unknown enum" when there is none
    // The value with every entry name: { "value": "Warn", "type": "LogLevel", "textid": [ "DebugAll",...]}
    static std::string printEnum(std::string const& value, std::string const& enumName);
    // printEnum of the stored entry, appended: for the record getters.
    static void appendEnum(std::string& out, uint32_t e, void const* address);

    // The codecs behind the generated get<Enum>Introspection and set<Enum>Introspection.
    static std::string getEnumText(uint32_t e, void const* address);
    static Change setEnumText(uint32_t e, char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                              char const* text);
};
