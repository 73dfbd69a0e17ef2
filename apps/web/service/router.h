#pragma once

// The web API's one route table: from a request's script name (and, for the companion app, its path) to what
// serves it, and how its body is taken. Consulted once per request, when its parameters are complete; the
// result travels with the request (Exchange) until it is served.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "request.h"
#include "upload.h"

class Exchange;

struct Route {
    enum class Body {
        Held,   // in postData, within the listener's bounds
        Upload, // streamed to the update package as it arrives, never held
    };
    char const* script; // SCRIPT_NAME, whole; null for any
    std::string path;   // PATH_INFO, whole; empty for any
    bool pathPrefix;    // path is only its start: what follows is the handler's argument (a file name)
    Body body;
    // The handler leaves the request to be ended after it returns, unless it streams the answer (the
    // companion app's); otherwise it ends the request itself, or holds it.
    bool endedAfter;
    std::function<void(Request&, Exchange&)> serve;
};

class Router {
public:
    explicit Router(std::vector<Route> routes) : mRoutes(std::move(routes)) {}
    // The first route that matches; the table ends in one for any script. argument: what follows a prefix.
    Route const& find(std::string const& script, std::string const& path, std::string& argument) const;

private:
    std::vector<Route> mRoutes;
};

// One request on its way through its route: the upload it streams, the path's argument.
class Exchange : public Request::Handling {
public:
    Exchange(Route const& route, std::string argument, std::unique_ptr<Upload> upload)
        : mRoute(route), mArgument(std::move(argument)), mUpload(std::move(upload)) {}

    bool takesBody() const override { return bool(mUpload); }
    void take(std::string_view bytes) override { mUpload->take(bytes); }
    void bodyComplete() override;
    // Runs the route's handler; whatever it throws is answered with status 500.
    void serve(Request& request) override;

    std::string const& argument() const { return mArgument; }
    Upload* upload() const { return mUpload.get(); } // null when the body was not multipart

private:
    Route const& mRoute;
    std::string mArgument;
    std::unique_ptr<Upload> mUpload;
};

// A request that failed before the endpoint could do its work: an HTTP error status and the browser GUI's
// error form, and the end of the request.
void sendFailure(Request& request, char const* status, std::string const& message);
