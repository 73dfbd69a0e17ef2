// Request headers of any bytes (method, Host, Origin and Sec-Fetch-Site, one a line), as the service decides
// on them and echoes them. Safe methods are refused only for their Host; a refused Host is refused whatever
// else the request says; and any text written into an answer is one JSON string that reads back as the text
// when the text is UTF-8.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "jsonwriter.h"
#include "sitepolicy.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static SitePolicy const sites("/nonexistent");
    std::string text(reinterpret_cast<char const*>(data), size);
    std::string field[4];
    for (size_t i = 0, at = 0; i < 4 && at <= text.size(); ++i) {
        size_t end = i == 3 ? text.size() : std::min(text.find('\n', at), text.size());
        field[i] = text.substr(at, end - at);
        at = end + 1;
    }
    auto verdict = sites.check(field[0], field[1], field[2], field[3]);
    bool hostServed = field[1].empty() || sites.hostServed(field[1]);
    if ((verdict == SitePolicy::Verdict::UnknownHost) == hostServed)
        abort();
    if ((field[0] == "GET" || field[0] == "HEAD") && verdict == SitePolicy::Verdict::CrossOrigin)
        abort();

    std::string const quoted = "\"" + JsonWriter::text(text) + "\"";
    nlohmann::json parsed =
        nlohmann::json::parse(quoted); // throws, and so fails, on anything not strict JSON
    bool utf8 = true;
    try {
        (void)nlohmann::json(text).dump();
    } catch (nlohmann::json::exception const&) {
        utf8 = false;
    }
    if (utf8 && parsed.get<std::string>() != text)
        abort();
    return 0;
}
