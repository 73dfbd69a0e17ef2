#include "introspection.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <utility>

#include "introspection_enum.h"
#include "log.h"
#include "setters.h"

namespace {
std::pair<uint32_t, uint32_t> eventToVar[EVENT_NAME_SIZE];
bool eventToVarFilled = false;

// printValue's object differs between calls only in its value; the members before it are serialised once per
// distinct (type, min, max). Bounded, because callers may pass any texts.
constexpr size_t PREFIX_CACHE_LIMIT = 4096;
std::unordered_map<std::string, std::string> prefixCache;
std::string prefixKey;

// Printable ASCII other than the quote and the backslash: the serialiser would write it unchanged.
bool plainText(char const* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            return false;
    }
    return true;
}
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

bool Introspection::findVarIndex(uint32_t mem, std::string const& name, uint32_t& var) {
    check(mem);
    for (var = 0; var < MEMORY_ARRAY[mem].count; ++var)
        if (name == MEMORY_ARRAY[mem].variables[var].name)
            return true;
    return false;
}

uint32_t Introspection::getVarIndex(uint32_t mem, std::string const& name) {
    uint32_t var;
    if (!findVarIndex(mem, name, var))
        THROW_ERROR("Unknown variable \"%s.%s\"", MEMORY_ARRAY[mem].name, name.c_str());
    return var;
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

Change Introspection::setVarValue(uint32_t mem, uint32_t var, char const* text) {
    VariableInfo const& info = getVarInfo(mem, var);
    char* base = info.memory();
    if (!base)
        return {"n/a", false, info.notify};
    return info.set(base, mem, var, info.notify, text);
}

Change Introspection::setVarValueJson(uint32_t mem, uint32_t var,
                                      std::vector<std::pair<std::string, Json::ObjectValue>> const& pairs,
                                      int index) {
    VariableInfo const& info = getVarInfo(mem, var);
    Notify notify = info.notify;
    notify.param2 = static_cast<uint32_t>(index);
    char* base = info.memory();
    if (!base)
        return {"n/a", false, notify};
    return setJson(base, mem, var, notify, pairs);
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

std::string const& Introspection::valuePrefix(std::string const& type, std::string const& min,
                                              std::string const& max) {
    prefixKey.assign(type).append(1, '\0').append(min).append(1, '\0').append(max);
    auto found = prefixCache.find(prefixKey);
    if (found != prefixCache.end())
        return found->second;
    std::string prefix = nlohmann::json{{"max", max}, {"min", min}, {"type", type}, {"value", ""}}.dump();
    prefix.resize(prefix.size() - 3); // the empty value text and the closing brace
    if (prefixCache.size() >= PREFIX_CACHE_LIMIT)
        prefixCache.clear();
    return prefixCache.emplace(prefixKey, std::move(prefix)).first->second;
}

void Introspection::appendValueText(std::string& out, char const* text, std::size_t length) {
    if (plainText(text, length)) {
        out += '"';
        out.append(text, length);
        out += '"';
        return;
    }
    // Escapes, and the refusal of invalid UTF-8, are the serialiser's.
    static nlohmann::json valueText = std::string();
    valueText.get_ref<std::string&>().assign(text, length);
    out += valueText.dump();
}

void Introspection::appendInt(std::string& out, std::string const& prefix, int32_t value) {
    char text[16];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out += prefix;
    appendValueText(out, text, std::size_t(end - text));
    out += '}';
}

void Introspection::appendFloat(std::string& out, std::string const& prefix, float value) {
    char text[FLOAT_TEXT_SIZE];
    std::size_t length = formatFloat(value, text);
    out += prefix;
    appendValueText(out, text, length);
    out += '}';
}

std::string Introspection::printValue(std::string const& value, std::string const& type,
                                      std::string const& min, std::string const& max) {
    std::string const& prefix = valuePrefix(type, min, max);
    std::string object;
    object.reserve(prefix.size() + value.size() + 3);
    object += prefix;
    appendValueText(object, value.data(), value.size());
    object += '}';
    return object;
}

std::string_view Introspection::printBool(bool value) {
    return value ? "{ \"value\": \"true\", \"type\": \"bool\", \"textid\": [ \"false\", \"true\" ]}"
                 : "{ \"value\": \"false\", \"type\": \"bool\", \"textid\": [ \"false\", \"true\" ]}";
}

std::size_t formatFloat(float value, char (&text)[FLOAT_TEXT_SIZE]) {
    double wide = value;
    // Exact and correctly rounded like printf, at a fraction of its cost; printf keeps its own texts of the
    // infinities and NaNs.
    if (std::isfinite(wide)) {
        auto end = std::to_chars(text, text + FLOAT_TEXT_SIZE - 1, wide, std::chars_format::fixed, 6).ptr;
        *end = 0;
        return std::size_t(end - text);
    }
    return std::size_t(snprintf(text, FLOAT_TEXT_SIZE, "%f", wide));
}

std::string formatFloat(float value) {
    char text[FLOAT_TEXT_SIZE];
    return std::string(text, formatFloat(value, text));
}
