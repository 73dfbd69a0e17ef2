#pragma once

// The FastCGI listener: accepts the front web server's connections, gives each a Request, has complete
// requests served by the web API within its bounds, and owns every connection. Connections are never deleted
// where they finish: they are released, and cleanup() deletes them, so that no request disappears while its
// own event or a walk of the web API uses it.

#include <chrono>
#include <map>
#include <memory>
#include <sys/socket.h>
#include <vector>

#include "eventpoll.h"
#include "request.h"

namespace Constants {
// Requests handed to the web API and not yet answered. When a new one completes beyond them, the web API is
// asked to answer its longest-held request at once; if it holds none, the new request's connection is closed.
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

class Fcgi : public EventPoll::Callback, private Request::Owner {
public:
    // The web API, as the listener sees it.
    class RequestCallback {
    public:
        // The parameters of a request are complete: chooses how it is served (Request::handleWith), or
        // refuses it (Request::refuse), before any of its body is kept.
        virtual void route(Request& request) = 0;
        // A complete request finds the registry full: answers and ends the request held longest, to make
        // room; false when none is held.
        virtual bool releaseHeld() = 0;
        // The connection of a request goes away (its peer left, or it was given up): the web API forgets it.
        virtual void released(Request& request) = 0;

    protected:
        ~RequestCallback() = default;
    };

    Fcgi(int port, EventPoll& poll, RequestCallback& callback); // listens on all interfaces
    // For a process started by the web server with its listening socket as descriptor 0.
    Fcgi(EventPoll& poll, RequestCallback& callback);
    // Ends the requests still being served (sending what goes out at once), then deletes every connection.
    ~Fcgi();
    Fcgi(Fcgi const&) = delete;
    Fcgi& operator=(Fcgi const&) = delete;

    void event(EventPoll::EventType type) override; // accepts one connection, or pauses at the bound

    // Deletes the connections released since the last call. After every wake-up of the main loop: between two
    // waits no callback and no walk holds a request.
    void cleanup();
    // Gives up the peers that have taken nothing of their queued answers for the stall timeout, closes
    // connections idle past their limits, and accepts again once there is room. From the main loop's
    // periodic pass.
    void expire(std::chrono::steady_clock::time_point now);

    size_t connectionCount() const { return mConnections.size(); } // accepted and not yet deleted
    size_t releasedCount() const { return mReleased.size(); }      // waiting for the next cleanup
    size_t servedCount() const; // complete requests handed to the web API and not yet answered
    size_t queuedBytes() const { return mQueuedBytes; } // over every connection
    bool accepting() const { return !mAcceptPaused; }   // false while newcomers wait in the listen queue

private:
    // The listener's bookkeeping of one accepted connection.
    struct Connection {
        std::unique_ptr<Request> request;
        bool watched = false;  // registered with the poll
        bool writable = false; // watched for room to write instead of for input
        bool released = false; // in mReleased, deleted at the next cleanup
    };

    // Request::Owner
    void paramsComplete(Request& request) override;
    void complete(Request& request) override;
    void release(Request& request) override;
    void watchWritable(Request& request, bool on) override;
    void unwatch(Request& request) override;
    void queueChanged(Request& request, long long delta) override;
    bool bodyFits(size_t bytes) const override;
    void bodyHeld(long long delta) override;

    Connection* connection(Request const& request); // null once it has left the map
    // Closes the open connection that has been idle longest, if for the grace at least, to make room for a
    // new one; false when none has.
    bool closeIdlest(std::chrono::steady_clock::time_point now);
    void pauseAccepting();
    void resumeAccepting();         // when a place is free
    size_t openConnections() const; // accepted and not released

    EventPoll& mPoll;
    RequestCallback& mCallback;
    int mListenFd = -1;
    unsigned mNextId = 0;                        // number of the next accepted connection
    std::map<unsigned, Connection> mConnections; // every accepted connection not yet deleted, by number
    std::vector<unsigned> mReleased;             // numbers to delete, in releasing order
    size_t mQueuedBytes = 0;                     // sum of the requests' queues
    size_t mHeldBodies = 0;                      // sum of the requests' postData
    bool mAcceptPaused = false; // the listening socket is off the poll: no room for a connection
};
