// Arbitrary bodies under a handful of content types; the first byte picks the type.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "multipart.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static char const* const TYPES[] = {"multipart/form-data; boundary=b", "multipart/form-data;boundary=\"--x\"",
                                        "multipart/form-data; boundary=", "text/plain"};
    if (size == 0)
        return 0;
    std::string_view body(reinterpret_cast<char const*>(data) + 1, size - 1);
    FormFields fields;
    Multipart::splitHeaderLine(fields, body);
    fields.clear();
    Multipart::parseFormData(TYPES[data[0] % 4], body, fields, "/tmp/fuzz-file-from-app");
    return 0;
}
