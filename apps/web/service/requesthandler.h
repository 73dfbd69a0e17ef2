#pragma once

// The web GUI's back end: routes every complete FastCGI request by its script name, prints the device state
// straight from shared memory into the answers, sets variables, holds update and log requests until a timed
// pass has something for them, captures the screen, and programs accessories' 1-Wire memories.

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
// Context marks of held requests.
constexpr int HELD_UPDATE = 0;
constexpr int HELD_LOG = 1;
// Objects a set body may nest: block, variable, record, field and a few wrappers need far fewer; a deeper
// body is refused before it costs anything.
constexpr unsigned SET_MAX_LEVELS = 16;
// The shell command that writes a focus ring's 1-Wire memory, and the room it is formatted into.
constexpr char const* ONEWIRE_RING_COMMAND = "echo '%s' | onewire-tool.py -e -m knob >/dev/kmsg 2>&1";
constexpr std::size_t ONEWIRE_COMMAND_SIZE = 128;
} // namespace Constants

class RequestHandler : public Fcgi::RequestCallback, public ServerConnection::EventHandler {
public:
    RequestHandler(EventPoll& poll, Fcgi& fcgi);
    RequestHandler(RequestHandler const&) = delete;
    RequestHandler& operator=(RequestHandler const&) = delete;

    // Routes the request by its script name; whatever an endpoint throws is answered with status 500.
    void handleRequest(Request* request) override;
    // Refuses, before any body is kept, a request from another site's page that would change something, and
    // any request to a host name the device does not answer to.
    void admit(Request* request) override;
    bool releaseHeld() override;
    std::unique_ptr<Request::BodySink> takeBody(Request* request) override;
    void handleEvent(Notify const& event) override;
    // From the main loop after every wake-up: deletes finished requests, and answers held ones at most once
    // per PERIODIC_INTERVAL.
    void periodic();

    // One value of a variable as JSON; a failure is written in its place as "ERROR": "<message>".
    static void printValue(unsigned mem, unsigned var, std::ostream& stream, int index);
    // A variable; arrays of records as a JSON array of their elements.
    static void printVariable(unsigned mem, unsigned var, std::ostream& stream);
    // Every variable of every block, in dictionary order.
    static void createJsonTree(std::ostream& stream);
    // The text as the inside of a JSON string (jsonText).
    static std::string encodeString(std::string const& text);
    // The string member key of an object and a line feed; "Key: '<key>' is missing" otherwise.
    static void appendJsonKey(nlohmann::json const& document, std::string const& key, std::string& out);

    // Sets the one variable a set request names; false when the body names none or cannot be read (only
    // reading failures are written into errors).
    bool setVars(std::string const& body, std::stringstream& errors);
    // Answers every held update request with the variables changed since the last pass.
    void sendUpdate();
    // Answers a log request with the kernel log from the offset its query names, or leaves it held while the
    // client is up to date.
    void appendLogOutput(Request* request);
    // Gives every held log request what arrived since.
    void sendLogging();
    // The focus-ring command for the two input lines, with the value kept as data for the shell; throws when
    // it does not fit the command's room.
    static std::string ringCommand(std::string const& input);

private:
    void route(Request* request);
    void answerFailure(Request* request, char const* reason);
    void sendTree(Request* request);
    void sendSetResult(Request* request);
    void sendUnknownScript(Request* request, std::string const& script);
    void sendLog(Request* request);
    void sendScreen(Request* request);
    void writeModemData(Request* request);
    void writeRingData(Request* request);

    Fcgi& fcgi;
    SitePolicy sites;
    std::chrono::steady_clock::time_point lastPeriodic;
    std::bitset<EVENT_NAME_SIZE> changedEvents; // one bit per event: changed since the last update pass
    VoxApp voxApp;
    Logging logging;
    ScreenCapture screenCapture;
};
