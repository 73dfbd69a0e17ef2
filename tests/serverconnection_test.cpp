#include <algorithm>
#include <array>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "event_names_gen.h"
#include "failure.h"
#include "kmsg.h"
#include "process.h"
#include "serverconnection.h"
#include "setvariable.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

struct Recorder : ServerConnection::EventHandler {
    explicit Recorder(ServerConnection& connection) { connection.setHandler(this); }
    std::vector<std::string> events; // "name param1 param2" of all but the probes
    bool probed = false;             // a probe (Invalid) came
    void handleEvent(Notify const& event) override {
        if (event.event == gen::Event::Invalid)
            probed = true;
        else
            events.push_back(eventName(event) + (" " + std::to_string(event.param1)) + " " +
                             std::to_string(event.param2));
    }
};

// Runs the loop until every recorder holds its count of events, or a second has passed, and a little more for
// events that should not come.
void pump(EventPoll& poll, std::vector<std::pair<Recorder*, size_t>> const& want) {
    waitUntil(
        [&] {
            poll.wait(10, false);
            return std::all_of(want.begin(), want.end(),
                               [](auto const& w) { return w.first->events.size() >= w.second; });
        },
        1s);
    poll.wait(20, false);
}

// The broker stand-in as a child process, ready once constructed.
struct Broker {
    pid_t pid = spawnProcess({BROKER_PATH});
    Broker() { EXPECT_TRUE(waitUntil(brokerReady)); }
    ~Broker() { pid > 0 && stopProcess(pid); }
};

TEST(EventNames, AreLookedUpAndNeverReadPastTheTable) {
    EXPECT_STREQ(eventName(Notify{7, 0, 0}), "VarFocusTargetValueChanged");
    EXPECT_STREQ(eventName(Notify{931, 0, 0}), "VarAppDofCalculationLogLevelChanged");
    EXPECT_STREQ(eventName(Notify{932, 0, 0}), "UnknownEvent");
    EXPECT_STREQ(eventName(Notify{0xffffffff, 0, 0}), "UnknownEvent");
}

TEST(ServerConnection, EventsReachSubscribersThePosterIncluded) {
    Broker broker;
    KmsgReader kmsg;
    EventPoll poll;
    ServerConnection poster(poll), listener(poll);
    EXPECT_TRUE(kmsg.waitFor("Connected after 0 attempts"));
    Recorder posted(poster), heard(listener);
    poster.subscribe(Notify{gen::Event::VarFocusTargetValueChanged, 0, 0});
    listener.subscribeAll();
    // The broker reads its clients in any order: probe until the listener's subscription holds.
    ASSERT_TRUE(waitUntil([&] {
        poster.postEvent(Notify{gen::Event::Invalid, 0, 0});
        return poll.wait(10, false), heard.probed;
    }));
    poster.postEvent(Notify{gen::Event::VarFocusTargetValueChanged, 1, 2});
    poster.postEvent(Notify{gen::Event::VarIrisTargetValueChanged, 3, 4});
    pump(poll, {{&posted, 1}, {&heard, 2}});
    EXPECT_EQ(posted.events, Strings{"VarFocusTargetValueChanged 1 2"});
    EXPECT_EQ(heard.events, (Strings{"VarFocusTargetValueChanged 1 2", "VarIrisTargetValueChanged 3 4"}));

    // Without a handler the event is named in the log and dropped.
    listener.setHandler(nullptr);
    poster.postEvent(Notify{7, 0, 0});
    pump(poll, {{&posted, 2}});
    EXPECT_EQ(posted.events.size(), 2u);
    EXPECT_TRUE(kmsg.waitFor("Unhandled event: VarFocusTargetValueChanged"));
}

TEST(ServerConnection, ABrokerGoneFailsPostsUntilItIsBackAndHearsTheSubscriptionsAnew) {
    auto broker = std::make_unique<Broker>();
    KmsgReader kmsg;
    EventPoll poll;
    ServerConnection connection(poll), listener(poll);
    Recorder heard(connection), all(listener);
    connection.subscribe(Notify{gen::Event::VarFocusTargetValueChanged, 0, 0});
    listener.subscribeAll();
    broker.reset();
    auto connected = [&] { return connection.getDescriptor() >= 0 && listener.getDescriptor() >= 0; };
    EXPECT_TRUE(waitUntil([&] { return poll.wait(20, false), connection.getDescriptor() == -1; }, 1s));
    EXPECT_TRUE(kmsg.waitFor("Broker connection lost, connecting again every 200 ms"));
    std::string const lost = "Could not send message to server";
    EXPECT_TRUE(raises([&] { connection.postEvent(Notify{7, 0, 0}); }, lost));
    gServerConnection = nullptr;
    auto post = [] { postEvent(Notify{7, 0, 0}); };
    EXPECT_TRUE(raises(post, "Trying to post event without server connection"));
    gServerConnection = &connection;
    EXPECT_TRUE(raises(post, lost));
    gServerConnection = nullptr;
    // The gate is gone with the broker.
    EXPECT_TRUE(raises([&] { ServerConnection again(poll); }, "sem_open: No such file or directory"));

    broker = std::make_unique<Broker>();
    ASSERT_TRUE(waitUntil([&] { return poll.wait(20, false), connected(); }, 5s));
    EXPECT_TRUE(kmsg.waitFor("Broker connected again after"));
    // Each told the broker again what it subscribed to: the one event, and everything. The broker reads its
    // clients in any order: probe until the listener's hold; the poster's own come before its posts.
    ASSERT_TRUE(waitUntil([&] {
        connection.postEvent(Notify{gen::Event::Invalid, 0, 0});
        return poll.wait(10, false), all.probed;
    }));
    connection.postEvent(Notify{gen::Event::VarFocusTargetValueChanged, 1, 2});
    connection.postEvent(Notify{gen::Event::VarIrisTargetValueChanged, 3, 4});
    pump(poll, {{&heard, 1}, {&all, 2}});
    EXPECT_EQ(heard.events, Strings{"VarFocusTargetValueChanged 1 2"});
    EXPECT_EQ(all.events, (Strings{"VarFocusTargetValueChanged 1 2", "VarIrisTargetValueChanged 3 4"}));

    // Closed by its owner, a connection stays closed whatever the broker does.
    connection.close();
    broker.reset();
    broker = std::make_unique<Broker>();
    EXPECT_TRUE(waitUntil([&] { return poll.wait(20, false), listener.getDescriptor() >= 0; }, 5s));
    EXPECT_EQ(connection.getDescriptor(), -1);
}

TEST(ServerConnection, AReadInterruptedByTheTimersSignalIsNoError) {
    Broker broker;
    runInChild([] {
        EventPoll poll;
        ServerConnection connection(poll);
        poll.setTimer(20); // its alarm ends the read below, which finds nothing yet
        EXPECT_NO_THROW(connection.event(EventPoll::Read));
        EXPECT_GE(connection.getDescriptor(), 0);
    });
}

TEST(SetVariable, PostsOnlyChangesAndATextCutToItsRoomEachTime) {
    Broker broker;
    EventPoll poll;
    ServerConnection connection(poll);
    Recorder heard(connection);
    connection.subscribeAll();
    gServerConnection = &connection;
    std::array<char, 64> label{};
    for (size_t length : {70, 70, 63})
        setVariable(label, Notify{7, 0, 1}, std::string(length, 'x').c_str());
    int32_t value = 0;
    for (int32_t next : {0, 5, 5})
        setVariable(value, Notify{7, 0, 2}, next);
    gServerConnection = nullptr;
    pump(poll, {{&heard, 3}});
    EXPECT_EQ(std::string(label.data()), std::string(63, 'x'));
    EXPECT_EQ(value, 5);
    EXPECT_EQ(heard.events, (Strings{"VarFocusTargetValueChanged 0 1", "VarFocusTargetValueChanged 0 1",
                                     "VarFocusTargetValueChanged 0 2"}));
}

} // namespace
