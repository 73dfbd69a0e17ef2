#include "serverconnection.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include "event_names_gen.h"
#include "log.h"

ServerConnection* gServerConnection = nullptr;

namespace {
constexpr std::size_t RECORD = sizeof(Notify);
Notify const SUBSCRIBE_ALL{gen::Event::SubscribeAll, 0, 0};
} // namespace

ServerConnection::ServerConnection(EventPoll& poll) : poll(&poll) {
    LOG(LogLight, "Waiting for server");
    int attempts = 0;
    sem_t* gate;
    // No sleep between attempts: the broker is normally up, and a start-up that waits is a start-up that
    // fails.
    while ((gate = sem_open(Constants::BROKER_START_GATE, 0)) == SEM_FAILED) {
        if (++attempts >= Constants::BROKER_GATE_ATTEMPTS)
            THROW_ERROR_NUMBER("sem_open");
        sched_yield();
    }
    if (sem_wait(gate) != 0) {
        sem_close(gate);
        THROW_ERROR_NUMBER("sem_wait");
    }
    try {
        connect();
    } catch (...) {
        sem_post(gate); // the next client must not wait for a gate this one never gives back
        sem_close(gate);
        throw;
    }
    LOG(LogLight, "Connected after %i attempts", attempts);
    if (sem_post(gate) != 0) {
        sem_close(gate);
        THROW_ERROR_NUMBER("sem_post");
    }
    sem_close(gate);
}

ServerConnection::~ServerConnection() {
    close();
}

void ServerConnection::connect() {
    if (char const* failed = attach())
        THROW_ERROR_NUMBER(failed);
}

char const* ServerConnection::attach() {
    descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return "socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, Constants::BROKER_SOCKET_PATH, sizeof address.sun_path - 1);
    timeval timeout{Constants::BROKER_SEND_TIMEOUT_MS / 1000,
                    Constants::BROKER_SEND_TIMEOUT_MS % 1000 * 1000};
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    stalled = false;
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(descriptor);
        descriptor = -1;
        errno = error;
        return "connect";
    }
    poll->add(descriptor, this, EPOLLIN);
    return nullptr;
}

void ServerConnection::close() {
    stopRetrying();
    detach();
}

void ServerConnection::detach() {
    if (descriptor == -1)
        return;
    poll->remove(descriptor);
    shutdown(descriptor, SHUT_WR);
    char discard[256];
    pollfd readable{descriptor, POLLIN, 0};
    while (::poll(&readable, 1, 100) > 0 && read(descriptor, discard, sizeof discard) > 0) {
    }
    ::close(descriptor);
    descriptor = -1;
    partialLength = 0;
}

void ServerConnection::lost() {
    detach();
    if (retryTimer != -1)
        return;
    retryTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (retryTimer < 0) {
        retryTimer = -1;
        LOG(Error, "Broker connection lost, and no timer to connect again: %s", strerror(errno));
        return;
    }
    long const interval = Constants::BROKER_RECONNECT_MS * 1000000L;
    itimerspec period{{interval / 1000000000L, interval % 1000000000L},
                      {interval / 1000000000L, interval % 1000000000L}};
    timerfd_settime(retryTimer, 0, &period, nullptr);
    poll->add(retryTimer, &retry, EPOLLIN);
    retries = 0;
    LOG(Warn, "Broker connection lost, connecting again every %i ms", Constants::BROKER_RECONNECT_MS);
}

void ServerConnection::Retry::event(EventPoll::EventType) {
    uint64_t expirations;
    if (read(connection.retryTimer, &expirations, sizeof expirations) != ssize_t(sizeof expirations))
        return;
    connection.reconnect();
}

void ServerConnection::reconnect() {
    ++retries;
    // A broker that is not up yet has no gate; one that another client is passing is tried at the next tick.
    sem_t* gate = sem_open(Constants::BROKER_START_GATE, 0);
    if (gate == SEM_FAILED)
        return;
    if (sem_trywait(gate) != 0) {
        sem_close(gate);
        return;
    }
    bool connected = attach() == nullptr;
    sem_post(gate);
    sem_close(gate);
    if (!connected)
        return;
    stopRetrying();
    bool told = !subscribedAll || send(&SUBSCRIBE_ALL, RECORD);
    for (Notify const& notify : subscriptions) {
        Notify message[2] = {{gen::Event::Subscribe, 0, 0}, notify};
        told = told && send(message, sizeof message);
    }
    if (!told) {
        LOG(Error, "Broker connected again but not told the subscriptions; connecting anew");
        lost();
        return;
    }
    LOG(LogLight, "Broker connected again after %u attempts", retries);
}

void ServerConnection::stopRetrying() {
    if (retryTimer == -1)
        return;
    poll->remove(retryTimer);
    ::close(retryTimer);
    retryTimer = -1;
}

void ServerConnection::event(EventPoll::EventType type) {
    if (type == EventPoll::Hangup) {
        lost();
        return;
    }
    if (type != EventPoll::Read)
        return;
    Notify events[Constants::BROKER_READ_RECORDS]{};
    unsigned char* bytes = reinterpret_cast<unsigned char*>(events);
    memcpy(bytes, partial, partialLength);
    ssize_t n = read(descriptor, bytes + partialLength, sizeof events - partialLength);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return;
        THROW_ERROR("Read error");
    }
    if (n == 0) {
        // End of stream: closed now, so that a level-triggered poll cannot report it again and again.
        lost();
        return;
    }
    std::size_t total = partialLength + std::size_t(n);
    int count = int(total / RECORD);
    partialLength = total % RECORD;
    memcpy(partial, bytes + count * RECORD, partialLength);
    dispatch(events, count);
}

void ServerConnection::dispatch(Notify const* events, int count) {
    for (int i = 0; i < count; ++i) {
        if (handler)
            handler->handleEvent(events[i]);
        else
            LOG(Warn, "Unhandled event: %s", eventName(events[i]));
    }
}

void ServerConnection::postEvent(Notify const& notify) {
    if (!send(&notify, RECORD))
        THROW_ERROR("Could not send message to server");
}

void ServerConnection::subscribe(Notify const& notify) {
    subscriptions.push_back(notify);
    Notify message[2] = {{gen::Event::Subscribe, 0, 0}, notify};
    if (!send(message, sizeof message))
        THROW_ERROR("Could not send message to server");
}

bool ServerConnection::send(void const* data, std::size_t size) {
    if (descriptor < 0)
        return false;
    // A broker that stopped reading costs one wait, not one for every post: until it takes bytes again,
    // posts fail at once.
    if (stalled) {
        pollfd writable{descriptor, POLLOUT, 0};
        if (::poll(&writable, 1, 0) <= 0)
            return false;
        stalled = false;
    }
    ssize_t n = write(descriptor, data, size); // waits at most BROKER_SEND_TIMEOUT_MS (SO_SNDTIMEO)
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        stalled = true;
    return n == ssize_t(size);
}

void ServerConnection::subscribeAll() {
    subscribedAll = true;
    postEvent(SUBSCRIBE_ALL);
}

int readEvents(int descriptor, Notify* buffer, int capacity) {
    ssize_t n = read(descriptor, buffer, std::size_t(capacity) * RECORD);
    if (n < 0)
        THROW_ERROR("Read error");
    return int(std::size_t(n) / RECORD);
}

void postEvent(Notify const& notify) {
    if (!gServerConnection)
        THROW_ERROR("Trying to post event without server connection");
    gServerConnection->postEvent(notify);
}
