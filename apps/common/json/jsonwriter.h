#pragma once

// The one writer of the service's JSON texts. Every text that goes into an answer passes through appendText,
// the one escaper; the small documents that several answers share are made here too.

#include <string>
#include <string_view>

namespace JsonWriter {

enum class Escaping {
    // Text from outside (file names, ids, script names, error texts): backslash, double quote, CR, LF and TAB
    // as the \u escapes the answers have always used (\u005c ...), every other control character as \u00XX,
    // and each byte that belongs to no valid UTF-8 sequence as U+FFFD (JSON has no way to carry such a byte).
    // Valid UTF-8, whatever its script, passes unchanged.
    Full,
    // The text fields of records, as their getters have always printed them: a backslash before each
    // backslash
    // and double quote, every other byte as stored.
    QuoteAndBackslash,
};

// Text as the inside of a JSON string, without the quotes.
void appendText(std::string& out, std::string_view text, Escaping escaping = Escaping::Full);
std::string text(std::string_view text, Escaping escaping = Escaping::Full);
// A JSON string: the text, escaped, between double quotes.
void appendString(std::string& out, std::string_view text);

// The results of the answers that carry no data: {"result": 1 }, {"result": 0, "error": "..." } (the browser
// GUI's), {"result": "..." } (the companion app's).
std::string result(bool ok);
std::string error(std::string_view message);
std::string appResult(std::string_view message);

} // namespace JsonWriter
