#pragma once

// set.cgi: a JSON object that names a block and, nested in it, one variable (of a record element, with its
// "Index") and its new value.

#include <sstream>
#include <string>

#include "request.h"

namespace Constants {
// Objects a set body may nest: block, variable, record, field and a few wrappers need far fewer; a deeper
// body is refused before it costs anything.
constexpr unsigned SET_MAX_LEVELS = 16;
} // namespace Constants

namespace SetRequest {
// Sets the one variable the body names; false when it names none or cannot be read (only reading failures are
// written into errors).
bool apply(std::string const& body, std::stringstream& errors);
// Applies the request's body and answers {"result": 1 }, or {"result": 0, "error": "..." }.
void answer(Request& request);
} // namespace SetRequest
