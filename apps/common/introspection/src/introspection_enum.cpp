#include "introspection_enum.h"

#include <cstring>
#include <sstream>
#include <vector>

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

namespace {
// Everything after the value, the same for every value of the enumeration: made once per enumeration.
std::string const& printedAfterValue(uint32_t e) {
    static std::vector<std::string> texts(ENUM_ARRAY_SIZE);
    std::string& text = texts[e];
    if (text.empty()) {
        EnumInfo const& info = ENUM_ARRAY[e];
        text = std::string("\", \"type\": \"") + info.name + "\", \"textid\": [ ";
        for (uint32_t k = 0; k < info.count; ++k) {
            if (k)
                text += ',';
            text += '"';
            text += info.entries[k];
            text += '"';
        }
        text += "]}";
    }
    return text;
}
} // namespace

std::string IntrospectionEnum::printEnum(std::string const& value, std::string const& enumName) {
    std::string const& after = printedAfterValue(getEnumIndex(enumName.c_str()));
    std::string out;
    out.reserve(13 + value.size() + after.size());
    out += "{ \"value\": \"";
    out += value;
    out += after;
    return out;
}

void IntrospectionEnum::appendEnum(std::string& out, uint32_t e, void const* address) {
    uint32_t value;
    memcpy(&value, address, sizeof value);
    out += "{ \"value\": \"";
    if (value < ENUM_ARRAY[e].count)
        out += ENUM_ARRAY[e].entries[value];
    else
        out += getEnumText(e, address); // logs the stray value
    out += printedAfterValue(e);
}

std::string IntrospectionEnum::getEnumText(uint32_t e, void const* address) {
    uint32_t value;
    memcpy(&value, address, sizeof value);
    EnumInfo const& info = ENUM_ARRAY[e];
    if (value < info.count)
        return info.entries[value];
    LOG(Error, "Value %i of enum %s is above number of entries (%i)", int(value), info.name, int(info.count));
    return "INVALID_VALUE: " + std::to_string(value);
}

Change IntrospectionEnum::setEnumText(uint32_t e, char* blockBase, uint32_t block, uint32_t variable,
                                      Notify notify, char const* text) {
    EnumInfo const& info = ENUM_ARRAY[e];
    for (uint32_t k = 0; k < info.count; ++k)
        if (strcmp(info.entries[k], text) == 0) {
            auto* target =
                reinterpret_cast<int32_t*>(blockBase + Introspection::getVarInfo(block, variable).offset);
            return {"", store(*target, int32_t(k)), notify};
        }
    return {std::string(text) + " is not part of enum " + info.name, false, notify};
}
