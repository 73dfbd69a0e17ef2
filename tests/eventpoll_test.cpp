#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "eventpoll.h"
#include "kmsg.h"

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() { closeRead(), closeWrite(); }
    void put(char const* text) const { EXPECT_GT(::write(write, text, strlen(text)), 0); }
    void closeRead() { read >= 0 && ::close(read), read = -1; }
    void closeWrite() { write >= 0 && ::close(write), write = -1; }
};

// Records what it was called with and, when asked, drains its descriptor so that it is not ready again.
struct Recorder : EventPoll::Callback {
    std::vector<EventPoll::EventType> calls;
    int drainFd = -1;
    std::function<void()> action;
    void event(EventPoll::EventType type) override {
        calls.push_back(type);
        if (drainFd >= 0) {
            char buffer[64];
            while (::read(drainFd, buffer, sizeof buffer) > 0) {
            }
        }
        if (action)
            action();
    }
};

using Types = std::vector<EventPoll::EventType>;

TEST(EventDispatch, ReadableDescriptorGetsRead) {
    EventPoll poll;
    Pipe p;
    Recorder r;
    poll.add(p.read, &r, EPOLLIN);
    p.put("x");
    EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
    EXPECT_EQ(r.calls, Types{EventPoll::Read});
}

TEST(EventDispatch, InputWithHangupGivesOnlyHangup) {
    EventPoll poll;
    Pipe p;
    Recorder r;
    poll.add(p.read, &r, EPOLLIN);
    p.put("data");
    p.closeWrite();
    EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
    EXPECT_EQ(r.calls, Types{EventPoll::Hangup});
}

TEST(EventDispatch, ErrorAloneCallsNothingButIsTraced) {
    EventPoll poll;
    Pipe p;
    Recorder r;
    // The write end of a pipe without reader reports EPOLLERR and nothing asked for.
    poll.add(p.write, &r, EPOLLIN);
    p.closeRead();
    KmsgReader kmsg;
    EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
    EXPECT_TRUE(r.calls.empty());
    char trace[80];
    snprintf(trace, sizeof trace, "Call    client %p for events %08x", static_cast<void*>(&r), EPOLLERR);
    EXPECT_EQ(kmsg.messages(), std::vector<std::string>{trace});
}

TEST(EventDispatch, NullCallbackIsWarnedAndTheLoopGoesOn) {
    EventPoll poll;
    Pipe a, b;
    Recorder r;
    poll.add(a.read, nullptr, EPOLLIN);
    poll.add(b.read, &r, EPOLLIN);
    a.put("x");
    b.put("x");
    KmsgReader kmsg;
    EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
    EXPECT_EQ(r.calls, Types{EventPoll::Read});
    auto records = kmsg.records();
    bool warned = false;
    for (auto const& record : records)
        warned |= record.level == "Warn        " && record.message == "Unhandled event: 00000001";
    EXPECT_TRUE(warned);
}

TEST(EventDispatch, MoreThanEightReadyDescriptorsAreServedOverTwoWaits) {
    EventPoll poll;
    std::vector<Pipe> pipes(11);
    std::vector<Recorder> recorders(11);
    for (size_t i = 0; i < pipes.size(); ++i) {
        recorders[i].drainFd = pipes[i].read;
        poll.add(pipes[i].read, &recorders[i], EPOLLIN);
        pipes[i].put("x");
    }
    auto served = [&] {
        size_t n = 0;
        for (auto const& r : recorders)
            n += r.calls.size();
        return n;
    };
    EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
    EXPECT_EQ(served(), 8u);
    EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
    EXPECT_EQ(served(), 11u);
    EXPECT_EQ(poll.wait(0, true), EventPoll::TIMEOUT);
}

TEST(EventDispatch, ExceptionInCallbackLeavesWaitAtOnce) {
    EventPoll poll;
    Pipe a, b;
    Recorder ra, rb;
    ra.action = [] { throw std::runtime_error("callback failed"); };
    rb.action = [] { throw std::runtime_error("callback failed"); };
    poll.add(a.read, &ra, EPOLLIN);
    poll.add(b.read, &rb, EPOLLIN);
    a.put("x");
    b.put("x");
    EXPECT_THROW(poll.wait(1000, true), std::runtime_error);
    EXPECT_EQ(ra.calls.size() + rb.calls.size(), 1u);
}

TEST(EventRegistration, AddAndRemoveAreTraced) {
    EventPoll poll;
    Pipe p;
    Recorder r;
    KmsgReader kmsg;
    poll.add(p.read, &r, EPOLLIN);
    poll.remove(p.read);
    char added[64], removed[64];
    snprintf(added, sizeof added, "Add new client %i/%p", p.read, static_cast<void*>(&r));
    snprintf(removed, sizeof removed, "Remove  client %i", p.read);
    EXPECT_EQ(kmsg.messages(), (std::vector<std::string>{added, removed}));
    p.put("x");
    EXPECT_EQ(poll.wait(0, true), EventPoll::TIMEOUT);
}

TEST(EventRegistration, FailuresThrowWithTheirTexts) {
    EventPoll poll;
    Recorder r;
    try {
        poll.add(-1, &r, EPOLLIN);
        FAIL();
    } catch (std::runtime_error const& e) {
        EXPECT_TRUE(std::string(e.what()).find("epoll_ctl: Bad file descriptor") != std::string::npos)
            << e.what();
    }
    EXPECT_THROW(poll.remove(12345), std::runtime_error);
}

TEST(EventPollClose, ClosedPollRefusesAddAndWaitAndIgnoresRemove) {
    EventPoll poll;
    Pipe p;
    Recorder r;
    poll.close();
    auto expectFailure = [](auto call, char const* text) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (std::runtime_error const& e) {
            EXPECT_TRUE(std::string(e.what()).find(text) != std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find("       eventpoll.cpp:"), 0u) << e.what();
        }
    };
    expectFailure([&] { poll.add(p.read, &r, EPOLLIN); }, "add called on an already closed handle");
    expectFailure([&] { poll.wait(0, true); }, "wait called on an already closed handle");
    KmsgReader kmsg;
    poll.remove(p.read);
    poll.close();
    EXPECT_TRUE(kmsg.records().empty());
}

TEST(EventSignals, InterruptAndTerminateAreLoggedInOrderAndEndTheWait) {
    runInChild([] {
        EventPoll poll;
        KmsgReader kmsg;
        raise(SIGTERM);
        raise(SIGINT);
        EXPECT_FALSE(poll.wait(0, true) == EventPoll::TERMINATE);
        // Both were taken by that wait; the request itself stays.
        EXPECT_EQ(kmsg.messages(), (std::vector<std::string>{"SIG 2: Interrupt", "SIG 15: Terminated"}));
        EXPECT_TRUE(EventPoll::shouldTerminate());
        EXPECT_EQ(poll.wait(1000, false), EventPoll::TERMINATE);
        EXPECT_EQ(poll.wait(1000, false), EventPoll::TERMINATE);
    });
}

TEST(EventSignals, TerminationBeforeWaitReturnsFourWithoutWaiting) {
    runInChild([] {
        EventPoll poll;
        EXPECT_FALSE(EventPoll::shouldTerminate());
        KmsgReader kmsg;
        raise(SIGINT);
        raise(SIGTERM);
        EXPECT_EQ(poll.wait(10000, false), EventPoll::TERMINATE);
        EXPECT_EQ(kmsg.messages(), (std::vector<std::string>{"SIG 2: Interrupt", "SIG 15: Terminated"}));
    });
}

TEST(EventSignals, IgnoredTerminationStillDispatches) {
    runInChild([] {
        EventPoll poll;
        Pipe p;
        Recorder r;
        poll.add(p.read, &r, EPOLLIN);
        raise(SIGTERM);
        p.put("x");
        EXPECT_EQ(poll.wait(1000, true), EventPoll::DISPATCHED);
        EXPECT_EQ(r.calls, Types{EventPoll::Read});
    });
}

TEST(EventSignals, TerminateDuringBlockedWaitInterruptsItThenEndsTheNext) {
    runInChild([] {
        EventPoll poll;
        pid_t parent = getpid();
        pid_t killer = fork();
        if (killer == 0) {
            usleep(50000);
            kill(parent, SIGTERM);
            _exit(0);
        }
        EXPECT_EQ(poll.wait(10000, false), EventPoll::INTERRUPTED);
        KmsgReader kmsg;
        EXPECT_EQ(poll.wait(10000, false), EventPoll::TERMINATE);
        EXPECT_EQ(kmsg.messages(), std::vector<std::string>{"SIG 15: Terminated"});
        waitpid(killer, nullptr, 0);
    });
}

TEST(EventSignals, AlarmDuringBlockedWaitReportsTimer) {
    runInChild([] {
        EventPoll poll;
        ualarm(30000, 0); // an outside SIGALRM counts as the timer too
        EXPECT_EQ(poll.wait(10000, false), EventPoll::TIMER_EXPIRED);
        EXPECT_EQ(poll.wait(0, false), EventPoll::TIMEOUT); // cleared
    });
}

TEST(EventSignals, AlarmDuringDispatchReportsTimerAfterDispatch) {
    runInChild([] {
        EventPoll poll;
        Pipe p;
        Recorder r;
        r.drainFd = p.read;
        r.action = [] { raise(SIGALRM); };
        poll.add(p.read, &r, EPOLLIN);
        p.put("x");
        EXPECT_EQ(poll.wait(1000, false), EventPoll::TIMER_EXPIRED);
        EXPECT_EQ(r.calls.size(), 1u);
        EXPECT_EQ(poll.wait(0, false), EventPoll::TIMEOUT);
    });
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
        EXPECT_EQ(poll.wait(100, false), EventPoll::TIMEOUT);
        poll.setTimer(-1);
    });
}

TEST(EventSignals, SigpipeIsIgnored) {
    runInChild([] {
        EventPoll poll;
        Pipe p;
        p.closeRead();
        errno = 0;
        EXPECT_LT(write(p.write, "x", 1), 0);
        EXPECT_EQ(errno, EPIPE);
    });
}

} // namespace
