#pragma once

// The FastCGI listener: accepts the front web server's connections, gives each a Request, and keeps the
// registry of requests handed to the web API. Requests are never deleted where they finish: they are marked,
// and cleanup() deletes them, so that no request disappears while its own event or the web API's walk over
// the registry uses it.

#include <chrono>
#include <map>
#include <memory>
#include <sys/socket.h>
#include <vector>

#include "eventpoll.h"
#include "request.h"

namespace Constants {
// Requests handed to the web API and not yet answered. When a new one completes beyond them, the web API is
// asked to answer its longest-held request at once; if it holds none, the new connection is closed.
constexpr unsigned FCGI_MAX_REQUESTS = 32;
// A burst of a few hundred connections must not be lost in the kernel's queue.
constexpr int FCGI_LISTEN_BACKLOG = SOMAXCONN;
// Every accepted connection not yet deleted, registered or not. Keeps a burst of connections that are opened
// and dropped within one cleanup period from exhausting the descriptors. At the bound, the connection idle
// longest makes room if it has been idle for FCGI_IDLE_GRACE (a slow or idle peer, which the bound is there
// for); otherwise nothing more is accepted until a place frees, and newcomers wait in the listen queue, as
// nginx's own clients do when it runs out of connections. A connection the front web server has only just
// opened has not been read yet: closing it would cost that request an error instead of a wait.
constexpr unsigned FCGI_MAX_CONNECTIONS = 256;
constexpr std::chrono::seconds FCGI_IDLE_GRACE{2};
// A connection that has not completed a request this long after its last byte (or its accept), or that has
// waited this long after its answer, is closed: idle peers must not hold connections for good.
constexpr std::chrono::seconds FCGI_REQUEST_TIMEOUT{30};
constexpr std::chrono::seconds FCGI_KEEP_IDLE_TIMEOUT{60};
// Answers queued for peers that read slower than we print. One connection may hold several trees (1.1 MB
// each) or a large download; all of them together stay well inside a device with a few hundred MiB of RAM.
constexpr size_t FCGI_MAX_QUEUED_PER_CONNECTION = size_t(64) << 20;
constexpr size_t FCGI_MAX_QUEUED_TOTAL = size_t(128) << 20;
// A peer that has taken no byte of its queued answer for this long is not coming back for it.
constexpr std::chrono::seconds FCGI_WRITE_STALL_TIMEOUT{60};
} // namespace Constants

class Fcgi : public EventPoll::Callback {
public:
    class RequestCallback {
    public:
        virtual void handleRequest(Request* request) = 0;
        // Once the parameters are complete and before any of the body is kept: refuses the request through
        // Request::refuse when it is not to be served at all.
        virtual void admit(Request*) {}
        // Answers and ends the request held longest, to make room for a new one; false when none is held.
        virtual bool releaseHeld() { return false; }
        // What takes the body of the request as it arrives, when it is not to be held whole in postData.
        virtual std::unique_ptr<Request::BodySink> takeBody(Request*) { return nullptr; }

    protected:
        ~RequestCallback() = default;
    };

    Fcgi(int port, EventPoll& poll); // listens on all interfaces
    // For a process started by the web server with its listening socket as descriptor 0.
    explicit Fcgi(EventPoll& poll);
    ~Fcgi(); // ends the requests still being served (sending what goes out at once), then deletes every one
    Fcgi(Fcgi const&) = delete;
    Fcgi& operator=(Fcgi const&) = delete;

    void event(EventPoll::EventType type) override; // accepts one connection, or pauses at the bound

    Request* request(unsigned int id) const; // null when not registered
    void addRequest(Request* request);       // registers it and calls the callback
    void removeRequest(Request* request);    // unwatches and marks for deletion; a second call does nothing
    void cleanup();                          // deletes the marked requests
    // Gives up the peers that have taken nothing of their queued answers for the stall timeout, closes
    // connections idle past their limits, and accepts again once there is room. From the main loop's periodic
    // pass.
    void expire(std::chrono::steady_clock::time_point now);

    size_t connectionCount() const { return mConnections.size(); } // accepted and not yet deleted
    bool accepting() const { return !mAcceptPaused; }   // false while newcomers wait in the listen queue
    size_t queuedBytes() const { return mQueuedBytes; } // over every connection

    int listenFd;           // -1 when closed
    unsigned nextRequestId; // number of the next served connection
    std::map<unsigned, Request*>
        requests;                   // the registry: handed to the web API, not yet deleted (not owning)
    std::vector<unsigned> toDelete; // marked numbers, in marking order
    EventPoll* poll;
    RequestCallback* callback; // the web API; null: complete requests are registered only

private:
    friend class Request;

    void unwatch(Request* request);                // takes the connection off the poll
    void watchWritable(Request* request, bool on); // room to write instead of input, or back
    // A request's queue grew or shrank by delta bytes; past a bound the connection with the most is closed.
    void queueChanged(Request* request, long long delta);
    // Closes the open connection that has been idle longest, if for the grace at least, to make room for a
    // new one; false when none has.
    bool closeIdlest(std::chrono::steady_clock::time_point now);
    void pauseAccepting();
    void resumeAccepting();         // when a place is free
    size_t openConnections() const; // accepted and not given up

    std::map<unsigned, std::unique_ptr<Request>> mConnections; // owns every accepted connection's request
    size_t mQueuedBytes;                                       // sum of the requests' queues
    size_t mHeldBodies = 0;                                    // sum of the requests' postData
    bool mAcceptPaused = false; // the listening socket is off the poll: no room for a connection
};
