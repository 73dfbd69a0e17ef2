#include "sitepolicy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <fstream>

namespace {
std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool isPort(std::string_view text) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return false;
    return std::stoul(std::string(text)) <= 65535;
}

bool isAddress(int family, std::string_view text) {
    unsigned char address[16];
    return inet_pton(family, std::string(text).c_str(), address) == 1;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}
} // namespace

SitePolicy::SitePolicy(char const* listFile) {
    std::ifstream file(listFile);
    for (std::string line; std::getline(file, line);) {
        std::string_view entry = trim(std::string_view(line).substr(0, line.find('#')));
        if (entry.empty())
            continue;
        if (entry.find("://") != std::string_view::npos) {
            while (endsWith(entry, "/"))
                entry.remove_suffix(1);
            trustedOrigins.insert(lower(entry));
        } else {
            if (endsWith(entry, "."))
                entry.remove_suffix(1);
            listedHosts.insert(lower(entry));
        }
    }
}

bool SitePolicy::hostServed(std::string_view host) const {
    std::string name = lower(host);
    std::string_view rest;
    if (!name.empty() && name.front() == '[') {
        std::size_t close = name.find(']');
        if (close == std::string::npos)
            return false;
        rest = std::string_view(name).substr(close + 1);
        if (!isAddress(AF_INET6, std::string_view(name).substr(1, close - 1)))
            return false;
        return rest.empty() || (rest.front() == ':' && isPort(rest.substr(1)));
    }
    std::size_t colon = name.find(':');
    if (colon != std::string::npos) {
        if (!isPort(std::string_view(name).substr(colon + 1)))
            return false;
        name.erase(colon);
    }
    // A fully qualified name may end in a dot; it names the same host.
    if (endsWith(name, "."))
        name.pop_back();
    if (name.empty())
        return false;
    return isAddress(AF_INET, name) || name == "localhost" || (endsWith(name, ".local") && name.size() > 6) ||
           listedHosts.count(name) > 0;
}

SitePolicy::Verdict SitePolicy::check(std::string_view method, std::string_view host, std::string_view origin,
                                      std::string_view fetchSite) const {
    // Straight to the port, with no front web server, there is no Host: no browser sent it.
    if (!host.empty() && !hostServed(host))
        return Verdict::UnknownHost;
    if (method == "GET" || method == "HEAD" || method == "OPTIONS")
        return Verdict::Serve;
    bool trusted = !origin.empty() && trustedOrigins.count(lower(origin)) > 0;
    if (!fetchSite.empty()) {
        if (fetchSite == "same-origin" || fetchSite == "none" || trusted)
            return Verdict::Serve;
        return Verdict::CrossOrigin;
    }
    if (origin.empty())
        return Verdict::Serve;
    // Browsers that predate Sec-Fetch-Site still send Origin: its host and port must be the Host's. The
    // scheme cannot be compared (Host has none).
    std::size_t scheme = origin.find("://");
    std::string_view originHost = scheme == std::string_view::npos ? "" : origin.substr(scheme + 3);
    if ((!originHost.empty() && lower(originHost) == lower(host)) || trusted)
        return Verdict::Serve;
    return Verdict::CrossOrigin;
}
