#include "eventpoll.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

#include "log.h"

namespace {

// The only state the signal handler touches. Sequentially consistent atomics give the full fences around
// every access; the pending set is taken with one exchange so that no signal between reading and clearing is
// lost.
std::atomic<uint8_t> gTimerExpired{0};
std::atomic<uint32_t> gPendingSignals{0};
std::atomic<uint8_t> gTerminateRequested{0};

static_assert(std::atomic<uint8_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the signal handler needs lock-free flags");

extern "C" void onSignal(int signal) {
    if (signal == SIGALRM) {
        gTimerExpired.store(1);
        return;
    }
    gPendingSignals.fetch_or(uint32_t{1} << signal);
    gTerminateRequested.store(1);
}

bool takeTimerExpired() {
    return gTimerExpired.exchange(0) != 0;
}

} // namespace

EventPoll::EventPoll() : mEpollFd(-1), mTimer(), mHasTimer(false) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a signal must end a blocked epoll_wait
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGALRM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    mEpollFd = epoll_create(1);
    if (mEpollFd < 0)
        throw std::runtime_error(std::string("epoll_create: ") + strerror(errno));
    fcntl(mEpollFd, F_SETFD, FD_CLOEXEC);
}

EventPoll::~EventPoll() {
    close();
    if (mHasTimer) {
        timer_delete(mTimer);
        mHasTimer = false;
    }
}

void EventPoll::add(int fd, Callback* callback, unsigned int events) {
    if (mEpollFd < 0)
        THROW_ERROR("add called on an already closed handle");
    LOG(DebugMost, "Add new client %i/%p", fd, static_cast<void*>(callback));
    control(EPOLL_CTL_ADD, fd, callback, events);
}

void EventPoll::modify(int fd, Callback* callback, unsigned int events) {
    if (mEpollFd < 0)
        THROW_ERROR("modify called on an already closed handle");
    control(EPOLL_CTL_MOD, fd, callback, events);
}

void EventPoll::control(int operation, int fd, Callback* callback, unsigned int events) {
    epoll_event event;
    memset(&event, 0, sizeof event);
    event.events = events;
    event.data.ptr = callback;
    if (epoll_ctl(mEpollFd, operation, fd, &event) < 0)
        THROW_ERROR_NUMBER("epoll_ctl");
}

void EventPoll::remove(int fd) {
    if (mEpollFd < 0)
        return;
    LOG(DebugMost, "Remove  client %i", fd);
    if (epoll_ctl(mEpollFd, EPOLL_CTL_DEL, fd, nullptr) < 0)
        THROW_ERROR_NUMBER("epoll_ctl");
}

void EventPoll::setTimer(int milliseconds) {
    if (milliseconds == -1) {
        if (mHasTimer) {
            timer_delete(mTimer);
            mHasTimer = false;
        }
        return;
    }
    if (!mHasTimer) {
        sigevent notification;
        memset(&notification, 0, sizeof notification);
        notification.sigev_notify = SIGEV_SIGNAL;
        notification.sigev_signo = SIGALRM;
        notification.sigev_value.sival_ptr = this;
        if (timer_create(CLOCK_MONOTONIC, &notification, &mTimer) < 0)
            THROW_ERROR_NUMBER("timer create");
        mHasTimer = true;
    }
    itimerspec period;
    period.it_value.tv_sec = milliseconds / 1000;
    period.it_value.tv_nsec = (milliseconds % 1000) * 1000000L;
    period.it_interval = period.it_value;
    if (timer_settime(mTimer, 0, &period, nullptr) < 0)
        THROW_ERROR_NUMBER("timer set");
}

int EventPoll::wait(int timeout, bool ignoreTerminate) {
    uint32_t pending = gPendingSignals.exchange(0);
    for (int signal = 0; signal < 32; ++signal)
        if (pending & (uint32_t{1} << signal))
            LOG(LogLight, "SIG %i: %s", signal, strsignal(signal));

    if (!ignoreTerminate && gTerminateRequested.load())
        return TERMINATE;
    if (mEpollFd < 0)
        THROW_ERROR("wait called on an already closed handle");

    epoll_event events[MAX_EVENTS];
    int count = epoll_wait(mEpollFd, events, MAX_EVENTS, timeout);
    if (count < 0) {
        if (errno != EINTR)
            THROW_ERROR_NUMBER("epoll_wait");
        return takeTimerExpired() ? TIMER_EXPIRED : INTERRUPTED;
    }
    if (count == 0)
        return TIMEOUT;

    for (int i = 0; i < count; ++i) {
        auto* callback = static_cast<Callback*>(events[i].data.ptr);
        uint32_t mask = events[i].events;
        if (!callback) {
            LOG(Warn, "Unhandled event: %08x", mask);
            continue;
        }
        LOG(DebugAll, "Call    client %p for events %08x", static_cast<void*>(callback), mask);
        if (mask & EPOLLHUP)
            callback->event(Hangup);
        else if (mask & EPOLLPRI)
            callback->event(Urgent);
        else if (mask & EPOLLIN)
            callback->event(Read);
        else if (mask & EPOLLOUT)
            callback->event(Write);
    }
    return takeTimerExpired() ? TIMER_EXPIRED : DISPATCHED;
}

void EventPoll::close() {
    if (mEpollFd >= 0) {
        ::close(mEpollFd);
        mEpollFd = -1;
    }
}

bool EventPoll::shouldTerminate() {
    return gTerminateRequested.load() != 0;
}
