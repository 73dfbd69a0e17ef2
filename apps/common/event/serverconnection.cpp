#include "serverconnection.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "event_names_gen.h"
#include "log.h"

ServerConnection* gServerConnection = nullptr;

namespace {
constexpr std::size_t RECORD = sizeof(Notify);
}

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
    descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        THROW_ERROR_NUMBER("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, Constants::BROKER_SOCKET_PATH, sizeof address.sun_path - 1);
    timeval timeout{Constants::BROKER_SEND_TIMEOUT_MS / 1000,
                    Constants::BROKER_SEND_TIMEOUT_MS % 1000 * 1000};
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    stalled = false;
    poll->add(descriptor, this, EPOLLIN);
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        close();
        errno = error;
        THROW_ERROR_NUMBER("connect");
    }
}

void ServerConnection::close() {
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

void ServerConnection::event(EventPoll::EventType type) {
    if (type == EventPoll::Hangup) {
        close();
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
        close();
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
    postEvent(Notify{gen::Event::SubscribeAll, 0, 0});
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
