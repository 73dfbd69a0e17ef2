#pragma once

// The process's one event loop primitive: level-triggered epoll dispatch to callback objects, SIGINT and
// SIGTERM turned into a sticky termination request, and an optional interval timer delivered as SIGALRM.

#include <ctime>

class EventPoll {
public:
    enum EventType {
        Urgent = 0, // EPOLLPRI without EPOLLHUP
        Read = 1,   // EPOLLIN without EPOLLHUP or EPOLLPRI
        Hangup = 2, // EPOLLHUP
        Write = 3,  // EPOLLOUT without EPOLLHUP, EPOLLPRI or EPOLLIN
    };

    class Callback {
    public:
        virtual void event(EventType type) = 0;

    protected:
        ~Callback() = default; // the poll never owns its callbacks
    };

    // Results of wait().
    static constexpr int INTERRUPTED = 0;   // a signal interrupted the wait, the timer had not expired
    static constexpr int TIMER_EXPIRED = 1; // the interval timer expired (after any dispatch)
    static constexpr int TIMEOUT = 2;       // nothing happened within the timeout
    static constexpr int DISPATCHED = 3;    // events were dispatched, the timer had not expired
    static constexpr int TERMINATE = 4;     // SIGINT or SIGTERM was caught (unless ignored)

    static constexpr int MAX_EVENTS = 8; // taken per wait; the rest are reported by the next one

    // Installs the signal handling (SIGINT, SIGTERM, SIGALRM caught; SIGPIPE ignored), then creates the epoll
    // instance. Throws std::runtime_error "epoll_create: ..." when that fails.
    EventPoll();
    ~EventPoll();
    EventPoll(EventPoll const&) = delete;
    EventPoll& operator=(EventPoll const&) = delete;

    // Registration. The callback must remove its descriptor before it is destroyed.
    void add(int fd, Callback* callback, unsigned int events);
    void remove(int fd);                                          // nothing once closed
    void modify(int fd, Callback* callback, unsigned int events); // replaces the events of a registered fd

    // -1 deletes the timer; otherwise arms a periodic timer with that many milliseconds (0 disarms it).
    void setTimer(int milliseconds);

    // Waits at most timeout milliseconds and dispatches at most MAX_EVENTS events; returns one of the results
    // above. An exception thrown by a callback leaves at once.
    int wait(int timeout, bool ignoreTerminate);

    void close(); // terminal: afterwards add and wait throw
    static bool shouldTerminate();

private:
    void control(int operation, int fd, Callback* callback, unsigned int events);

    int mEpollFd;   // -1 when closed
    timer_t mTimer; // valid while mHasTimer
    bool mHasTimer;
};
