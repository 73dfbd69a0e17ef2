// Broker byte streams cut at points the input chooses: whatever the cuts, the connection must hand on exactly
// the whole records of the stream, in order. Input: a cut table (first byte: count n, then n piece lengths),
// then the stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <semaphore.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "log.h"
#include "serverconnection.h"

namespace {

struct Collector : ServerConnection::EventHandler {
    std::string bytes;
    void handleEvent(Notify const& event) override {
        bytes.append(reinterpret_cast<char const*>(&event), 12);
    }
};

int listener() {
    static int fd = [] {
        unlink(Constants::BROKER_SOCKET_PATH);
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, Constants::BROKER_SOCKET_PATH);
        if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0)
            abort();
        sem_unlink(Constants::BROKER_START_GATE);
        sem_open(Constants::BROKER_START_GATE, O_CREAT, 0666, 1);
        static gen::LogLevel quiet = gen::LogLevel::Error;
        gComponentLogLevel = &quiet;
        return s;
    }();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size == 0)
        return 0;
    size_t cuts = data[0] % 16;
    if (size < 1 + cuts)
        return 0;
    std::vector<size_t> pieces(data + 1, data + 1 + cuts);
    std::string stream(reinterpret_cast<char const*>(data) + 1 + cuts, size - 1 - cuts);

    static EventPoll poll;
    int server = listener();
    ServerConnection connection(poll);
    int peer = accept(server, nullptr, nullptr);
    Collector collector;
    connection.setHandler(&collector);
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        size_t n = std::min(stream.size() - at, i < pieces.size() && pieces[i] ? pieces[i] : stream.size());
        if (write(peer, stream.data() + at, n) != ssize_t(n))
            abort();
        at += n;
        // Reads as readiness reports them, until the piece is taken (a read takes at most 256 records).
        while (poll.wait(0, false) == EventPoll::DISPATCHED) {
        }
    }
    size_t whole = stream.size() / 12 * 12;
    if (collector.bytes != stream.substr(0, whole))
        abort();
    close(peer);
    connection.close();
    return 0;
}
