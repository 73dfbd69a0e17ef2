#include "fcgi.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <set>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

Fcgi::Fcgi(int port, EventPoll& poll) : listenFd(-1), nextRequestId(0), poll(&poll), callback(nullptr) {
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

Fcgi::Fcgi(EventPoll& poll) : listenFd(0), nextRequestId(0), poll(&poll), callback(nullptr) {
    poll.add(listenFd, this, EPOLLIN);
}

Fcgi::~Fcgi() {
    if (listenFd >= 0) {
        try {
            poll->remove(listenFd);
        } catch (std::exception const&) {
        }
        ::close(listenFd);
        listenFd = -1;
    }
    for (auto const& entry : requests) {
        Request* request = entry.second;
        if (request->fd == -1 || request->marked)
            continue;
        try {
            request->end();
        } catch (std::exception const&) {
            // already logged by the failing call; the remaining requests are still ended
        }
    }
    std::set<Request*> owned;
    for (auto const& entry : requests)
        owned.insert(entry.second);
    for (auto const& entry : connections)
        owned.insert(entry.second);
    requests.clear();
    connections.clear();
    toDelete.clear();
    for (Request* request : owned) {
        try {
            unwatch(request);
        } catch (std::exception const&) {
        }
        delete request;
    }
}

void Fcgi::event(EventPoll::EventType type) {
    if (type == EventPoll::Hangup)
        return;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
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
    if (requests.size() >= Constants::FCGI_MAX_REQUESTS ||
        connections.size() >= Constants::FCGI_MAX_CONNECTIONS) {
        // Left open, the web server would wait on it for its whole timeout; closed, it can answer at once.
        LOG(Warn, "Connection not served: %zu requests registered, %zu connections open", requests.size(),
            connections.size());
        ::close(fd);
        return;
    }
    // Writes block, but a peer that stops reading must not hold the whole service (Request gives it up).
    // Records leave whole in one write each; waiting to fill segments would only delay them.
    timeval timeout = {0, Constants::FCGI_SEND_WAIT_MS * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // fails harmlessly on a Unix-domain socket

    unsigned id = nextRequestId++;
    auto* request = new Request(this, fd, static_cast<int>(id));
    connections[id] = request;
    try {
        poll->add(fd, request, EPOLLIN);
    } catch (...) {
        connections.erase(id);
        delete request;
        throw;
    }
    request->watched = true;
}

Request* Fcgi::request(unsigned int id) const {
    auto found = requests.find(id);
    return found == requests.end() ? nullptr : found->second;
}

void Fcgi::addRequest(Request* request) {
    requests[request->id] = request;
    if (callback)
        callback->handleRequest(request);
}

void Fcgi::removeRequest(Request* request) {
    // Marked once only: the descriptor number of a removed connection may already belong to a new one, and a
    // second entry would only earn a warning at cleanup.
    if (request->marked)
        return;
    unwatch(request);
    LOG(DebugMost, "REQUEST remove(%i)", request->id);
    toDelete.push_back(request->id);
    request->marked = true;
}

void Fcgi::unwatch(Request* request) {
    if (!request->watched)
        return;
    request->watched = false;
    poll->remove(request->fd);
}

void Fcgi::cleanup() {
    std::vector<unsigned> marked;
    marked.swap(toDelete);
    for (unsigned id : marked) {
        auto registered = requests.find(id);
        auto accepted = connections.find(id);
        if (registered == requests.end() && accepted == connections.end()) {
            LOG(Warn, "Request %u no longer a valid request, though marked for deletion.", id);
            continue;
        }
        // A request whose peer left before it was complete was never registered; it is released all the same.
        Request* request = registered != requests.end() ? registered->second : nullptr;
        Request* owned = accepted != connections.end() ? accepted->second : nullptr;
        if (registered != requests.end())
            requests.erase(registered);
        if (accepted != connections.end())
            connections.erase(accepted);
        LOG(DebugMost, "REQUEST delete(%i)", id);
        delete request;
        if (owned != request)
            delete owned;
    }
}
