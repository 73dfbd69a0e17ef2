#include "introspection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "introspection_enum.h"
#include "log.h"
#include "setters.h"

namespace {
std::pair<uint32_t, uint32_t> eventToVar[EVENT_NAME_SIZE];
bool eventToVarFilled = false;
std::regex escapeRegex;
bool escapeSet = false;
} // namespace

void Introspection::check(uint32_t mem) {
    if (mem >= MEMORY_ARRAY_SIZE)
        THROW_ERROR("Index exceeds limit");
}

void Introspection::check(uint32_t mem, uint32_t var) {
    check(mem);
    if (var >= MEMORY_ARRAY[mem].count)
        THROW_ERROR("Index exceeds limit");
}

uint32_t Introspection::getMemCount() {
    return MEMORY_ARRAY_SIZE;
}

char const* Introspection::getMemName(uint32_t mem) {
    check(mem);
    return MEMORY_ARRAY[mem].name;
}

uint32_t Introspection::getMemIndex(std::string const& name) {
    for (uint32_t mem = 0; mem < MEMORY_ARRAY_SIZE; ++mem)
        if (name == MEMORY_ARRAY[mem].name)
            return mem;
    THROW_ERROR("Unknown memory \"%s\"", name.c_str());
}

uint32_t Introspection::getVarCount(uint32_t mem) {
    check(mem);
    return MEMORY_ARRAY[mem].count;
}

VariableInfo const& Introspection::getVarInfo(uint32_t mem, uint32_t var) {
    check(mem, var);
    return MEMORY_ARRAY[mem].variables[var];
}

char const* Introspection::getVarName(uint32_t mem, uint32_t var) {
    return getVarInfo(mem, var).name;
}

char const* Introspection::getVarType(uint32_t mem, uint32_t var) {
    return getVarInfo(mem, var).type;
}

int32_t Introspection::getVarBaseType(uint32_t mem, uint32_t var) {
    return getVarInfo(mem, var).baseType;
}

char const* Introspection::getVarArrayLen(uint32_t mem, uint32_t var) {
    return getVarInfo(mem, var).length;
}

bool Introspection::isArray(uint32_t mem, uint32_t var) {
    VariableInfo const& info = getVarInfo(mem, var);
    return info.isArray && info.length && strtol(info.length, nullptr, 10) >= 0;
}

Notify Introspection::getVarEvent(uint32_t mem, uint32_t var) {
    return getVarInfo(mem, var).notify;
}

std::string Introspection::getVarValue(uint32_t mem, uint32_t var, int index) {
    VariableInfo const& info = getVarInfo(mem, var);
    char* base = info.memory();
    if (!base)
        return "n/a";
    return info.get(base + info.offset, index);
}

std::string Introspection::setVarValue(uint32_t mem, uint32_t var, char const* text) {
    VariableInfo const& info = getVarInfo(mem, var);
    char* base = info.memory();
    if (!base)
        return "n/a";
    return info.set(base, mem, var, info.notify, text);
}

std::string
Introspection::setVarValueJson(uint32_t mem, uint32_t var,
                               std::vector<std::pair<std::string, Json::ObjectValue>> const& pairs,
                               int index) {
    check(mem, var);
    VariableInfo& info = MEMORY_ARRAY[mem].variables[var];
    char* base = info.memory();
    if (!base)
        return "n/a";
    info.notify.param2 = static_cast<uint32_t>(index);
    return setJson(base, mem, var, info.notify, pairs);
}

void Introspection::genEventToVar() {
    for (uint32_t mem = 0; mem < MEMORY_ARRAY_SIZE; ++mem)
        for (uint32_t var = 0; var < MEMORY_ARRAY[mem].count; ++var) {
            uint32_t event = MEMORY_ARRAY[mem].variables[var].notify.event;
            if (event < EVENT_NAME_SIZE)
                eventToVar[event] = {mem, var};
        }
    eventToVarFilled = true;
}

void Introspection::getVarLocation(Notify const& notify, uint32_t& mem, uint32_t& var) {
    if (!eventToVarFilled)
        genEventToVar();
    // Only a broker that knows newer events sends ids beyond the table; they belong to no variable here.
    auto location =
        notify.event < EVENT_NAME_SIZE ? eventToVar[notify.event] : std::pair<uint32_t, uint32_t>{0, 0};
    mem = location.first;
    var = location.second;
}

std::string Introspection::getVarMin(uint32_t mem, uint32_t var) {
    VariableInfo const& info = getVarInfo(mem, var);
    switch (info.baseType) {
    case Int:
        return info.min ? info.min : "-2147483648";
    case Float:
        return info.min ? info.min : "-1e38";
    default:
        return "0";
    }
}

std::string Introspection::getVarMax(uint32_t mem, uint32_t var) {
    VariableInfo const& info = getVarInfo(mem, var);
    switch (info.baseType) {
    case Int:
        return info.max ? info.max : "2147483647";
    case Float:
        return info.max ? info.max : "1e38";
    case Bool:
        return "1";
    case String:
    case Buffer:
        return info.max ? info.max : "0";
    case Enum:
        return std::to_string(
            IntrospectionEnum::getEnumEntryCount(IntrospectionEnum::getEnumIndex(info.type)) - 1);
    default:
        return "0";
    }
}

bool Introspection::checkMinMax(uint32_t mem, uint32_t var, char const* text, std::string& error) {
    VariableInfo const& info = getVarInfo(mem, var);
    if (info.baseType == Buffer)
        return false;
    if ((info.baseType != Int && info.baseType != Float) || (!info.min && !info.max))
        return true;
    try {
        if (info.baseType == Int) {
            long value = std::stol(text);
            return (!info.min || std::stol(info.min) <= value) && (!info.max || value <= std::stol(info.max));
        }
        float value = std::stof(text);
        return (!info.min || std::stof(info.min) <= value) && (!info.max || value <= std::stof(info.max));
    } catch (std::exception const&) {
        error = std::string("Can't convert \"") + text + "\"\n";
        return false;
    }
}

std::string Introspection::printValue(std::string const& value, std::string const& type,
                                      std::string const& min, std::string const& max) {
    nlohmann::json object = {{"max", max}, {"min", min}, {"type", type}, {"value", value}};
    return object.dump();
}

std::string Introspection::printBool(bool value) {
    return value ? "{ \"value\": \"true\", \"type\": \"bool\", \"textid\": [ \"false\", \"true\" ]}"
                 : "{ \"value\": \"false\", \"type\": \"bool\", \"textid\": [ \"false\", \"true\" ]}";
}

std::string Introspection::escape(std::string const& text) {
    if (!escapeSet)
        return text;
    return std::regex_replace(text, escapeRegex, "\\$&");
}

void Introspection::setEscapeCharacters(std::string const& pattern) {
    escapeRegex = std::regex(pattern, std::regex::ECMAScript);
    escapeSet = true;
}

std::string formatFloat(float value) {
    char text[64];
    snprintf(text, sizeof text, "%f", double(value));
    return text;
}
