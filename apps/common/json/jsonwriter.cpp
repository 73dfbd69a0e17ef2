#include "jsonwriter.h"

#include <cstdio>

namespace {
// Length of the valid UTF-8 sequence that starts at text[at], or 0 when the byte there starts none: overlong
// forms, surrogates and code points beyond U+10FFFF included.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf)
            return 0;
    return length;
}
} // namespace

namespace JsonWriter {

void appendText(std::string& out, std::string_view text, Escaping escaping) {
    if (escaping == Escaping::QuoteAndBackslash) {
        for (char c : text) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return;
    }
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t length = sequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        if (c < 0x20 || c == '"' || c == '\\') {
            char escape[7];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
        ++i;
    }
}

std::string text(std::string_view text, Escaping escaping) {
    std::string out;
    out.reserve(text.size());
    appendText(out, text, escaping);
    return out;
}

void appendString(std::string& out, std::string_view text) {
    out += '"';
    appendText(out, text);
    out += '"';
}

std::string result(bool ok) {
    return ok ? "{\"result\": 1 }" : "{\"result\": 0 }";
}

std::string error(std::string_view message) {
    return "{\"result\": 0, \"error\": \"" + text(message) + "\" }";
}

std::string appResult(std::string_view message) {
    return "{\"result\": \"" + text(message) + "\" }";
}

} // namespace JsonWriter
