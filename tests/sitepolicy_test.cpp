// Which requests a browser may make: the host names the device answers to, and state-changing requests only
// from its own pages, as browsers describe them in their headers.

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>

#include "sitepolicy.h"

namespace {

using Verdict = SitePolicy::Verdict;

TEST(SitePolicy, HostsAreAddressesLocalhostMdnsNamesOrListed) {
    {
        std::ofstream list("/tmp/sites.conf");
        list << "# the device's name in the studio's DNS\n  Device.Studio.Example.  "
                "\n\nhttps://Tools.Example:8443/ "
                "# the fleet tool\n";
    }
    SitePolicy sites("/tmp/sites.conf");
    EXPECT_EQ(sites.hosts(), std::set<std::string>{"device.studio.example"});
    EXPECT_EQ(sites.origins(), std::set<std::string>{"https://tools.example:8443"});
    for (char const* host : {"192.168.4.1", "192.168.4.1:8080", "[::1]", "[fe80::1]:80", "localhost",
                             "LOCALHOST:8080", "controller-4100.local", "controller.local.:80",
                             "device.studio.example", "DEVICE.studio.example.:443"})
        EXPECT_TRUE(sites.hostServed(host)) << host;
    for (char const* host : {"attacker.example", "192.168.4.1.attacker.example", "1.2.3", "0x7f.1", "::1",
                             "[::1", "[::1]x", "[1.2.3.4]", ".local", "local",
                             "localhost:", "localhost:99999", "localhost:8o", "studio.example", ":80"})
        EXPECT_FALSE(sites.hostServed(host)) << host;
    remove("/tmp/sites.conf");
    EXPECT_TRUE(SitePolicy("/tmp/none").hosts().empty());
}

TEST(SitePolicy, WritesFromOtherSitesPagesAreRefusedAndClientsWithoutBrowserHeadersPass) {
    { std::ofstream("/tmp/sites.conf") << "http://trusted.example:8080\n"; }
    SitePolicy sites("/tmp/sites.conf");
    struct Case {
        char const* method;
        char const* host;
        char const* origin;
        char const* fetchSite;
        Verdict verdict;
    } const cases[] = {
        // Reading changes nothing: any page may, as for any site.
        {"GET", "10.0.0.1", "http://attacker.example", "cross-site", Verdict::Serve},
        {"HEAD", "10.0.0.1", "", "cross-site", Verdict::Serve},
        {"OPTIONS", "10.0.0.1", "http://attacker.example", "cross-site", Verdict::Serve},
        // The device's own pages, and what the user typed or bookmarked.
        {"POST", "10.0.0.1", "http://10.0.0.1", "same-origin", Verdict::Serve},
        {"DELETE", "10.0.0.1", "", "none", Verdict::Serve},
        // Another site, or another device of the same site, whatever Origin claims.
        {"POST", "10.0.0.1", "http://attacker.example", "cross-site", Verdict::CrossOrigin},
        {"PUT", "10.0.0.1", "http://10.0.0.1", "same-site", Verdict::CrossOrigin},
        {"POST", "10.0.0.1", "", "cross-site", Verdict::CrossOrigin},
        {"POST", "10.0.0.1", "http://trusted.example:8080", "cross-site", Verdict::Serve},
        // Browsers without Sec-Fetch-Site: Origin against Host, port included.
        {"POST", "10.0.0.1:8080", "http://10.0.0.1:8080", "", Verdict::Serve},
        {"POST", "10.0.0.1:8080", "https://10.0.0.1:8443", "", Verdict::CrossOrigin},
        {"POST", "10.0.0.1", "null", "", Verdict::CrossOrigin},
        {"POST", "", "http://10.0.0.1", "", Verdict::CrossOrigin},
        {"POST", "10.0.0.1", "HTTP://TRUSTED.example:8080", "", Verdict::Serve},
        // No browser: the companion app, curl, FastCGI straight to the port.
        {"POST", "10.0.0.1", "", "", Verdict::Serve},
        {"", "", "", "", Verdict::Serve},
        // A name the device does not answer to is refused for every method, before anything else.
        {"GET", "attacker.example", "", "", Verdict::UnknownHost},
        {"POST", "attacker.example", "http://attacker.example", "same-origin", Verdict::UnknownHost},
    };
    for (Case const& c : cases)
        EXPECT_EQ(sites.check(c.method, c.host, c.origin, c.fetchSite), c.verdict)
            << c.method << " " << c.host << " " << c.origin << " " << c.fetchSite;
    remove("/tmp/sites.conf");
}

} // namespace
