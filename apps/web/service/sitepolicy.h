#pragma once

// Which browsers' requests the device serves. A phone on the device's network also runs pages of other sites:
// such a page may send the device requests (a "simple" POST needs no permission), and a name of another site
// that resolves to the device (DNS rebinding) makes its pages same-origin with the device. Both are decided
// from headers that a page cannot set, before any of a request's body is kept.
//
// Host names: the device answers to IP addresses, "localhost" and mDNS names (ending in ".local"), and to the
// names listed in SITES_FILE. State-changing requests from a browser must come from the device's own pages
// (Sec-Fetch-Site "same-origin" or "none", or an Origin whose host and port are the Host's) or from an origin
// listed in SITES_FILE; requests without either header come from no browser (the companion app, scripts) and
// pass.

#include <set>
#include <string>
#include <string_view>

namespace Constants {
// Host names besides addresses, localhost and .local, and trusted origins (an entry with "://"), one a line;
// read once at start. The package installs it empty, as a configuration file of the administrator's.
constexpr char const* SITES_FILE = "/etc/lens-controller-web/sites.conf";
} // namespace Constants

class SitePolicy {
public:
    enum class Verdict {
        Serve,
        CrossOrigin, // a state-changing request from another site's page
        UnknownHost, // a Host the device does not answer to
    };

    // Reads the listed names and origins; a missing or unreadable file lists none.
    explicit SitePolicy(char const* listFile = Constants::SITES_FILE);

    // Headers as the front web server hands them over; absent ones are empty.
    Verdict check(std::string_view method, std::string_view host, std::string_view origin,
                  std::string_view fetchSite) const;
    bool hostServed(std::string_view host) const;

    std::set<std::string> const& hosts() const { return listedHosts; }
    std::set<std::string> const& origins() const { return trustedOrigins; }

private:
    std::set<std::string> listedHosts;    // lower case, without a trailing dot
    std::set<std::string> trustedOrigins; // lower case, scheme://host[:port]
};
