// Events per second from one posting client through the broker stand-in into a ServerConnection whose handler
// counts them, against the same records sent over a socket pair straight into a reading loop (no broker).
// Run inside the sandbox (the broker's socket and gate live in its /var and /dev/shm):
//   sim/sandbox --ro build/release -- build/release/bench/dataplane_bench
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "log.h"
#include "serverconnection.h"

namespace {

constexpr int BATCH = 256;

struct Counter : ServerConnection::EventHandler {
    long count = 0;
    void handleEvent(Notify const&) override { ++count; }
};

pid_t startBroker() {
    pid_t pid = fork();
    if (pid == 0) {
        execl(BROKER_PATH, "message-broker", nullptr);
        _exit(127);
    }
    for (int i = 0; i < 400; ++i) {
        sem_t* gate = sem_open(Constants::BROKER_START_GATE, 0);
        if (gate != SEM_FAILED) {
            sem_close(gate);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pid;
}

void BM_ThroughBroker(benchmark::State& state) {
    pid_t broker = startBroker();
    {
        EventPoll poll;
        ServerConnection receiver(poll), poster(poll);
        Counter counter;
        receiver.setHandler(&counter);
        receiver.subscribeAll();
        std::vector<Notify> batch(BATCH, Notify{100, 1, 2});
        long sent = 0;
        for (auto _ : state) {
            if (write(poster.getDescriptor(), batch.data(), sizeof(Notify) * BATCH) !=
                ssize_t(sizeof(Notify) * BATCH))
                state.SkipWithError("post failed");
            sent += BATCH;
            // Keep at most a few batches in flight, as a steady poster would.
            while (counter.count < sent - 4 * BATCH)
                poll.wait(10, false);
        }
        while (counter.count < sent)
            poll.wait(10, false);
        state.SetItemsProcessed(counter.count);
    }
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
}

void BM_SocketPairBaseline(benchmark::State& state) {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    std::vector<Notify> batch(BATCH, Notify{100, 1, 2});
    Notify in[BATCH];
    Counter counter;
    long received = 0;
    for (auto _ : state) {
        if (write(pair[0], batch.data(), sizeof(Notify) * BATCH) != ssize_t(sizeof(Notify) * BATCH))
            state.SkipWithError("write failed");
        int got = 0;
        while (got < BATCH) {
            int n = readEvents(pair[1], in, BATCH - got);
            for (int i = 0; i < n; ++i)
                counter.handleEvent(in[i]);
            got += n;
        }
        received += got;
    }
    state.SetItemsProcessed(received);
    close(pair[0]);
    close(pair[1]);
}

BENCHMARK(BM_SocketPairBaseline)->MinTime(2)->UseRealTime();
BENCHMARK(BM_ThroughBroker)->MinTime(2)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    static gen::LogLevel quiet = gen::LogLevel::Warn;
    gComponentLogLevel = &quiet;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
}
