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

    // Appends the pairs of text to pairs; false at the first character not accepted (errorPosition its
    // index). An unfinished value at the end of the text is dropped, without failure. The kind of document
    // (object or array) is the first call's: once an array has been read, later objects are read as values.
    bool parse(std::string const& text);

    // Called with each pair as it is read; false drops it. A caller that needs only some of the pairs reads a
    // body of any size in the memory of its largest value. Empty: every pair is kept.
    std::function<bool(std::string const& key, ObjectValue const& value)> keep;

    std::vector<std::pair<std::string, ObjectValue>> pairs;
    int32_t errorPosition = -1;

private:
    enum State : int32_t { Start, KeyStart, Key, AfterKey, ValueStart, Value, AfterValue, End, Error };

    // The state after c. parse copies the characters of a key or value that do not end it at once, so in Key
    // and Value c is one that ends it.
    template <int N> State nextChar(char c);
    State afterSeparator() const { return isArray ? ValueStart : KeyStart; }
    // Whether c ends the key, or a quoted or unquoted value, being read.
    bool matters(State state, char c) const;

    static bool isWhitespace(char c) { return c == ' ' || c == '\r' || c == '\t' || c == '\n'; }
    static bool isString(char c) { return c == '"' || c == '\''; }
    static char isObjectStart(char c) { return c == '[' ? ']' : c == '{' ? '}' : 0; }

    // The pair being read.
    std::string key;
    char keyQuote = 0; // 0 for an unquoted key
    std::string value;
    bool isObject = false;
    char valueOpen = 0;  // the bracket that opened a nested value; 0 for text
    char valueClose = 0; // what ends a quoted or nested value; 0 for unquoted text
    // The document.
    char closeChar = 0;
    bool isArray = false;
};
