#include "router.h"

#include <exception>

#include "jsonwriter.h"
#include "log.h"

namespace {
bool matches(std::string const& pattern, bool prefix, std::string const& text, std::string& rest) {
    if (pattern.empty())
        return true;
    if (prefix ? text.compare(0, pattern.size(), pattern) != 0 : text != pattern)
        return false;
    rest = prefix ? text.substr(pattern.size()) : std::string();
    return true;
}

// Whatever went wrong, the request is answered and released and the service goes on; an answer already on its
// way can only be cut.
void answerFailure(Request& request, char const* reason) {
    LOG(Error, "Request %u to %s failed: %s", request.id(), request.param("SCRIPT_NAME").c_str(), reason);
    if (request.fd() == -1 || request.peerGone() || !request.handedOver())
        return;
    try {
        if (!request.restartAnswer()) {
            request.drop("its answer failed half-way");
            return;
        }
        sendFailure(request, "500 Internal Server Error", reason);
    } catch (std::exception const&) {
        request.drop("its failure could not be answered");
    }
}
} // namespace

Route const& Router::find(std::string const& script, std::string const& path, std::string& argument) const {
    for (Route const& route : mRoutes) {
        std::string rest;
        if (route.script && script != route.script)
            continue;
        if (!matches(route.path, route.pathPrefix, path, rest))
            continue;
        argument = rest;
        return route;
    }
    THROW_ERROR("No route for script '%s'", script.c_str()); // the table ends in one for any script
}

void Exchange::bodyComplete() {
    if (mUpload)
        mUpload->finish();
}

void Exchange::serve(Request& request) {
    LOG(DebugMost, "REQUEST handle(%i, %i, %s)", int(request.id()), int(request.requestId()),
        request.param("SCRIPT_NAME").c_str());
    try {
        mRoute.serve(request, *this);
        if (mRoute.endedAfter && request.handedOver() && !request.streaming())
            request.end();
    } catch (std::exception const& e) {
        answerFailure(request, failureMessage(e));
    }
}

void sendFailure(Request& request, char const* status, std::string const& message) {
    std::string header = std::string("Status: ") + status + "\r\n" + Constants::FCGI_DEFAULT_HEADER;
    request.writeHeader(header.c_str());
    request.output() << JsonWriter::error(message);
    request.end();
}
