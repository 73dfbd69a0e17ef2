#pragma once

// The FastCGI listener: accepts the front web server's connections, gives each a Request, and keeps the
// registry of requests handed to the web API. Requests are never deleted where they finish: they are marked,
// and cleanup() deletes them, so that no request disappears while its own event or the web API's walk over
// the registry uses it.

#include <map>
#include <vector>

#include "eventpoll.h"
#include "request.h"

namespace Constants {
constexpr unsigned FCGI_MAX_REQUESTS = 32; // registered requests; a connection beyond them is closed at once
constexpr int FCGI_LISTEN_BACKLOG = 10;
// Every accepted connection not yet deleted, registered or not. Keeps a burst of connections that are opened
// and dropped within one cleanup period from exhausting the descriptors.
constexpr unsigned FCGI_MAX_CONNECTIONS = 256;
} // namespace Constants

class Fcgi : public EventPoll::Callback {
public:
    class RequestCallback {
    public:
        virtual void handleRequest(Request* request) = 0;

    protected:
        ~RequestCallback() = default;
    };

    Fcgi(int port, EventPoll& poll); // listens on all interfaces
    // For a process started by the web server with its listening socket as descriptor 0.
    explicit Fcgi(EventPoll& poll);
    ~Fcgi(); // ends the requests still being served, then deletes every request
    Fcgi(Fcgi const&) = delete;
    Fcgi& operator=(Fcgi const&) = delete;

    void event(EventPoll::EventType type) override; // accepts one connection

    Request* request(unsigned int id) const; // null when not registered
    void addRequest(Request* request);       // registers it and calls the callback
    void removeRequest(Request* request);    // unwatches and marks for deletion; a second call does nothing
    void cleanup();                          // deletes the marked requests
    void unwatch(Request* request);          // takes the connection off the poll

    int listenFd;                          // -1 when closed
    unsigned nextRequestId;                // number of the next served connection
    std::map<unsigned, Request*> requests; // the registry: handed to the web API, not yet deleted
    std::vector<unsigned> toDelete;        // marked numbers, in marking order
    EventPoll* poll;
    RequestCallback* callback;                // the web API; null: complete requests are registered only
    std::map<unsigned, Request*> connections; // owner of every accepted connection's request until deleted
};
