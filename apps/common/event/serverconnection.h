#pragma once

// The connection to the device's message broker: a Unix stream socket of 12-byte Notify records in both
// directions. Connecting clients are serialised by the broker's start-gate semaphore. Incoming events go to
// the EventHandler; a record that a read cuts is completed by the next read, so the stream never gets out of
// step.
//
// A broker that goes away is waited for and connected to again, and told the subscriptions anew: the broker
// is a unit of its own that the device restarts, and a process that stayed connected to nothing would go on
// serving a state that no longer changes. Reconnecting in place, rather than ending the process for its unit
// to restart it, keeps what the process holds meanwhile (the web service's waiting requests and uploads).
// Posts fail while no broker is there.

#include <cstddef>
#include <vector>

#include "eventpoll.h"
#include "notify.h"

namespace Constants {
constexpr char const* BROKER_SOCKET_PATH = "/var/volatile/message-broker.socket";
constexpr char const* BROKER_START_GATE = "/message-broker-ready";
constexpr int BROKER_READ_RECORDS = 256; // records taken per read
constexpr int BROKER_GATE_ATTEMPTS = 20;
// A post the broker does not take within this long fails: a broker that stops reading must not stop the
// service with it.
constexpr int BROKER_SEND_TIMEOUT_MS = 1000;
// How often a lost connection tries again; the gate is never waited for then, so the loop goes on meanwhile.
constexpr int BROKER_RECONNECT_MS = 200;
} // namespace Constants

class ServerConnection final : public EventPoll::Callback {
public:
    class EventHandler {
    public:
        virtual void handleEvent(Notify const& event) = 0;

    protected:
        ~EventHandler() = default;
    };

    // Waits for the start gate, connects and registers with the poll.
    explicit ServerConnection(EventPoll& poll);
    ~ServerConnection(); // close()
    ServerConnection(ServerConnection const&) = delete;
    ServerConnection& operator=(ServerConnection const&) = delete;

    void connect();
    void close(); // unregisters, shuts down sending, drains and closes, tries no more; nothing when closed

    void event(EventPoll::EventType type) override;

    void postEvent(Notify const& notify);
    void subscribe(Notify const& notify);
    void subscribeAll();

    void setHandler(EventHandler* eventHandler) { handler = eventHandler; }
    int getDescriptor() const { return descriptor; }

private:
    // Expirations of the reconnect timer.
    struct Retry final : EventPoll::Callback {
        explicit Retry(ServerConnection& connection) : connection(connection) {}
        void event(EventPoll::EventType type) override;
        ServerConnection& connection;
    };

    void dispatch(Notify const* events, int count);
    bool send(void const* data, std::size_t size); // whole, within the send timeout
    char const* attach();                          // socket and connect; the call that failed, with errno
    void detach();
    void lost();         // the broker went away: closed, and tried again from the poll
    void reconnect();    // one try: through the gate without waiting, connect, subscribe again
    void stopRetrying(); // connected again, or closed by its owner

    EventPoll* poll;
    int descriptor = -1;
    int retryTimer = -1; // a timerfd while the connection is lost
    unsigned retries = 0;
    Retry retry{*this};
    // What to tell a broker connected to again.
    bool subscribedAll = false;
    std::vector<Notify> subscriptions;
    bool stalled = false;            // the last write timed out: the broker is not reading
    EventHandler* handler = nullptr; // set by main to the request handler
    // The start of a record that the last read cut; completed by the next read.
    unsigned char partial[sizeof(Notify)];
    std::size_t partialLength = 0;
};

// One read of up to capacity records; the number of whole records (0 at end of stream). Throws "Read error".
int readEvents(int descriptor, Notify* buffer, int capacity);

// Posts through the process's broker connection; throws when there is none.
void postEvent(Notify const& notify);

// The process's connection, from start-up to shutdown.
extern ServerConnection* gServerConnection;
