#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "eventpoll.h"
#include "failure.h"
#include "kmsg.h"
#include "process.h"

namespace {

struct Pipe {
    int ends[2] = {-1, -1};
    int &read = ends[0], &write = ends[1];
    Pipe() { EXPECT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0); }
    ~Pipe() { closeRead(), closeWrite(); }
    void put(char const* text) const { EXPECT_GT(::write(write, text, strlen(text)), 0); }
    void closeRead() { read >= 0 && ::close(read), read = -1; }
    void closeWrite() { write >= 0 && ::close(write), write = -1; }
};

// Records what it was called with, then does what it is told.
struct Recorder : EventPoll::Callback {
    std::vector<EventPoll::EventType> calls;
    std::function<void()> action;
    void event(EventPoll::EventType type) override {
        calls.push_back(type);
        if (action)
            action();
    }
};

using Types = std::vector<EventPoll::EventType>;
using Strings = std::vector<std::string>;

// Whether the process sleeps, as it does once it blocks in epoll_wait.
bool sleeping(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string const stat((std::istreambuf_iterator<char>(in)), {});
    size_t name = stat.rfind(')'); // the state follows the program name, which may hold anything
    return name != std::string::npos && stat.compare(name + 1, 2, " S") == 0;
}

TEST(EventDispatch, EachReadyDescriptorGetsTheEventItsFlagsRankFirst) {
    EventPoll poll;
    Pipe readable, hungUp, broken, unclaimed;
    Recorder read, hangup, error;
    // Ready first, so that the others show that the loop goes on after it.
    poll.add(unclaimed.read, nullptr, EPOLLIN);
    unclaimed.put("x");
    poll.add(readable.read, &read, EPOLLIN);
    poll.add(hungUp.read, &hangup, EPOLLIN);
    poll.add(broken.write, &error, EPOLLIN); // without reader it reports EPOLLERR, which nobody asked for
    readable.put("x");
    hungUp.put("data");
    hungUp.closeWrite();
    broken.closeRead();
    KmsgReader kmsg;
    EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
    EXPECT_EQ(read.calls, Types{EventPoll::Read});
    EXPECT_EQ(hangup.calls, Types{EventPoll::Hangup}) << "input with hangup is only a hangup";
    EXPECT_TRUE(error.calls.empty());
    char trace[80];
    snprintf(trace, sizeof trace, "Call    client %p for events %08x", static_cast<void*>(&error), EPOLLERR);
    bool traced = false, warned = false;
    for (auto const& record : kmsg.records()) {
        traced |= record.message == trace;
        warned |= record.level == "Warn        " && record.message == "Unhandled event: 00000001";
    }
    EXPECT_TRUE(traced) << "an error alone calls nothing but is traced";
    EXPECT_TRUE(warned) << "an event without callback is warned, and the loop goes on";
}

TEST(EventDispatch, ExceptionInCallbackLeavesWaitAtOnce) {
    EventPoll poll;
    Pipe a, b;
    Recorder ra, rb;
    ra.action = rb.action = [] { throw std::runtime_error("callback failed"); };
    poll.add(a.read, &ra, EPOLLIN);
    poll.add(b.read, &rb, EPOLLIN);
    a.put("x");
    b.put("x");
    EXPECT_THROW(poll.wait(1000, true), std::runtime_error);
    EXPECT_EQ(ra.calls.size() + rb.calls.size(), 1u);
}

TEST(EventRegistration, AddAndRemoveAreTracedFailuresThrowWithTheirTextsAndAClosedPollRefuses) {
    EventPoll poll;
    Pipe p;
    Recorder r;
    KmsgReader kmsg;
    poll.add(p.read, &r, EPOLLIN);
    poll.remove(p.read);
    char added[64], removed[64];
    snprintf(added, sizeof added, "Add new client %i/%p", p.read, static_cast<void*>(&r));
    snprintf(removed, sizeof removed, "Remove  client %i", p.read);
    EXPECT_EQ(kmsg.messages(), (Strings{added, removed}));
    p.put("x");
    EXPECT_EQ(poll.wait(0, true), EventPoll::TIMEOUT);
    EXPECT_TRUE(raises([&] { poll.add(-1, &r, EPOLLIN); }, "epoll_ctl: Bad file descriptor"));
    EXPECT_THROW(poll.remove(p.read), std::runtime_error) << "no longer registered";

    // Closed, add and wait are refused with where they were called; remove and close again do nothing.
    poll.close();
    for (auto const& [text, expected] :
         {std::pair{failure([&] { poll.add(p.read, &r, EPOLLIN); }),
                    "add called on an already closed handle"},
          {failure([&] { poll.wait(0, true); }), "wait called on an already closed handle"}}) {
        EXPECT_NE(text.find(expected), std::string::npos) << text;
        EXPECT_EQ(text.find("       eventpoll.cpp:"), 0u) << text;
    }
    KmsgReader quiet;
    poll.remove(p.read);
    poll.close();
    EXPECT_TRUE(quiet.records().empty());
}

TEST(EventSignals, TerminationIsLoggedOnceAndEndsEveryWaitThatDoesNotIgnoreIt) {
    runInChild([] {
        EventPoll poll;
        Pipe p;
        Recorder r;
        r.action = [&p] {
            char byte; // takes what was put, so that the pipe is not ready again
            EXPECT_EQ(read(p.read, &byte, 1), 1);
            raise(SIGALRM);
        };
        poll.add(p.read, &r, EPOLLIN);
        p.put("x");
        KmsgReader kmsg;
        raise(SIGTERM);
        raise(SIGINT);
        EXPECT_EQ(poll.wait(10000, false), EventPoll::TERMINATE);
        EXPECT_EQ(poll.wait(0, false), EventPoll::TERMINATE) << "the request stays";
        EXPECT_EQ(kmsg.messages(), (Strings{"SIG 2: Interrupt", "SIG 15: Terminated"}))
            << "logged by the first wait, though it ends at once, in signal order, and only once";
        EXPECT_TRUE(EventPoll::shouldTerminate());
        // Ignored, the request lets the wait dispatch; an alarm during the dispatch is reported after it.
        EXPECT_EQ(poll.wait(1000, true), EventPoll::TIMER_EXPIRED);
        EXPECT_EQ(r.calls, Types{EventPoll::Read});
        EXPECT_EQ(poll.wait(0, true), EventPoll::TIMEOUT) << "the alarm was taken";
        EXPECT_EQ(poll.wait(0, false), EventPoll::TERMINATE)
            << "and the request stays after waits ignoring it";

        p.closeRead();
        EXPECT_LT(write(p.write, "x", 1), 0) << "SIGPIPE is ignored";
        EXPECT_EQ(errno, EPIPE);
    });
}

TEST(EventSignals, ASignalFromOutsideEndsABlockedWait) {
    struct Case {
        int signal, result, next;
        Strings logged;
    };
    for (auto const& c : {Case{SIGTERM, EventPoll::INTERRUPTED, EventPoll::TERMINATE, {"SIG 15: Terminated"}},
                          Case{SIGINT, EventPoll::INTERRUPTED, EventPoll::TERMINATE, {"SIG 2: Interrupt"}},
                          Case{SIGALRM, EventPoll::TIMER_EXPIRED, EventPoll::TIMEOUT, {}}}) {
        SCOPED_TRACE(strsignal(c.signal));
        runInChild([&c] {
            EventPoll poll;
            pid_t parent = getpid();
            pid_t sender = fork();
            if (sender == 0) {
                // Sent only once the wait blocks: one before it would be found by the wait's own checks.
                waitUntil([&] { return sleeping(parent); });
                kill(parent, c.signal);
                _exit(0);
            }
            EXPECT_EQ(poll.wait(10000, false), c.result);
            KmsgReader kmsg;
            EXPECT_EQ(poll.wait(0, false), c.next) << "the alarm was taken, or the request stays";
            EXPECT_EQ(kmsg.messages(), c.logged);
            waitpid(sender, nullptr, 0);
        });
    }
}

TEST(EventTimer, PeriodicTimerWakesRepeatedlyAndCanBeDisarmedAndDeleted) {
    runInChild([] {
        EventPoll poll;
        poll.setTimer(20);
        EXPECT_EQ(poll.wait(5000, false), EventPoll::TIMER_EXPIRED);
        EXPECT_EQ(poll.wait(5000, false), EventPoll::TIMER_EXPIRED);
        poll.setTimer(0);
        EXPECT_EQ(poll.wait(100, false), EventPoll::TIMEOUT);
        poll.setTimer(1500); // one and a half seconds: seconds and nanoseconds both used
        poll.setTimer(-1);
        poll.setTimer(20); // a new timer after the deleted one
        EXPECT_EQ(poll.wait(5000, false), EventPoll::TIMER_EXPIRED);
    });
}

} // namespace
