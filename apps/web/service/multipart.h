#pragma once

// multipart/form-data bodies as the companion app uploads them: the fields by name, and the part named "file"
// written straight to disk. The body is read in place, line by line; the parts' bytes are rebuilt from the
// lines, so that CR, LF and CR LF inside a part come out unchanged and only the CR LF before the next
// delimiter is dropped.

#include <map>
#include <string>
#include <string_view>

// Parameters of a content type, headers of one part, or the resulting fields. One value per key, the first
// one.
using FormFields = std::map<std::string, std::string>;

namespace Multipart {

// Adds the "key=value" pieces of one header line, cut at every ";", to fields; a piece without "=" is a key
// with an empty value. Quotes and white space around keys and values are dropped; a key already present keeps
// its value.
void splitHeaderLine(FormFields& fields, std::string_view line);

// False (and nothing else happens) when contentType is not multipart/form-data with a boundary. Otherwise
// true, whatever the body holds: fields gets one entry per named part that a delimiter closes, the parts
// named "file" are written, in order, to filePath, and their field holds filePath. A file that cannot be
// opened loses its content silently; the caller notices when it looks for the file.
bool parseFormData(std::string_view contentType, std::string_view body, FormFields& fields,
                   char const* filePath);

} // namespace Multipart
