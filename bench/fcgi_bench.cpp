// Streaming a large answer as STDOUT records against a plain socket write of the same bytes, both to a local
// TCP client that reads and drops everything.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "eventpoll.h"
#include "fcgi.h"
#include "log.h"

namespace {

constexpr size_t ANSWER_SIZE = 64 << 20;
constexpr size_t PIECE_SIZE = 4096; // as the web API writes: many small pieces into output()

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

std::string const& piece() {
    static std::string const text(PIECE_SIZE, 'p');
    return text;
}

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

void requestStream(benchmark::State& state) {
    static gen::LogLevel level = gen::LogLevel::Warn;
    gComponentLogLevel = &level;
    EventPoll poll;
    Fcgi fcgi(0, poll); // any free port: only the answer path is measured
    Connection connection;
    for (auto _ : state) {
        int duplicate = dup(connection.server);
        Request request(&fcgi, duplicate, 0);
        request.writeHeader("");
        for (size_t done = 0; done < ANSWER_SIZE; done += PIECE_SIZE)
            request.output().write(piece().data(), PIECE_SIZE);
        request.end();
        request.fd = -1; // its destructor would shut the connection down for every later round
        close(duplicate);
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
BENCHMARK(requestStream)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
