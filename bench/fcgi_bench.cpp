// Streaming a large answer as STDOUT records against a plain socket write of the same bytes, both to a local
// TCP client that reads and drops everything.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "eventpoll.h"
#include "fcgi.h"
#include "log.h"
#include "serveall.h"

namespace {

constexpr size_t ANSWER_SIZE = 64 << 20;
constexpr int PORT = 9000;             // in the sandbox, which owns it
constexpr size_t PIECE_SIZE = 4096;    // as the web API writes: many small pieces into output()
constexpr size_t CALL_SIZE = 64 << 10; // what a source prints in one call

// A connected TCP pair on loopback; a thread drains the client side until the server side closes.
struct Connection {
    int server = -1;
    int client = -1;
    std::thread drain;
    Connection() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        listen(listener, 1);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        server = accept(listener, nullptr, nullptr);
        // As the listener sets it on every connection: records leave as they are framed.
        int one = 1;
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        close(listener);
        drain = std::thread([fd = client] {
            static char buffer[1 << 16];
            while (recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
        });
    }
    ~Connection() {
        shutdown(server, SHUT_RDWR);
        close(server);
        drain.join();
        close(client);
    }
};

// The baseline, in sends of the argument's size: the pieces the answer is written in, the size of the records
// the flush threshold gives with those pieces (3 x 4096), and 64 KiB.
void plainWrite(benchmark::State& state) {
    Connection connection;
    size_t size = size_t(state.range(0));
    std::string const text(size, 'p');
    for (auto _ : state) {
        for (size_t done = 0; done < ANSWER_SIZE; done += size)
            if (send(connection.server, text.data(), size, MSG_NOSIGNAL) != ssize_t(size))
                state.SkipWithError("send failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations() * ANSWER_SIZE));
}

// The web server's side of the answer path: asks for one answer on a kept connection and reads records until
// END_REQUEST, dropping the content.
class Asker {
public:
    explicit Asker(int port) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        reader = std::thread([this] { readAnswers(); });
    }
    ~Asker() {
        shutdown(fd, SHUT_RDWR);
        reader.join();
        close(fd);
    }
    void ask() {
        done = false;
        // BEGIN_REQUEST (keep), empty PARAMS, empty STDIN.
        static unsigned char const records[] = {1, 1, 0, 1, 0, 8, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0,
                                                1, 4, 0, 1, 0, 0, 0, 0, 1, 5, 0, 1, 0, 0, 0, 0};
        send(fd, records, sizeof records, MSG_NOSIGNAL);
    }
    std::atomic<bool> done{false};

private:
    void readAnswers() {
        static char buffer[1 << 16];
        unsigned char header[8];
        size_t headerHave = 0;
        size_t skip = 0; // content and padding of the current record still to come
        for (;;) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n;) {
                if (skip > 0) {
                    size_t step = std::min(skip, size_t(n - i));
                    skip -= step;
                    i += ssize_t(step);
                    continue;
                }
                header[headerHave++] = static_cast<unsigned char>(buffer[i++]);
                if (headerHave < 8)
                    continue;
                headerHave = 0;
                skip = size_t(header[4] << 8 | header[5]) + header[6];
                if (header[1] == 3 && skip == 8) {
                    skip = 0;
                    i += 8; // the END_REQUEST body ends the answer; nothing follows it
                    done = true;
                }
            }
        }
    }
    int fd;
    std::thread reader;
};

void requestStream(benchmark::State& state) {
    static gen::LogLevel level = gen::LogLevel::Warn;
    gComponentLogLevel = &level;
    EventPoll poll;
    size_t const size = size_t(state.range(0));
    std::string const text(size, 'p');
    ServeAll writer([&](Request& request) {
        request.writeHeader("");
        size_t done = 0;
        // As a download would read it: 64 KiB a call, printed in pieces of the argument's size.
        request.streamFrom([&, done](Request& answer) mutable {
            for (size_t piece = 0; piece < CALL_SIZE; piece += size)
                answer.output().write(text.data(), std::streamsize(size));
            done += CALL_SIZE;
            return done < ANSWER_SIZE;
        });
    });
    Fcgi fcgi(PORT, poll, writer);
    Asker asker(PORT);
    for (auto _ : state) {
        asker.ask();
        while (!asker.done)
            poll.wait(10, true);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * ANSWER_SIZE));
}

BENCHMARK(plainWrite)
    ->Arg(PIECE_SIZE)
    ->Arg(12288)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();
BENCHMARK(requestStream)
    ->Arg(PIECE_SIZE)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
