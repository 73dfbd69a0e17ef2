// Arbitrary bodies under a handful of content types, parsed whole and again in pieces split where the input
// says: both must give the same fields and the same file. Byte 0 picks the type, byte 1 seeds the splits.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "multipart.h"

namespace {
std::string slurp(char const* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static char const* const TYPES[] = {"multipart/form-data; boundary=b",
                                        "multipart/form-data;boundary=\"--x\"",
                                        "multipart/form-data; boundary=", "text/plain"};
    static char const* const PATH = "/tmp/fuzz-file-from-app";
    if (size < 2)
        return 0;
    char const* type = TYPES[data[0] % 4];
    unsigned seed = data[1];
    std::string_view body(reinterpret_cast<char const*>(data) + 2, size - 2);
    FormFields fields;
    Multipart::splitHeaderLine(fields, body);
    fields.clear();
    remove(PATH);
    if (!Multipart::parseFormData(type, body, fields, PATH))
        return 0;
    std::string const file = slurp(PATH);

    remove(PATH);
    Multipart::FormParser parser;
    parser.start(type, PATH);
    for (size_t at = 0; at < body.size();) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = 1 + (seed >> 16) % 17;
        parser.feed(body.substr(at, piece));
        at += piece;
    }
    parser.finish();
    if (parser.fields != fields || slurp(PATH) != file) {
        fprintf(stderr, "multipart_fuzz: pieces and the whole body differ\n");
        abort();
    }
    return 0;
}
