// The running service against what would take a web interface down: bodies built to cost, peers that hold
// requests or connections, an endpoint that fails, a broker that stops reading, a log source that ends, a log
// that grows for months. Each case through the real path, in a sandbox of its own.

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "kernellog.h"
#include "kmsg.h"
#include "requesthandler.h"
#include "servicefixture.h"

namespace {

using namespace servicetest;

using Faults = Service;

TEST_F(Faults, SetBodiesCostWhatTheyWeighAndDeepOnesAreRefused) {
    startService();
    long before = statusKb(service, "VmHWM:");
    auto nested = [](size_t levels, std::string const& inner) {
        std::string opened;
        for (size_t i = 0; i < levels; ++i)
            opened += "{a:";
        return opened + inner + std::string(levels, '}');
    };
    std::string const deep = nested((1 << 20) / 4, "1");
    EXPECT_EQ(set(deep), R"({"result": 0, "error": "Body nested deeper than 16 levels." })");
    // Read level by level, keeping every level's text, it took hundreds of MiB; now about the body's size
    // (under AddressSanitizer its quarantine keeps what is freed).
#ifdef __SANITIZE_ADDRESS__
    long const bound = 128 * 1024;
#else
    long const bound = 16 * 1024;
#endif
    EXPECT_LT(statusKb(service, "VmHWM:") - before, bound);

    // Sixteen levels are still read; the value is the last pair's.
    std::string const wrapped = "{\"MemPersistent\": {\"FocusTorque\": " + nested(14, "3") + "}}";
    EXPECT_EQ(set(wrapped), SET_DONE);
    EXPECT_EQ(gMemPersistent->FocusTorque, 3);
    EXPECT_EQ(set("{a:" + wrapped + "}"), R"({"result": 0, "error": "Body nested deeper than 16 levels." })");
}

TEST_F(Faults, HeldRequestsAndIdleConnectionsMakeRoomForNewOnes) {
    startService();
    std::vector<pollfd> held;
    for (unsigned i = 0; i <= Constants::FCGI_MAX_REQUESTS; ++i)
        held.push_back({send({{"SCRIPT_NAME", "/api/v1/update.cgi"}}, "", i + 1), POLLIN, 0});
    // The 33rd held request answers the one held longest (that one alone), as if nothing new had come.
    ASSERT_EQ(::poll(held.data(), held.size(), 5000), 1);
    long answered = std::find_if(held.begin(), held.end(), [](pollfd p) { return p.revents; }) - held.begin();
    EXPECT_EQ(answerOf(std::exchange(held[size_t(answered)].fd, -1)).out,
              JSON_HEADER + "{\r\n\"id\": " + std::to_string(answered + 1) +
                  ",\r\n\"errors\": [],\r\n\"variables\": {\r\n}\r\n}\r\n");
    served();
    EXPECT_EQ(::poll(&held.back(), 1, 0), 0) << "the 33rd is held in its place, not closed";
    // Connections that never send anything, more than are kept open, do not shut out the browser either: once
    // they have idled past the grace, they give way.
    for (int i = 0; i < 300; ++i)
        held.push_back({fcgiclient::connectTo(9000), 0, 0});
    EXPECT_TRUE(contains(answerOf(send({{"SCRIPT_NAME", "/api/v1/none.cgi"}}), 20000).out, "Unknown script"));
    for (pollfd const& connection : held)
        close(connection.fd);
}

TEST_F(Faults, ABrokerThatStopsReadingStopsNeitherTheServiceNorItsEndpoints) {
    startService();
    KmsgReader log;
    kill(broker, SIGSTOP);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{broker};
    // Every set posts an event; the broker's socket fills after a few hundred, and the post that finds it
    // full fails after the send timeout, the later ones at once.
    for (int i = 0; i < 400; ++i)
        ASSERT_EQ(set("{MemPersistent: {FocusTorque: " + std::to_string(1 + i % 4) + "}}"), SET_DONE);
    EXPECT_TRUE(log.waitFor("Could not send message to server"));
    EXPECT_TRUE(contains(ask({{"SCRIPT_NAME", "/api/v1/all.cgi"}}), "\"FocusTorque\""));

    // An endpoint that fails on it (posting an upload's events) is answered with the failure.
    EXPECT_EQ(raw(UPLOAD, form({{"deviceid", "Hand unit-4100"}, {"file", "package"}})),
              SERVER_ERROR + JSON_HEADER + R"({"result": 0, "error": "Could not send message to server" })");
    EXPECT_TRUE(log.waitFor("to /voxapp/v1 failed: Could not send message to server"));
    served();
}

TEST_F(Faults, TheServiceTellsSystemdItIsReadyAndAlive) {
    int systemd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, "/tmp/notify"};
    ASSERT_EQ(bind(systemd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", address.sun_path, 1);
    setenv("WATCHDOG_USEC", "200000", 1);
    startService();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    for (char const* expected : {"READY=1", "WATCHDOG=1", "WATCHDOG=1"}) {
        pollfd ready{systemd, POLLIN, 0};
        char message[64] = {};
        ASSERT_EQ(::poll(&ready, 1, 5000), 1) << "no " << expected;
        ASSERT_GT(recv(systemd, message, sizeof message - 1, 0), 0);
        EXPECT_STREQ(message, expected);
    }
    close(systemd);
}

// The kernel log comes from a dmesg of the test's own, fed through a pipe: it grows for months, then ends.
TEST_F(Faults, TheKeptLogIsBoundedAndHeldLogRequestsAreAnsweredWhenItsSourceEnds) {
    ASSERT_EQ(mkfifo("/tmp/more-log", 0600), 0);
    script("/tmp/bin/dmesg", "exec cat /tmp/more-log");
    putOnPath("/tmp/bin");
    struct Source {
        int fd = open("/tmp/more-log", O_RDWR | O_CLOEXEC); // the service must not hold it open too
        ~Source() { close(fd); }
    } more;
    startService();
    std::string const HTML = Constants::LOG_HEADER;
    auto from = [](size_t offset) { return logFrom("offset=" + std::to_string(offset)); };
    auto log = [&](size_t offset) { return raw(from(offset)).substr(HTML.size()); };
    auto text = [](std::string const& answer) { return answer.substr(answer.find("\r\n") + 2); };
    std::string line = std::string(99, 'x') + '\n';
    size_t total = (Constants::LOG_KEPT_SIZE + 2 * Constants::LOG_TRIM_STEP) / line.size() * line.size();
    for (size_t written = 0; written < total; written += line.size()) {
        line.replace(0, 10, std::to_string(1000000000 + written / line.size()));
        ASSERT_EQ(::write(more.fd, line.data(), line.size()), ssize_t(line.size()));
    }
    // An offset past the end gets the whole kept log and its size line, never a held request.
    ASSERT_TRUE(waitUntil([&] { return std::stoul(log(total + 1)) == total; }, std::chrono::seconds(60)));
    std::string whole = log(0);
    std::string kept = text(whole);
    EXPECT_LE(kept.size(), Constants::LOG_KEPT_SIZE);
    EXPECT_GT(kept.size(), Constants::LOG_KEPT_SIZE - Constants::LOG_TRIM_STEP - line.size());
    EXPECT_EQ(kept.substr(kept.size() - line.size(), 10),
              std::to_string(1000000000 + total / line.size() - 1));
    EXPECT_EQ(kept.find("\n") + 1, line.size()) << "kept from the start of a line";
    EXPECT_EQ(log(1), whole) << "an offset older than what is kept gets the oldest kept";
    EXPECT_EQ(text(log(total - 150)), kept.substr(kept.size() - 150));

    // Up to date, a request is held until the log grows; once it cannot, it is answered with the size alone.
    int held = send(from(total));
    served();
    EXPECT_EQ(fcgiclient::receiveAvailable(held), "");
    close(more.fd);
    more.fd = -1;
    EXPECT_EQ(answerOf(held, 5000).out, HTML + std::to_string(total) + "\r\n");
    EXPECT_EQ(log(total), std::to_string(total) + "\r\n") << "no longer held once the log cannot grow";
}

} // namespace
