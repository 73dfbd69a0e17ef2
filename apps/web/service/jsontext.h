#pragma once

// Text from outside (file names, ids, script names, parse errors) inside the service's JSON answers: every
// answer must stay one JSON document whatever the text holds.

#include <string>
#include <string_view>

// Appends text as the inside of a JSON string, without the quotes: backslash, double quote, CR, LF and TAB as
// the \u escapes the answers have always used, every other control character as \u00XX, and each byte that
// does not belong to a valid UTF-8 sequence as U+FFFD (JSON has no way to carry such a byte). Valid UTF-8,
// whatever its script, passes unchanged.
void appendJsonText(std::string& out, std::string_view text);
std::string jsonText(std::string_view text);
