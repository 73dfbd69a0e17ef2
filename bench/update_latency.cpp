// Time from a posted change to the answer of every held update request. This program plays the device: it
// creates the blocks, starts the service, holds HELD update requests over FastCGI, then changes one variable
// through its setter (which posts the event) and waits for every answer; CHANGES times, each after a random
// pause so that the changes fall anywhere within the service's 100 ms pass. Runs in the device sandbox:
//
//   update_latency [CHANGES [HELD]]        defaults 1000 and 32

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <random>
#include <semaphore.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fcgi_client.h"
#include "gen_init.h"
#include "introspection.h"
#include "process.h"
#include "standin.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> sorted, double p) {
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size())))];
}

} // namespace

int main(int argc, char** argv) {
    int changes = argc > 1 ? atoi(argv[1]) : 1000;
    int held = argc > 2 ? atoi(argv[2]) : 32;

    pid_t broker = spawnProcess({BROKER_PATH});
    waitUntil(brokerReady);
    gen::mapBlocks(true);
    gServerConnection = new ServerConnection(gen::getEventPoll());
    uint32_t mem = Introspection::getMemIndex("MemPersistent");
    uint32_t var = Introspection::getVarIndex(mem, "FocusTorque");

    writeStandInFramebuffer("/dev/fb0", 64, 48, [](uint32_t, uint32_t) { return 0u; });
    pid_t service = spawnProcess({SERVICE_PATH});
    if (!waitUntil([] {
            int fd = fcgiclient::connectTo(9000);
            return fd >= 0 && close(fd) == 0;
        })) {
        fprintf(stderr, "the service did not start\n");
        return 1;
    }

    std::mt19937 random(1);
    std::vector<double> latencies;
    std::string request = fcgiclient::request(1, {{"SCRIPT_NAME", "/api/v1/update.cgi"}});
    int missing = 0;
    for (int change = 0; change < changes; ++change) {
        std::vector<int> fds;
        for (int i = 0; i < held; ++i) {
            // The listen backlog is 10: a burst beyond it waits for the kernel's SYN retry, a second.
            if (i % 8 == 7)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            int fd = fcgiclient::connectTo(9000);
            fcgiclient::sendAll(fd, request);
            fds.push_back(fd);
        }
        // Registered by the service well before the change, at a random phase of its pass.
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 100));
        auto start = Clock::now();
        Change set = Introspection::setVarValue(mem, var, std::to_string(1 + change % 4).c_str());
        if (set.changed)
            postEvent(set.notify);
        std::vector<pollfd> open;
        for (int fd : fds)
            open.push_back({fd, POLLIN, 0});
        while (!open.empty() && Clock::now() - start < std::chrono::seconds(2)) {
            if (::poll(open.data(), open.size(), 100) <= 0)
                continue;
            for (size_t i = 0; i < open.size();) {
                char buffer[65536];
                if (open[i].revents && read(open[i].fd, buffer, sizeof buffer) <= 0) {
                    // The service closes the connection once the answer is complete.
                    latencies.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                    close(open[i].fd);
                    open.erase(open.begin() + long(i));
                } else {
                    ++i;
                }
            }
        }
        missing += int(open.size());
        for (auto const& p : open)
            close(p.fd);
    }

    printf("changes %d, held requests %d, answers %zu, missing %d\n", changes, held, latencies.size(),
           missing);
    if (!latencies.empty())
        printf("latency ms: p50 %.1f  p90 %.1f  p99 %.1f  max %.1f\n", percentile(latencies, 50),
               percentile(latencies, 90), percentile(latencies, 99), percentile(latencies, 100));
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    gen::closeServerConnection();
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    return missing == 0 ? 0 : 1;
}
