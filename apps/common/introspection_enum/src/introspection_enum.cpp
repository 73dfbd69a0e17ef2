#include "introspection_enum.h"

#include <cstring>
#include <sstream>

#include "introspection.h"
#include "log.h"
#include "setters.h"

uint32_t IntrospectionEnum::getEnumCount() {
    return ENUM_ARRAY_SIZE;
}

char const* IntrospectionEnum::getEnumName(uint32_t e) {
    if (e >= ENUM_ARRAY_SIZE)
        THROW_ERROR("Index exceeds limit");
    return ENUM_ARRAY[e].name;
}

uint32_t IntrospectionEnum::getEnumEntryCount(uint32_t e) {
    if (e >= ENUM_ARRAY_SIZE)
        THROW_ERROR("Index exceeds limit");
    return ENUM_ARRAY[e].count;
}

char const* IntrospectionEnum::getEnumEntryName(uint32_t e, uint32_t k) {
    if (k >= getEnumEntryCount(e))
        THROW_ERROR("Index exceeds limit");
    return ENUM_ARRAY[e].entries[k];
}

uint32_t IntrospectionEnum::getEnumIndex(char const* name) {
    for (uint32_t e = 0; e < ENUM_ARRAY_SIZE; ++e)
        if (strcmp(ENUM_ARRAY[e].name, name) == 0)
            return e;
    THROW_ERROR("Unknown enum \"%s\"", name);
}

std::string IntrospectionEnum::printEnum(std::string const& value, std::string const& enumName) {
    EnumInfo const& info = ENUM_ARRAY[getEnumIndex(enumName.c_str())];
    std::string out = "{ \"value\": \"" + value + "\", \"type\": \"" + enumName + "\", \"textid\": [ ";
    for (uint32_t k = 0; k < info.count; ++k) {
        if (k)
            out += ',';
        out += '"';
        out += info.entries[k];
        out += '"';
    }
    return out + "]}";
}

std::string IntrospectionEnum::getEnumText(uint32_t e, void const* address) {
    uint32_t value;
    memcpy(&value, address, sizeof value);
    EnumInfo const& info = ENUM_ARRAY[e];
    if (value < info.count)
        return info.entries[value];
    logMessage(gComponentLogLevel, gen::LogLevel::Error, "gen/code/introspection_gen", __LINE__,
               "Value %i of enum %s is above number of entries (%i)", int(value), info.name, int(info.count));
    return "INVALID_VALUE: " + std::to_string(value);
}

std::string IntrospectionEnum::setEnumText(uint32_t e, char* blockBase, uint32_t block, uint32_t variable,
                                           Notify notify, char const* text) {
    EnumInfo const& info = ENUM_ARRAY[e];
    for (uint32_t k = 0; k < info.count; ++k)
        if (strcmp(info.entries[k], text) == 0) {
            auto* target =
                reinterpret_cast<int32_t*>(blockBase + Introspection::getVarInfo(block, variable).offset);
            setVariable(*target, notify, int32_t(k));
            return "";
        }
    return std::string(text) + " is not part of enum " + info.name;
}
