#pragma once

// The web interface's back end: decides once per request, from its parameters, whether and how it is served
// (the sites it may come from, its route, how its body is taken), answers the browser GUI's endpoints, holds
// update and log requests until a timed pass has something for them, and hands the companion app's paths to
// VoxApp.

#include <bitset>
#include <chrono>
#include <string>

#include "eventpoll.h"
#include "fcgi.h"
#include "held.h"
#include "introspection_gen.h"
#include "kernellog.h"
#include "router.h"
#include "screencapture.h"
#include "serverconnection.h"
#include "sitepolicy.h"
#include "voxapp.h"

namespace Constants {
// The main loop's wait, and the shortest time between two passes of periodic().
constexpr int MAIN_LOOP_TIMEOUT_MS = 100;
constexpr std::chrono::nanoseconds PERIODIC_INTERVAL{99999999};
// The log is the one HTML answer: even if markup slipped into it, the page may load nothing and run nothing;
// its colours are inline styles.
constexpr char const* LOG_HEADER =
    "Content-type: text/html\r\n"
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\r\n"
    "X-Content-Type-Options: nosniff\r\n\r\n";
constexpr char const* PNG_HEADER = "Content-type: image/png\r\nX-Content-Type-Options: nosniff\r\n\r\n";
} // namespace Constants

class RequestHandler : public Fcgi::RequestCallback, public ServerConnection::EventHandler {
public:
    explicit RequestHandler(EventPoll& poll);
    RequestHandler(RequestHandler const&) = delete;
    RequestHandler& operator=(RequestHandler const&) = delete;

    // Refuses a request from another site's page that would change something, and any request to a host name
    // the device does not answer to; otherwise gives the request its route.
    void route(Request& request) override;
    bool releaseHeld() override;
    void released(Request& request) override;
    void handleEvent(Notify const& event) override;
    // From the main loop after every wake-up: at most once per PERIODIC_INTERVAL answers the held requests
    // that have something new, and then says true.
    bool periodic();

private:
    void sendTree(Request& request);
    void holdUpdate(Request& request);
    void sendUpdate(); // every held update request gets the variables changed since the last pass
    void sendLog(Request& request);
    // The kernel log from the offset the request's query names; false (nothing written) while the client is
    // up to date.
    bool appendLogOutput(Request& request);
    void sendScreen(Request& request);
    void sendUnknownScript(Request& request);

    SitePolicy sites;
    Router router;
    HeldRequests held;
    std::chrono::steady_clock::time_point lastPeriodic;
    std::bitset<EVENT_NAME_SIZE> changedEvents; // one bit per event: changed since the last update pass
    VoxApp voxApp;
    KernelLog kernelLog;
    ScreenCapture screenCapture;
};
