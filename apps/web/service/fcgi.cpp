#include "fcgi.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

Fcgi::Fcgi(int port, EventPoll& poll, RequestCallback& callback) : mPoll(poll), mCallback(callback) {
    mListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mListenFd < 0)
        THROW_ERROR_NUMBER("socket");
    int one = 1;
    setsockopt(mListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        int failure = errno;
        ::close(mListenFd);
        mListenFd = -1;
        errno = failure;
        THROW_ERROR_NUMBER("bind");
    }
    listen(mListenFd, Constants::FCGI_LISTEN_BACKLOG);
    try {
        mPoll.add(mListenFd, this, EPOLLIN);
    } catch (...) {
        ::close(mListenFd);
        mListenFd = -1;
        throw;
    }
}

Fcgi::Fcgi(EventPoll& poll, RequestCallback& callback) : mPoll(poll), mCallback(callback), mListenFd(0) {
    mPoll.add(mListenFd, this, EPOLLIN);
}

Fcgi::~Fcgi() {
    if (mListenFd >= 0) {
        try {
            if (!mAcceptPaused)
                mPoll.remove(mListenFd);
        } catch (std::exception const&) {
        }
        ::close(mListenFd);
        mListenFd = -1;
    }
    for (auto& [id, connection] : mConnections) {
        Request& request = *connection.request;
        if (request.fd() == -1 || connection.released || !request.handedOver()) // answered or gone
            continue;
        try {
            request.end();
        } catch (std::exception const&) {
            // already logged by the failing call; the remaining requests are still ended
        }
    }
    // Out of the map before they go: a connection's destructor asks to be unwatched, by its number.
    auto connections = std::move(mConnections);
    mConnections.clear();
    mReleased.clear();
    connections.clear();
}

void Fcgi::event(EventPoll::EventType type) {
    if (type == EventPoll::Hangup)
        return;
    if (openConnections() >= Constants::FCGI_MAX_CONNECTIONS &&
        !closeIdlest(std::chrono::steady_clock::now())) {
        pauseAccepting();
        return;
    }
    int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        switch (errno) {
        case EINTR:
        // The connection went away between readiness and accept, or it carries a network error that the
        // caller of accept is asked to treat as a retry: nothing to serve, the listener is fine.
        case EAGAIN:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return;
        default:
            THROW_ERROR_NUMBER("accept");
        }
    }
    // Records leave whole in one write each; waiting to fill segments would only delay them.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // fails harmlessly on a Unix-domain socket

    unsigned id = mNextId++;
    Connection& connection = mConnections[id];
    connection.request = std::make_unique<Request>(static_cast<Request::Owner&>(*this), fd, id);
    try {
        mPoll.add(fd, connection.request.get(), EPOLLIN);
    } catch (...) {
        mConnections.erase(id);
        throw;
    }
    connection.watched = true;
}

Fcgi::Connection* Fcgi::connection(Request const& request) {
    auto found = mConnections.find(request.id());
    return found == mConnections.end() ? nullptr : &found->second;
}

size_t Fcgi::servedCount() const {
    size_t served = 0;
    for (auto const& [id, connection] : mConnections)
        served += !connection.released && connection.request->handedOver();
    return served;
}

void Fcgi::paramsComplete(Request& request) {
    mCallback.route(request);
}

void Fcgi::complete(Request& request) {
    size_t served = servedCount() - 1; // this one is handed over already
    if (served >= Constants::FCGI_MAX_REQUESTS && !mCallback.releaseHeld()) {
        LOG(Warn, "Connection not served: %zu requests registered, %zu connections open", served,
            mConnections.size());
        request.drop("no room for its request", gen::LogLevel::DebugLight);
        return;
    }
    if (Request::Handling* handling = request.handling())
        handling->serve(request);
    else // refused or never routed: nothing is served, but the request is still answered
        request.end();
}

void Fcgi::release(Request& request) {
    // Released once only: the descriptor number of a released connection may already belong to a new one, and
    // a second entry would only earn a warning at cleanup.
    Connection* entry = connection(request);
    if (!entry || entry->released)
        return;
    unwatch(request);
    LOG(DebugMost, "REQUEST remove(%i)", request.id());
    mReleased.push_back(request.id());
    entry->released = true;
    mCallback.released(request);
}

void Fcgi::unwatch(Request& request) {
    Connection* entry = connection(request);
    if (!entry || !entry->watched)
        return;
    entry->watched = false;
    mPoll.remove(request.fd());
}

void Fcgi::watchWritable(Request& request, bool on) {
    Connection* entry = connection(request);
    if (!entry || !entry->watched || entry->writable == on)
        return;
    mPoll.modify(request.fd(), &request, on ? EPOLLOUT : EPOLLIN);
    entry->writable = on;
}

bool Fcgi::bodyFits(size_t bytes) const {
    return mHeldBodies + bytes <= Constants::FCGI_MAX_HELD_BODIES;
}

void Fcgi::bodyHeld(long long delta) {
    mHeldBodies = size_t(static_cast<long long>(mHeldBodies) + delta);
}

void Fcgi::queueChanged(Request& request, long long delta) {
    mQueuedBytes = size_t(static_cast<long long>(mQueuedBytes) + delta);
    if (delta <= 0)
        return;
    if (request.queuedBytes() > Constants::FCGI_MAX_QUEUED_PER_CONNECTION) {
        request.drop("answer queue over its bound");
        return;
    }
    if (mQueuedBytes <= Constants::FCGI_MAX_QUEUED_TOTAL)
        return;
    // The peer that holds the most is the one that reads least: it goes, not the one printing now.
    Request* largest = &request;
    for (auto const& [id, connection] : mConnections)
        if (connection.request->queuedBytes() > largest->queuedBytes())
            largest = connection.request.get();
    largest->drop("answer queues of all connections over their bound");
}

void Fcgi::expire(std::chrono::steady_clock::time_point now) {
    for (auto const& [id, connection] : mConnections) {
        Request& request = *connection.request;
        if (connection.released)
            continue;
        if (request.queuedBytes() > 0) {
            if (now - request.lastProgress() >= Constants::FCGI_WRITE_STALL_TIMEOUT)
                request.drop("peer read nothing for too long");
        } else if (request.handedOver() || request.streaming()) {
            // the web API's to answer: held requests wait for their pass
        } else if (request.answered()) {
            if (now - request.idleSince() >= Constants::FCGI_KEEP_IDLE_TIMEOUT)
                request.drop("idle after its answer", gen::LogLevel::DebugLight);
        } else if (now - request.lastInput() >= Constants::FCGI_REQUEST_TIMEOUT) {
            request.drop("no complete request in time", gen::LogLevel::DebugLight);
        }
    }
    if (mAcceptPaused && openConnections() >= Constants::FCGI_MAX_CONNECTIONS)
        closeIdlest(now);
    resumeAccepting();
}

void Fcgi::pauseAccepting() {
    if (mAcceptPaused)
        return;
    // Level-triggered: a listening socket left on the poll would report its queue again at once, for ever.
    mPoll.remove(mListenFd);
    mAcceptPaused = true;
    LOG(DebugLight, "Connections at their bound of %u: newcomers wait in the listen queue",
        Constants::FCGI_MAX_CONNECTIONS);
}

void Fcgi::resumeAccepting() {
    if (!mAcceptPaused || openConnections() >= Constants::FCGI_MAX_CONNECTIONS)
        return;
    mPoll.add(mListenFd, this, EPOLLIN);
    mAcceptPaused = false;
}

size_t Fcgi::openConnections() const {
    size_t open = 0;
    for (auto const& [id, connection] : mConnections)
        open += !connection.released;
    return open;
}

bool Fcgi::closeIdlest(std::chrono::steady_clock::time_point now) {
    Request* idlest = nullptr;
    for (auto const& [id, connection] : mConnections) {
        Request* request = connection.request.get();
        if (connection.released || request->handedOver() || request->streaming() ||
            request->queuedBytes() > 0)
            continue;
        if (!idlest || request->idleSince() < idlest->idleSince())
            idlest = request;
    }
    if (!idlest || now - idlest->idleSince() < Constants::FCGI_IDLE_GRACE)
        return false;
    idlest->drop("idle longest, its room taken by a new connection", gen::LogLevel::DebugLight);
    return true;
}

void Fcgi::cleanup() {
    std::vector<unsigned> released;
    released.swap(mReleased);
    for (unsigned id : released) {
        LOG(DebugMost, "REQUEST delete(%i)", id);
        auto found = mConnections.find(id);
        // Out of the map before it goes, as in the destructor.
        std::unique_ptr<Request> request = std::move(found->second.request);
        mConnections.erase(found);
    }
    resumeAccepting();
}
