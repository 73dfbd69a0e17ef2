#pragma once

// The web GUI's back end: routes every complete FastCGI request by its script name, prints the device state
// straight from shared memory into the answers, sets variables, and holds update requests until a timed pass
// finds changed variables.

#include <bitset>
#include <chrono>
#include <nlohmann/json_fwd.hpp>
#include <ostream>
#include <sstream>
#include <string>

#include "eventpoll.h"
#include "fcgi.h"
#include "introspection_gen.h"
#include "logging.h"
#include "screencapture.h"
#include "serverconnection.h"

namespace Constants {
constexpr int FCGI_PORT = 9000;
// The main loop's wait, and the shortest time between two passes of periodic().
constexpr int MAIN_LOOP_TIMEOUT_MS = 100;
constexpr std::chrono::nanoseconds PERIODIC_INTERVAL{99999999};
// Context marks of held requests.
constexpr int HELD_UPDATE = 0;
constexpr int HELD_LOG = 1;
} // namespace Constants

class RequestHandler : public Fcgi::RequestCallback, public ServerConnection::EventHandler {
public:
    RequestHandler(EventPoll& poll, Fcgi& fcgi);
    RequestHandler(RequestHandler const&) = delete;
    RequestHandler& operator=(RequestHandler const&) = delete;

    void handleRequest(Request* request) override;
    void handleEvent(Notify const& event) override;
    // From the main loop after every wake-up: deletes finished requests, and answers held ones at most once per
    // PERIODIC_INTERVAL.
    void periodic();

    // One value of a variable as JSON; a failure is written in its place as "ERROR": "<message>".
    static void printValue(unsigned mem, unsigned var, std::ostream& stream, int index);
    // A variable; arrays of records as a JSON array of their elements.
    static void printVariable(unsigned mem, unsigned var, std::ostream& stream);
    // Every variable of every block, in dictionary order.
    static void createJsonTree(std::ostream& stream);
    // Backslash, double quote, CR, LF and TAB as \u escapes; every other byte unchanged.
    static std::string encodeString(std::string const& text);
    // The string member key of an object and a line feed; "Key: '<key>' is missing" otherwise.
    static void appendJsonKey(nlohmann::json const& document, std::string const& key, std::string& out);

    // Sets the one variable a set request names; false when the body names none or cannot be read (only
    // reading failures are written into errors).
    bool setVars(std::string const& body, std::stringstream& errors);
    // Answers every held update request with the variables changed since the last pass.
    void sendUpdate();

private:
    void sendTree(Request* request);
    void sendSetResult(Request* request);
    void sendUnknownScript(Request* request, std::string const& script);

    Fcgi& fcgi;
    std::chrono::steady_clock::time_point lastPeriodic;
    std::bitset<EVENT_NAME_SIZE> changedEvents; // one bit per event: changed since the last update pass
    Logging logging;
    ScreenCapture screenCapture;
};
