#include "requesthandler.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>
#include <sstream>

#include "constants.h"
#include "introspection.h"
#include "jsonwriter.h"
#include "log.h"
#include "onewire.h"
#include "setrequest.h"
#include "tree.h"

namespace {
// The number after "offset=". A value that is no number, negative or beyond an int reads as 0, the whole log:
// a client that lost its place gets everything again rather than nothing.
long logOffset(std::string const& query) {
    static std::string const key = "offset=";
    if (query.compare(0, key.size(), key) != 0)
        return 0;
    char const* text = query.c_str() + key.size();
    char* end = nullptr;
    errno = 0;
    long offset = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || offset < 0 || offset > INT_MAX)
        return 0;
    return offset;
}

char const* const APP = "/voxapp/v1";
} // namespace

RequestHandler::RequestHandler(EventPoll& poll)
    : router({}), changedEvents(), voxApp(), kernelLog(poll), screenCapture() {
    using Body = Route::Body;
    auto api = [](char const* script, std::function<void(Request&)> serve) {
        return Route{script, "", false, Body::Held, false, [serve](Request& r, Exchange&) { serve(r); }};
    };
    // The app's answers are ended by their route (a download ends itself once it has gone out).
    auto app = [](std::string path, bool prefix, Body body, std::function<void(Request&, Exchange&)> serve) {
        return Route{APP, std::move(path), prefix, body, true, [serve](Request& r, Exchange& exchange) {
                         LOG(LogMost, "VoxApp: %s %s", r.param("REQUEST_METHOD").c_str(),
                             r.param("PATH_INFO").c_str());
                         serve(r, exchange);
                     }};
    };
    std::vector<Route> routes = {
        api("/api/v1/all.cgi", [this](Request& r) { sendTree(r); }),
        api("/api/v1/update.cgi", [this](Request& r) { holdUpdate(r); }),
        api("/api/v1/set.cgi", SetRequest::answer),
        api("/api/v1/log.cgi", [this](Request& r) { sendLog(r); }),
        api("/api/v1/screen.cgi", [this](Request& r) { sendScreen(r); }),
        api("/api/v1/modemdata.cgi", OneWire::writeModemData),
        api("/api/v1/premarkeddata.cgi", OneWire::writeRingData),
        app("/device/info", false, Body::Held, [this](Request& r, Exchange&) { voxApp.deviceInfo(r); }),
        app("/device/update", false, Body::Upload,
            [this](Request& r, Exchange& exchange) { voxApp.update(r, exchange.upload()); }),
        app("/device/status", true, Body::Held, [this](Request& r, Exchange&) { voxApp.updateStatus(r); }),
    };
    for (auto [path, folder] : {std::pair{"/lenstables", Constants::TAB_FOLDER},
                                {"/focusrings", Constants::FOR_FOLDER},
                                {"/setups", Constants::SETUPS_FOLDER}}) {
        std::string const place = std::string(Constants::LOCAL_FOLDER) + folder;
        routes.push_back(
            app(std::string(path) + "/list", false, Body::Held,
                [this, place](Request& r, Exchange&) { voxApp.listOperation(r, place.c_str()); }));
        routes.push_back(
            app(std::string(path) + "/file", true, Body::Held, [this, place](Request& r, Exchange& exchange) {
                voxApp.fileOperation(r, place.c_str(), exchange.argument());
            }));
    }
    routes.push_back(app("", false, Body::Held, [this](Request& r, Exchange&) { voxApp.unknown(r); }));
    routes.push_back(api(nullptr, [this](Request& r) { sendUnknownScript(r); }));
    router = Router(std::move(routes));

    lastPeriodic = std::chrono::steady_clock::now();
    try {
        kernelLog.init();
    } catch (std::exception const&) {
        LOG(Error, "Logging to web gui will not be available");
    }
}

void RequestHandler::route(Request& request) {
    std::string const& host = request.param("HTTP_HOST");
    std::string const& origin = request.param("HTTP_ORIGIN");
    std::string const& method = request.param("REQUEST_METHOD");
    std::string const& script = request.param("SCRIPT_NAME");
    bool const app = script == APP;
    // Each path answers in its own error form, so that its client reads the refusal as it reads any other.
    auto refuse = [&](char const* status, char const* message) {
        request.refuse(status, app ? JsonWriter::appResult(message) : JsonWriter::error(message));
    };
    switch (sites.check(method, host, origin, request.param("HTTP_SEC_FETCH_SITE"))) {
    case SitePolicy::Verdict::UnknownHost:
        LOG(Warn,
            "Request %u for host '%s' refused: not an address, localhost, a .local name or listed in %s",
            request.id(), host.c_str(), Constants::SITES_FILE);
        return refuse("421 Misdirected Request", "Host not served");
    case SitePolicy::Verdict::CrossOrigin:
        LOG(Warn, "Cross-origin request refused: %s %s%s from origin '%s'", method.c_str(), script.c_str(),
            request.param("PATH_INFO").c_str(), origin.c_str());
        return refuse("403 Forbidden", "Cross-origin request refused");
    case SitePolicy::Verdict::Serve:
        break;
    }
    try {
        std::string argument;
        Route const& route = router.find(script, request.param("PATH_INFO"), argument);
        std::unique_ptr<Upload> upload;
        if (route.body == Route::Body::Upload && !voxApp.startUpload(request, upload))
            return; // refused
        request.handleWith(std::make_unique<Exchange>(route, std::move(argument), std::move(upload)));
    } catch (std::exception const& e) {
        LOG(Error, "Request %u to %s could not be routed: %s", request.id(), script.c_str(),
            failureMessage(e));
        request.refuse("500 Internal Server Error", JsonWriter::error(failureMessage(e)));
    }
}

bool RequestHandler::releaseHeld() {
    Request* longest = nullptr;
    HeldRequests::Kind kind;
    if (!held.takeLongest(longest, kind))
        return false;
    // As if its pass had come with nothing new: an update with no variables, or the log's size line alone.
    LOG(DebugLight, "Held request %u answered early to make room", longest->id());
    if (kind == HeldRequests::Kind::Update)
        longest->output() << "{\r\n\"id\": " << unsigned(longest->requestId()) << ",\r\n"
                          << VariableTree::NO_CHANGES;
    longest->end();
    return true;
}

void RequestHandler::released(Request& request) {
    held.forget(request);
}

void RequestHandler::sendTree(Request& request) {
    LOG(LogLight, "Request %s from %s to %s by %s", request.param("SCRIPT_FILENAME").c_str(),
        request.param("REMOTE_ADDR").c_str(), request.param("SERVER_ADDR").c_str(),
        request.param("HTTP_USER_AGENT").c_str());
    // Printed straight into the records that carry it: it leaves in records of the largest size as it is
    // printed, and is never held whole.
    std::ostream& out = request.output();
    out << "{\r\n\"id\": " << unsigned(request.requestId()) << ",\r\n\"variables\": {";
    VariableTree::createJsonTree(out);
    request.output() << "}}\r\n";
    request.end();
}

void RequestHandler::holdUpdate(Request& request) {
    held.hold(request, HeldRequests::Kind::Update);
}

void RequestHandler::sendUpdate() {
    if (changedEvents.none())
        return;
    std::string const update = VariableTree::changes(changedEvents);
    held.answer(HeldRequests::Kind::Update, [&](Request& request) {
        request.output() << "{\r\n\"id\": " << unsigned(request.requestId()) << ",\r\n" << update;
        request.end();
        return true;
    });
}

void RequestHandler::sendUnknownScript(Request& request) {
    std::string const& script = request.param("SCRIPT_NAME");
    LOG(Warn, "Unknown script: '%s'", script.c_str());
    request.output() << JsonWriter::error("Unknown script: '" + script + "'");
    request.end();
}

void RequestHandler::sendLog(Request& request) {
    request.writeHeader(Constants::LOG_HEADER);
    request.output() << kernelLog.size() << "\r\n";
    if (!appendLogOutput(request))
        held.hold(request, HeldRequests::Kind::Log);
}

bool RequestHandler::appendLogOutput(Request& request) {
    std::string const& kept = kernelLog.text();
    std::size_t size = kernelLog.size();
    long offset = logOffset(request.param("QUERY_STRING"));
    std::size_t from = 0; // in the kept text
    if (offset != 0 && size >= std::size_t(offset)) {
        // The log will not grow any more once dmesg has ended: answered with nothing new, not held for good.
        if (size == std::size_t(offset) && !kernelLog.ended())
            return false; // up to date: held until more arrives
        LOG(DebugLight, "Sending log data with offset %i/%u to request %i", int(offset), unsigned(size),
            int(request.id()));
        // An offset older than what is kept is answered from the oldest byte kept.
        from = std::max(std::size_t(offset), kernelLog.oldest()) - kernelLog.oldest();
    } else {
        LOG(DebugLight, "Sending all log data to request %i", int(request.id()));
    }
    request.output().write(kept.data() + from, std::streamsize(kept.size() - from));
    request.end();
    return true;
}

void RequestHandler::sendScreen(Request& request) {
    // Encoded whole before anything is sent: a capture that fails half-way must not reach the browser as a
    // broken picture under a success status.
    std::ostringstream png;
    try {
        png << screenCapture;
    } catch (std::exception const& e) {
        sendFailure(request, "500 Internal Server Error", failureMessage(e));
        return;
    }
    std::string const& bytes = png.str();
    request.writeHeader(Constants::PNG_HEADER);
    request.output().write(bytes.data(), std::streamsize(bytes.size()));
    request.end();
}

void RequestHandler::handleEvent(Notify const& event) {
    if (event.event >= EVENT_NAME_SIZE)
        return;
    if (gMemStatic && gMemStatic->VariableLogging) {
        uint32_t mem = 0;
        uint32_t var = 0;
        Introspection::getVarLocation(event, mem, var);
        std::stringstream line;
        line << Introspection::getMemName(mem) << "." << Introspection::getVarName(mem, var) << ": ";
        VariableTree::printVariable(mem, var, line);
        LOG(LogLight, "%s", line.str().c_str());
    }
    changedEvents.set(event.event);
}

bool RequestHandler::periodic() {
    auto now = std::chrono::steady_clock::now();
    if (now - lastPeriodic <= Constants::PERIODIC_INTERVAL)
        return false;
    lastPeriodic = now;
    sendUpdate();
    held.answer(HeldRequests::Kind::Log, [this](Request& request) { return appendLogOutput(request); });
    return true;
}
