#include "setters.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "introspection.h"
#include "introspection_enum.h"
#include "log.h"

namespace {

VariableInfo const& info(uint32_t block, uint32_t variable) {
    return Introspection::getVarInfo(block, variable);
}

// The element a bool, int or float setter writes: the variable itself, element param2 of an array, or none.
template <typename T> T* element(char* blockBase, uint32_t block, uint32_t variable, Notify const& notify) {
    T* address = reinterpret_cast<T*>(blockBase + info(block, variable).offset);
    if (notify.param1 == 0)
        return address;
    if (notify.param1 == 1)
        return address + notify.param2;
    return nullptr;
}

} // namespace

std::string getIntIntrospection(void const* address, int index) {
    return std::to_string(static_cast<int32_t const*>(address)[index]);
}

std::string getFloatIntrospection(void const* address, int index) {
    return formatFloat(static_cast<float const*>(address)[index]);
}

std::string getBoolIntrospection(void const* address, int index) {
    return static_cast<unsigned char const*>(address)[index] ? "true" : "false";
}

std::string getStringIntrospection(void const* address, int) {
    return static_cast<char const*>(address);
}

std::string getBufferIntrospection(void const* address, unsigned length) {
    static char const DIGITS[] = "0123456789abcdef";
    std::string text(std::size_t(length) * 2, '0');
    auto const* bytes = static_cast<unsigned char const*>(address);
    for (unsigned i = 0; i < length; ++i) {
        text[2 * i] = DIGITS[bytes[i] >> 4];
        text[2 * i + 1] = DIGITS[bytes[i] & 15];
    }
    return text;
}

Change setBoolIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                            char const* text) {
    bool value;
    if (strcmp(text, "true") == 0)
        value = true;
    else if (strcmp(text, "false") == 0)
        value = false;
    else
        return {"Value has to be 'true' or 'false'", false, notify};
    bool* target = element<bool>(blockBase, block, variable, notify);
    return {"", target && store(*target, value), notify};
}

Change setIntIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                           char const* text) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 0);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return {std::string("Can't convert ") + text + " to int", false, notify};
    int32_t* target = element<int32_t>(blockBase, block, variable, notify);
    return {"", target && store(*target, int32_t(value)), notify};
}

Change setFloatIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                             char const* text) {
    char* end = nullptr;
    errno = 0;
    float value = strtof(text, &end);
    if (end == text || errno == ERANGE)
        return {std::string("Can't convert ") + text + " to float", false, notify};
    float* target = element<float>(blockBase, block, variable, notify);
    return {"", target && store(*target, value), notify};
}

Change setStringIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                              char const* text) {
    VariableInfo const& v = info(block, variable);
    char* end = nullptr;
    long capacity = v.length ? strtol(v.length, &end, 10) : 0;
    if (!v.length || end == v.length || capacity <= 0)
        return {std::string("Can't convert ") + text + " to string", false, notify};
    char* target = blockBase + v.offset;
    target[0] = 0;
    strncat(target, text, std::size_t(capacity) - 1);
    return {"", true, notify};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c == 0)
        return 0;
    THROW_ERROR("Not a valid hex digit: %c", c);
}

Change setBufferIntrospection(char* blockBase, unsigned length, uint32_t block, uint32_t variable,
                              Notify notify, char const* text) {
    auto* target = reinterpret_cast<unsigned char*>(blockBase + info(block, variable).offset);
    char const* p = text;
    for (unsigned written = 0; written < length && *p; ++written) {
        try {
            int high = hexDigit(p[0]);
            int low = hexDigit(p[1]);
            target[written] = static_cast<unsigned char>(high << 4 | low);
        } catch (std::exception const&) {
            return {std::string("Can't convert ") + p + " to buffer", false, notify};
        }
        if (!p[1])
            break; // a lone last digit is the high nibble of the last byte
        p += 2;
    }
    return {"", true, notify};
}

Change setRecordImage(char* blockBase, uint32_t block, uint32_t variable, Notify notify, char const* data,
                      std::size_t size) {
    VariableInfo const& v = info(block, variable);
    char* target = blockBase + v.offset + (notify.param1 ? std::size_t(notify.param2) * size : 0);
    if (memcmp(target, data, size) == 0)
        return {"", false, notify};
    memcpy(target, data, size);
    return {"", true, notify};
}

namespace {
// The field of the element at element (a record of size bytes) that the last pair names; whether it changed.
bool setField(char* element, std::vector<StructInfo> const& fields, JsonPairs const& pairs, uint32_t size) {
    std::string const& key = pairs.back().first;
    std::string const& text = pairs.back().second.value;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        StructInfo const& field = fields[i];
        if (key != field.name)
            continue;
        char* address = element + field.offset;
        switch (field.baseType) {
        case Int:
            return store(*reinterpret_cast<int32_t*>(address), int32_t(std::stoi(text, nullptr, 0)));
        case Float:
            return store(*reinterpret_cast<float*>(address), std::stof(text));
        case Bool:
            return store(*reinterpret_cast<bool*>(address), text == "true");
        case String: {
            // The room runs to the next field or the end of the record; a longer text is cut to stay
            // terminated.
            uint32_t end = i + 1 < fields.size() ? fields[i + 1].offset : size;
            std::size_t room = end - field.offset;
            address[0] = 0;
            strncat(address, text.c_str(), room - 1);
            return true;
        }
        case Enum: {
            uint32_t e = IntrospectionEnum::getEnumIndex(field.type.c_str());
            for (uint32_t k = 0; k < IntrospectionEnum::getEnumEntryCount(e); ++k)
                if (text == IntrospectionEnum::getEnumEntryName(e, k))
                    return store(*reinterpret_cast<int32_t*>(address), int32_t(k));
            return false;
        }
        default: // a list of records inside the record is not set field by field
            return false;
        }
    }
    return false;
}
} // namespace

Change setJson(char* blockBase, uint32_t block, uint32_t variable, Notify notify, JsonPairs const& pairs) {
    VariableInfo const& v = info(block, variable);
    unsigned long elements = v.length && v.notify.param1 ? strtoul(v.length, nullptr, 10) : 1;
    // A wrong index must never reach the memory of the next variable.
    if (notify.param2 >= elements)
        return {"Index " + std::to_string(notify.param2) + " is outside " + v.name, false, notify};
    if (!v.fields || pairs.empty())
        return {"", false, notify};
    char* element = blockBase + v.offset + std::size_t(notify.param2) * v.size;
    return {"", setField(element, *v.fields, pairs, v.size), notify};
}
