#pragma once

// The connection to the device's message broker: a Unix stream socket of 12-byte Notify records in both
// directions. Connecting clients are serialised by the broker's start-gate semaphore. Incoming events go to
// the EventHandler; a record that a read cuts is completed by the next read, so the stream never gets out of
// step.

#include <cstddef>

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
    void close(); // unregisters, shuts down sending, drains and closes; nothing when closed

    void event(EventPoll::EventType type) override;

    void postEvent(Notify const& notify);
    void subscribe(Notify const& notify);
    void subscribeAll();

    void setHandler(EventHandler* eventHandler) { handler = eventHandler; }
    int getDescriptor() const { return descriptor; }

private:
    void dispatch(Notify const* events, int count);
    bool send(void const* data, std::size_t size); // whole, within the send timeout

    EventPoll* poll;
    int descriptor = -1;
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
