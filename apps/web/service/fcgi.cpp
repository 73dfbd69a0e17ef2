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

Fcgi::Fcgi(int port, EventPoll& poll)
    : listenFd(-1), nextRequestId(0), poll(&poll), callback(nullptr), mQueuedBytes(0) {
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0)
        THROW_ERROR_NUMBER("socket");
    int one = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        int failure = errno;
        ::close(listenFd);
        listenFd = -1;
        errno = failure;
        THROW_ERROR_NUMBER("bind");
    }
    listen(listenFd, Constants::FCGI_LISTEN_BACKLOG);
    try {
        poll.add(listenFd, this, EPOLLIN);
    } catch (...) {
        ::close(listenFd);
        listenFd = -1;
        throw;
    }
}

Fcgi::Fcgi(EventPoll& poll) : listenFd(0), nextRequestId(0), poll(&poll), callback(nullptr), mQueuedBytes(0) {
    poll.add(listenFd, this, EPOLLIN);
}

Fcgi::~Fcgi() {
    if (listenFd >= 0) {
        try {
            if (!mAcceptPaused)
                poll->remove(listenFd);
        } catch (std::exception const&) {
        }
        ::close(listenFd);
        listenFd = -1;
    }
    for (auto const& entry : requests) {
        Request* request = entry.second;
        if (request->fd == -1 || request->mMarked || !request->handedOver()) // answered or gone
            continue;
        try {
            request->end();
        } catch (std::exception const&) {
            // already logged by the failing call; the remaining requests are still ended
        }
    }
    requests.clear();
    toDelete.clear();
    mConnections.clear();
}

void Fcgi::event(EventPoll::EventType type) {
    if (type == EventPoll::Hangup)
        return;
    if (openConnections() >= Constants::FCGI_MAX_CONNECTIONS &&
        !closeIdlest(std::chrono::steady_clock::now())) {
        pauseAccepting();
        return;
    }
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
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

    unsigned id = nextRequestId++;
    Request* request = new Request(this, fd, static_cast<int>(id));
    mConnections[id].reset(request);
    try {
        poll->add(fd, request, EPOLLIN);
    } catch (...) {
        mConnections.erase(id);
        throw;
    }
    request->mWatched = true;
}

Request* Fcgi::request(unsigned int id) const {
    auto found = requests.find(id);
    return found == requests.end() ? nullptr : found->second;
}

void Fcgi::addRequest(Request* request) {
    size_t held = 0;
    for (auto const& entry : requests)
        held += entry.second != request && entry.second->handedOver();
    if (held >= Constants::FCGI_MAX_REQUESTS && !(callback && callback->releaseHeld())) {
        LOG(Warn, "Connection not served: %zu requests registered, %zu connections open", held,
            mConnections.size());
        request->drop("no room for its request", gen::LogLevel::DebugLight);
        return;
    }
    requests[request->id] = request;
    if (callback)
        callback->handleRequest(request);
}

void Fcgi::removeRequest(Request* request) {
    // Marked once only: the descriptor number of a removed connection may already belong to a new one, and a
    // second entry would only earn a warning at cleanup.
    if (request->mMarked)
        return;
    unwatch(request);
    LOG(DebugMost, "REQUEST remove(%i)", request->id);
    toDelete.push_back(request->id);
    request->mMarked = true;
}

void Fcgi::unwatch(Request* request) {
    if (!request->mWatched)
        return;
    request->mWatched = false;
    poll->remove(request->fd);
}

void Fcgi::watchWritable(Request* request, bool on) {
    if (!request->mWatched || request->mWritable == on)
        return;
    poll->modify(request->fd, request, on ? EPOLLOUT : EPOLLIN);
    request->mWritable = on;
}

void Fcgi::queueChanged(Request* request, long long delta) {
    mQueuedBytes = size_t(static_cast<long long>(mQueuedBytes) + delta);
    if (delta <= 0)
        return;
    if (request->queuedBytes() > Constants::FCGI_MAX_QUEUED_PER_CONNECTION) {
        request->drop("answer queue over its bound");
        return;
    }
    if (mQueuedBytes <= Constants::FCGI_MAX_QUEUED_TOTAL)
        return;
    // The peer that holds the most is the one that reads least: it goes, not the one printing now.
    Request* largest = request;
    for (auto const& entry : mConnections)
        if (entry.second->queuedBytes() > largest->queuedBytes())
            largest = entry.second.get();
    largest->drop("answer queues of all connections over their bound");
}

void Fcgi::expire(std::chrono::steady_clock::time_point now) {
    for (auto const& entry : mConnections) {
        Request* request = entry.second.get();
        if (request->mMarked)
            continue;
        if (request->queuedBytes() > 0) {
            if (now - request->mLastProgress >= Constants::FCGI_WRITE_STALL_TIMEOUT)
                request->drop("peer read nothing for too long");
        } else if (request->handedOver() || request->mSource) {
            // the web API's to answer: held requests wait for their pass
        } else if (request->mIdleSince != std::chrono::steady_clock::time_point()) {
            if (now - request->mIdleSince >= Constants::FCGI_KEEP_IDLE_TIMEOUT)
                request->drop("idle after its answer", gen::LogLevel::DebugLight);
        } else if (now - request->mLastInput >= Constants::FCGI_REQUEST_TIMEOUT) {
            request->drop("no complete request in time", gen::LogLevel::DebugLight);
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
    poll->remove(listenFd);
    mAcceptPaused = true;
    LOG(DebugLight, "Connections at their bound of %u: newcomers wait in the listen queue",
        Constants::FCGI_MAX_CONNECTIONS);
}

void Fcgi::resumeAccepting() {
    if (!mAcceptPaused || openConnections() >= Constants::FCGI_MAX_CONNECTIONS)
        return;
    poll->add(listenFd, this, EPOLLIN);
    mAcceptPaused = false;
}

size_t Fcgi::openConnections() const {
    size_t open = 0;
    for (auto const& entry : mConnections)
        open += !entry.second->mMarked;
    return open;
}

bool Fcgi::closeIdlest(std::chrono::steady_clock::time_point now) {
    Request* idlest = nullptr;
    auto since = [](Request const* request) {
        return request->mIdleSince != std::chrono::steady_clock::time_point() ? request->mIdleSince
                                                                              : request->mLastInput;
    };
    for (auto const& entry : mConnections) {
        Request* request = entry.second.get();
        if (request->mMarked || request->handedOver() || request->mSource || request->queuedBytes() > 0)
            continue;
        if (!idlest || since(request) < since(idlest))
            idlest = request;
    }
    if (!idlest || now - since(idlest) < Constants::FCGI_IDLE_GRACE)
        return false;
    idlest->drop("idle longest, its room taken by a new connection", gen::LogLevel::DebugLight);
    return true;
}

void Fcgi::cleanup() {
    std::vector<unsigned> marked;
    marked.swap(toDelete);
    for (unsigned id : marked) {
        auto owned = mConnections.find(id);
        if (owned == mConnections.end()) {
            LOG(Warn, "Request %u no longer a valid request, though marked for deletion.", id);
            continue;
        }
        // A request whose peer left before it was complete was never registered; it is released all the same.
        requests.erase(id);
        LOG(DebugMost, "REQUEST delete(%i)", id);
        mConnections.erase(owned);
    }
    resumeAccepting();
}
