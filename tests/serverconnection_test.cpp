#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "event_names_gen.h"
#include "failure.h"
#include "kmsg.h"
#include "process.h"
#include "serverconnection.h"

namespace {

using namespace std::chrono_literals;

struct Recorder : ServerConnection::EventHandler {
    std::vector<Notify> events;
    void handleEvent(Notify const& event) override { events.push_back(event); }
};

// Runs the loop until every recorder holds its count of events, or a second has passed.
void pump(EventPoll& poll, std::vector<std::pair<Recorder*, size_t>> const& want) {
    auto deadline = std::chrono::steady_clock::now() + 1s;
    auto done = [&] {
        for (auto& [recorder, count] : want)
            if (recorder->events.size() < count)
                return false;
        return true;
    };
    while (!done() && std::chrono::steady_clock::now() < deadline)
        poll.wait(10, false);
    poll.wait(20, false); // and a little more, for events that should not come
}

// The broker stand-in as a child process.
class Broker {
public:
    Broker() {
        pid = spawnProcess({BROKER_PATH});
        for (int i = 0; i < 200 && !ready(); ++i)
            std::this_thread::sleep_for(5ms);
    }
    ~Broker() { stop(); }
    int stop() {
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = 0;
        return status;
    }
    static bool ready() {
        sem_t* gate = sem_open(Constants::BROKER_START_GATE, 0);
        if (gate == SEM_FAILED)
            return false;
        sem_close(gate);
        struct stat status {};
        return stat(Constants::BROKER_SOCKET_PATH, &status) == 0;
    }

private:
    pid_t pid = 0;
};

// A raw client of the broker, for what a ServerConnection never does (not reading, cutting records).
int rawClient() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, Constants::BROKER_SOCKET_PATH);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

TEST(EventNames, AreLookedUpAndNeverReadPastTheTable) {
    EXPECT_STREQ(eventName(Notify{0, 0, 0}), "Invalid");
    EXPECT_STREQ(eventName(Notify{7, 0, 0}), "VarFocusTargetValueChanged");
    EXPECT_STREQ(eventName(Notify{819, 0, 0}), "Reserved819");
    EXPECT_STREQ(eventName(Notify{931, 0, 0}), "VarAppDofCalculationLogLevelChanged");
    EXPECT_STREQ(eventName(Notify{932, 0, 0}), "UnknownEvent");
    EXPECT_STREQ(eventName(Notify{0xffffffff, 0, 0}), "UnknownEvent");
}

TEST(ServerConnection, WithoutBrokerTheGateFailsAfterItsAttempts) {
    KmsgReader kmsg;
    EventPoll poll;
    std::string text = failure([&] { ServerConnection connection(poll); });
    EXPECT_NE(text.find("sem_open: No such file or directory"), std::string::npos) << text;
    EXPECT_TRUE(kmsg.waitFor("Waiting for server"));
}

TEST(ServerConnection, EventsReachSubscribersThePosterIncluded) {
    Broker broker;
    ASSERT_TRUE(Broker::ready());
    KmsgReader kmsg;
    EventPoll poll;
    ServerConnection poster(poll), listener(poll);
    EXPECT_TRUE(kmsg.waitFor("Connected after 0 attempts"));
    Recorder posted, heard;
    poster.setHandler(&posted);
    listener.setHandler(&heard);
    poster.subscribe(Notify{gen::Event::VarFocusTargetValueChanged, 0, 0});
    listener.subscribeAll();
    poll.wait(20, false);
    poster.postEvent(Notify{gen::Event::VarFocusTargetValueChanged, 1, 2});
    poster.postEvent(Notify{gen::Event::VarIrisTargetValueChanged, 3, 4});
    pump(poll, {{&posted, 1}, {&heard, 2}});
    ASSERT_EQ(posted.events.size(), 1u);
    EXPECT_EQ(posted.events[0].param2, 2u);
    ASSERT_EQ(heard.events.size(), 2u);
    EXPECT_EQ(heard.events[1].event, gen::Event::VarIrisTargetValueChanged);
    EXPECT_EQ(heard.events[1].param1, 3u);

    // Without a handler the event is named in the log and dropped.
    listener.setHandler(nullptr);
    poster.postEvent(Notify{7, 0, 0});
    pump(poll, {{&posted, 2}});
    EXPECT_EQ(posted.events.size(), 2u);
    EXPECT_TRUE(kmsg.waitFor("Unhandled event: VarFocusTargetValueChanged"));
}

TEST(ServerConnection, BrokerHangupClosesAndLaterPostsFail) {
    auto broker = std::make_unique<Broker>();
    EventPoll poll;
    ServerConnection connection(poll);
    EXPECT_GE(connection.getDescriptor(), 0);
    EXPECT_EQ(broker->stop(), 0) << "the broker ends cleanly on SIGTERM";
    EXPECT_FALSE(Broker::ready()) << "and removes its socket and gate";
    for (int i = 0; i < 10 && connection.getDescriptor() >= 0; ++i)
        poll.wait(20, false);
    EXPECT_EQ(connection.getDescriptor(), -1);
    EXPECT_NE(failure([&] {
                  connection.postEvent(Notify{7, 0, 0});
              }).find("Could not send message to server"),
              std::string::npos);
    connection.close(); // nothing left to close

    gServerConnection = nullptr;
    EXPECT_NE(failure([] {
                  postEvent(Notify{7, 0, 0});
              }).find("Trying to post event without server connection"),
              std::string::npos);
    gServerConnection = &connection;
    EXPECT_NE(failure([] {
                  postEvent(Notify{7, 0, 0});
              }).find("Could not send message to server"),
              std::string::npos);
    gServerConnection = nullptr;
}

TEST(ServerConnection, RecordsCutAnywhereStayInStep) {
    Broker broker;
    EventPoll poll;
    ServerConnection connection(poll);
    Recorder heard;
    connection.setHandler(&heard);
    connection.subscribeAll();
    int raw = rawClient();
    std::vector<Notify> sent;
    for (uint32_t i = 0; i < 300; ++i)
        sent.push_back(Notify{6 + i, i, ~i});
    // A subscribe message cut in the middle reaches the broker as well.
    Notify subscribe[2] = {{gen::Event::Subscribe, 0, 0}, {42, 0, 0}};
    auto* bytes = reinterpret_cast<char const*>(sent.data());
    size_t at = 0, step = 1;
    ASSERT_EQ(write(raw, subscribe, 17), 17);
    ASSERT_EQ(write(raw, reinterpret_cast<char*>(subscribe) + 17, 7), 7);
    while (at < sent.size() * sizeof(Notify)) {
        size_t n = std::min(step, sent.size() * sizeof(Notify) - at);
        ASSERT_EQ(write(raw, bytes + at, n), ssize_t(n));
        at += n;
        step = step * 7 % 31 + 1; // pieces of 1 to 31 bytes
        if (at % 5 == 0)
            poll.wait(0, false);
    }
    pump(poll, {{&heard, sent.size()}});
    ASSERT_EQ(heard.events.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(memcmp(&heard.events[i], &sent[i], sizeof(Notify)), 0) << "event " << i;
    // The raw client subscribed to 42 only: exactly one of them comes back.
    Notify back[4];
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(recv(raw, back, sizeof back, MSG_DONTWAIT), ssize_t(sizeof(Notify)));
    EXPECT_EQ(back[0].event, 42u);
    close(raw);
}

TEST(ServerConnection, ABrokerDropsAClientThatNeverReads) {
    Broker broker;
    KmsgReader kmsg;
    int sleeper = rawClient();
    Notify all{gen::Event::SubscribeAll, 0, 0};
    ASSERT_EQ(write(sleeper, &all, sizeof all), ssize_t(sizeof all));
    EventPoll poll;
    ServerConnection poster(poll);
    Recorder own;
    poster.setHandler(&own);
    std::vector<Notify> burst(4096, Notify{100, 0, 0});
    // Far more than the sleeper's socket and queue hold; the poster itself keeps reading.
    for (int i = 0; i < 400 && !kmsg.waitFor("dropped: it does not read its events", 0); ++i) {
        ASSERT_EQ(write(poster.getDescriptor(), burst.data(), burst.size() * sizeof(Notify)),
                  ssize_t(burst.size() * sizeof(Notify)));
        poll.wait(0, false);
    }
    EXPECT_TRUE(kmsg.waitFor("Client 1 dropped: it does not read its events"));
    EXPECT_TRUE(own.events.empty()) << "the poster did not subscribe";
    close(sleeper);
    // The broker goes on serving.
    ServerConnection late(poll);
    late.setHandler(&own);
    late.subscribeAll();
    poll.wait(20, false);
    poster.postEvent(Notify{9, 0, 0});
    // The tail of the burst may still be on its way to the late subscriber; only the new event counts.
    auto nines = [&] {
        return std::count_if(own.events.begin(), own.events.end(),
                             [](Notify const& e) { return e.event == 9; });
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (nines() == 0 && std::chrono::steady_clock::now() < deadline)
        poll.wait(10, false);
    EXPECT_EQ(nines(), 1);
}

} // namespace
