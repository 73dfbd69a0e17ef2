// Stands in for the device's message broker on a machine without one: a Unix stream socket of 12-byte event
// records, a start-gate semaphore that lets clients connect one at a time, and delivery of every posted event
// to every client subscribed to it (the poster too, when it subscribed).
//
// It never waits for a client: records go out with non-blocking writes, what a client's socket does not take
// waits in a bounded queue of its own, and a client whose queue overflows is dropped with one log line.
//
//   message-broker [--log-level LEVEL]     LEVEL one of LogLevel's names; LogLight when not given
//
// It starts before any block exists, so unlike the device's other programs it takes its level as an option.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <semaphore.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "event_names_gen.h"
#include "eventpoll.h"
#include "log.h"
#include "notify.h"
#include "serverconnection.h"

namespace {

constexpr std::size_t RECORD = sizeof(Notify);
constexpr std::size_t QUEUE_LIMIT = 4u << 20; // about 350 000 events a client may lag behind

class Broker;

class Client final : public EventPoll::Callback {
public:
    Client(Broker& broker, int fd, unsigned number) : broker(broker), fd(fd), number(number) {}
    ~Client() { ::close(fd); }
    void event(EventPoll::EventType type) override;
    void take(char const* bytes, std::size_t length);

    bool wants(uint32_t id) const { return !dead && (all || (id < subscribed.size() && subscribed[id])); }
    // Queued until the read that brought it is processed, so that a burst leaves in one write per client.
    // False when the client has fallen too far behind.
    bool deliver(Notify const& notify) {
        if (queue.size() + RECORD > QUEUE_LIMIT)
            return false;
        queue.append(reinterpret_cast<char const*>(&notify), RECORD);
        return true;
    }
    void flush() {
        while (!queue.empty()) {
            ssize_t n = ::send(fd, queue.data(), queue.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    queue.clear();
                return;
            }
            queue.erase(0, std::size_t(n));
        }
    }
    bool pending() const { return !queue.empty(); }

    Broker& broker;
    int fd;
    unsigned number;
    std::vector<bool> subscribed = std::vector<bool>(EVENT_NAME_SIZE);
    bool all = false;
    bool dead = false; // dropped or disconnected; destroyed by the next reap
    std::string input; // bytes of a message that a read cut
    std::string queue; // records the socket has not taken yet
};

class Broker final : public EventPoll::Callback {
public:
    explicit Broker(EventPoll& poll) : poll(poll) {
        unlink(Constants::BROKER_SOCKET_PATH); // a socket left by a broker that died
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0)
            THROW_ERROR_NUMBER("socket");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, Constants::BROKER_SOCKET_PATH, sizeof address.sun_path - 1);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            THROW_ERROR_NUMBER("bind");
        chmod(Constants::BROKER_SOCKET_PATH, 0666);
        if (listen(listener, 64) != 0)
            THROW_ERROR_NUMBER("listen");
        poll.add(listener, this, EPOLLIN);
        // The gate opens only once the socket listens: a client that passes it can connect at once.
        sem_unlink(Constants::BROKER_START_GATE);
        mode_t mask = umask(0);
        gate = sem_open(Constants::BROKER_START_GATE, O_CREAT | O_EXCL, 0666, 1);
        umask(mask);
        if (gate == SEM_FAILED)
            THROW_ERROR_NUMBER("sem_open");
        LOG(LogLight, "Broker ready on %s", Constants::BROKER_SOCKET_PATH);
    }
    ~Broker() {
        for (auto& entry : clients)
            retire(*entry.second);
        clients.clear();
        poll.remove(listener);
        ::close(listener);
        unlink(Constants::BROKER_SOCKET_PATH);
        sem_close(gate);
        sem_unlink(Constants::BROKER_START_GATE);
        LOG(LogLight, "Broker stopped");
    }

    void event(EventPoll::EventType) override {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return; // the client gave up meanwhile
        reap();     // a descriptor number of a retired client may come back now
        auto client = std::make_unique<Client>(*this, fd, ++clientCount);
        poll.add(fd, client.get(), EPOLLIN);
        LOG(DebugLight, "Client %u connected", clientCount);
        clients[fd] = std::move(client);
    }

    // Clients are destroyed only between dispatches, so that a client that routes an event may drop itself.
    void drop(Client& client, char const* why) {
        LOG(Warn, "Client %u dropped: %s", client.number, why);
        retire(client);
    }
    void disconnect(Client& client) {
        LOG(DebugLight, "Client %u disconnected", client.number);
        retire(client);
    }
    void reap() {
        for (auto it = clients.begin(); it != clients.end();)
            it = it->second->dead ? clients.erase(it) : std::next(it);
    }

    void route(Notify const& notify) {
        std::vector<Client*> lagging;
        for (auto& entry : clients)
            if (entry.second->wants(notify.event) && !entry.second->deliver(notify))
                lagging.push_back(entry.second.get());
        for (Client* client : lagging)
            drop(*client, "it does not read its events");
    }

    bool flush() {
        reap();
        bool pending = false;
        for (auto& entry : clients) {
            entry.second->flush();
            pending = pending || entry.second->pending();
        }
        return pending;
    }

private:
    void retire(Client& client) {
        if (client.dead)
            return;
        client.dead = true;
        poll.remove(client.fd);
    }

    EventPoll& poll;
    int listener = -1;
    sem_t* gate = SEM_FAILED;
    std::map<int, std::unique_ptr<Client>> clients;
    unsigned clientCount = 0;
};

void Client::event(EventPoll::EventType type) {
    char bytes[RECORD * 256];
    for (;;) {
        ssize_t n = ::read(fd, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Without a hang-up an empty read is the end of the stream; with one, all it left has been taken.
            if (n == 0 || type == EventPoll::Hangup)
                broker.disconnect(*this);
            return;
        }
        take(bytes, std::size_t(n));
        broker.flush();
        if (dead || type != EventPoll::Hangup)
            return;
    }
}

void Client::take(char const* bytes, std::size_t length) {
    input.append(bytes, length);
    std::size_t at = 0;
    while (!dead && input.size() - at >= RECORD) {
        Notify notify;
        memcpy(&notify, input.data() + at, RECORD);
        if (notify.event == gen::Event::Subscribe || notify.event == gen::Event::Unsubscribe) {
            if (input.size() - at < 2 * RECORD)
                break; // the event it names is still to come
            Notify target;
            memcpy(&target, input.data() + at + RECORD, RECORD);
            if (target.event < subscribed.size())
                subscribed[target.event] = notify.event == gen::Event::Subscribe;
            at += 2 * RECORD;
            continue;
        }
        at += RECORD;
        if (notify.event == gen::Event::SubscribeAll)
            all = true;
        else if (notify.event == gen::Event::UnsubscribeAll)
            all = false, subscribed.assign(subscribed.size(), false);
        else
            broker.route(notify);
    }
    input.erase(0, at);
}

// The level named, or false for a name that is none.
bool parseLevel(char const* name, gen::LogLevel& level) {
    static char const* const NAMES[] = {"DebugAll", "DebugMost", "DebugLight", "LogAll",
                                        "LogMost",  "LogLight",  "Warn",       "Error"};
    for (int i = 0; i < 8; ++i)
        if (strcmp(name, NAMES[i]) == 0) {
            level = gen::LogLevel(i);
            return true;
        }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    static gen::LogLevel level = gen::LogLevel::LogLight;
    bool named = argc == 3 && strcmp(argv[1], "--log-level") == 0 && parseLevel(argv[2], level);
    if (argc != 1 && !named) {
        fprintf(stderr,
                "usage: message-broker [--log-level DebugAll|DebugMost|DebugLight|LogAll|LogMost|LogLight|"
                "Warn|Error]\n");
        return 2;
    }
    gComponentLogLevel = &level;
    try {
        EventPoll poll;
        Broker broker(poll);
        bool pending = false;
        while (poll.wait(pending ? 1 : 1000, false) != EventPoll::TERMINATE)
            pending = broker.flush();
    } catch (std::exception const&) {
        return 1; // already logged
    }
    return 0;
}
