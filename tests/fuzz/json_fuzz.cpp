// Set-request bodies of any bytes, read and walked down as the web API does: while the last pair is a nested
// value, read it again with the same reader. The reader must stop at the first bad character, report an index
// inside the text, and never take more than it was given.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    std::string text(reinterpret_cast<char const*>(data), size);
    Json json;
    bool ok = json.parse(text);
    if (!ok && (json.errorPosition < 0 || size_t(json.errorPosition) >= text.size()))
        abort();
    if (ok && json.errorPosition != -1)
        abort();
    size_t total = 0;
    for (auto const& pair : json.pairs)
        total += pair.first.size() + pair.second.value.size();
    if (total > text.size())
        abort();
    // Each level is shorter than the one that held it, so the walk ends; the bound only keeps runs short.
    for (int level = 0; ok && !json.pairs.empty() && json.pairs.back().second.isObject && level < 64;
         ++level) {
        std::string nested = json.pairs.back().second.value;
        ok = json.parse(nested);
        if (!ok && size_t(json.errorPosition) >= nested.size())
            abort();
    }
    return 0;
}
