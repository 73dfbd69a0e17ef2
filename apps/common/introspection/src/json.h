#pragma once

// Reads one level of a JSON object (or array) into key/value pairs, byte by byte, and keeps nested objects
// and arrays as raw text so that the caller can read them with a further call. It converts nothing, decodes
// no escape sequence and checks no nested text: it is the reader of set requests, which only need to walk
// down to a name.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class Json {
public:
    struct ObjectValue {
        std::string
            value; // quoted text without quotes, unquoted text as is, or a nested object with its brackets
        bool isObject; // a nested object or array
    };

    enum State : int32_t { Start, KeyStart, Key, AfterKey, ValueStart, Value, AfterValue, End, Error };

    Json() = default;

    // Appends the pairs of text to pairs; false at the first character not accepted (errorPosition its
    // index). An unfinished value at the end of the text is dropped, without failure.
    bool parse(std::string const& text);

    template <int N> State nextChar(char c);

    static bool isWhitespace(char c) { return c == ' ' || c == '\r' || c == '\t' || c == '\n'; }
    static bool isString(char c) { return c == '"' || c == '\''; }
    static char isObjectStart(char c) { return c == '[' ? ']' : c == '{' ? '}' : 0; }

    // Called with each pair as it is read; false drops it. A caller that needs only some of the pairs reads a
    // body of any size in the memory of its largest value. Empty: every pair is kept.
    std::function<bool(std::string const& key, ObjectValue const& value)> keep;

    std::vector<std::pair<std::string, ObjectValue>> pairs;
    std::string key;
    char keyQuote = 0;
    std::string value;
    bool isObject = false;
    char valueOpen = 0;
    char valueClose = 0;
    uint32_t depth = 0;
    char closeChar = 0;
    bool isArray = false;
    int32_t errorPosition = -1;

private:
    State afterSeparator() const { return isArray ? ValueStart : KeyStart; }
    // Whether c would leave the state, or count a bracket, in Key or Value: every other character is only
    // copied into the text, so runs of them are copied at once.
    bool matters(State state, char c) const;
};
