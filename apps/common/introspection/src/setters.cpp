#include "setters.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "introspection.h"
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

std::string setBoolIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                 char const* text) {
    bool value;
    if (strcmp(text, "true") == 0)
        value = true;
    else if (strcmp(text, "false") == 0)
        value = false;
    else
        return "Value has to be 'true' or 'false'";
    if (bool* target = element<bool>(blockBase, block, variable, notify))
        setVariable(*target, notify, value);
    return "";
}

std::string setIntIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                char const* text) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 0);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return std::string("Can't convert ") + text + " to int";
    try {
        if (int32_t* target = element<int32_t>(blockBase, block, variable, notify))
            setVariable(*target, notify, int32_t(value));
    } catch (std::exception const&) {
        return std::string("Can't convert ") + text + " to int";
    }
    return "";
}

std::string setFloatIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                  char const* text) {
    char* end = nullptr;
    errno = 0;
    float value = strtof(text, &end);
    if (end == text || errno == ERANGE)
        return std::string("Can't convert ") + text + " to float";
    try {
        if (float* target = element<float>(blockBase, block, variable, notify))
            setVariable(*target, notify, value);
    } catch (std::exception const&) {
        return std::string("Can't convert ") + text + " to float";
    }
    return "";
}

std::string setStringIntrospection(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                                   char const* text) {
    VariableInfo const& v = info(block, variable);
    char* end = nullptr;
    long capacity = v.length ? strtol(v.length, &end, 10) : 0;
    if (!v.length || end == v.length || capacity <= 0)
        return std::string("Can't convert ") + text + " to string";
    char* target = blockBase + v.offset;
    target[0] = 0;
    strncat(target, text, std::size_t(capacity) - 1);
    try {
        postEvent(notify);
    } catch (std::exception const&) {
        return std::string("Can't convert ") + text + " to string";
    }
    return "";
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

std::string setBufferIntrospection(char* blockBase, unsigned length, uint32_t block, uint32_t variable,
                                   Notify notify, char const* text) {
    auto* target = reinterpret_cast<unsigned char*>(blockBase + info(block, variable).offset);
    char const* p = text;
    for (unsigned written = 0; written < length && *p; ++written) {
        try {
            int high = hexDigit(p[0]);
            int low = hexDigit(p[1]);
            target[written] = static_cast<unsigned char>(high << 4 | low);
        } catch (std::exception const&) {
            return std::string("Can't convert ") + p + " to buffer";
        }
        if (!p[1])
            break; // a lone last digit is the high nibble of the last byte
        p += 2;
    }
    try {
        postEvent(notify);
    } catch (std::exception const&) {
        return "Can't convert  to buffer";
    }
    return "";
}

std::string setRecordImage(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                           char const* data, std::size_t size) {
    VariableInfo const& v = info(block, variable);
    char* target = blockBase + v.offset + (notify.param1 ? std::size_t(notify.param2) * size : 0);
    if (memcmp(target, data, size) != 0) {
        memcpy(target, data, size);
        postEvent(notify);
    }
    return "";
}
