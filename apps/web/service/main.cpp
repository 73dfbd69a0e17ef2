#include <chrono>
#include <exception>
#include <systemd/sd-daemon.h>

#include "constants.h"
#include "eventpoll.h"
#include "fcgi.h"
#include "gen_init.h"
#include "log.h"
#include "requesthandler.h"
#include "version.h"

namespace {
// Whatever an endpoint or a layer leaves uncaught ends that one piece of work, not the service: the device
// keeps its web interface, and the line in the kernel log says what went wrong.
template <typename Action> int guarded(Action action) {
    try {
        return action();
    } catch (std::exception const& e) {
        LOG(Error, "Uncaught failure, serving goes on: %s", e.what());
    } catch (...) {
        LOG(Error, "Uncaught failure, serving goes on");
    }
    return EventPoll::INTERRUPTED;
}

// Tells systemd that the loop still turns, twice per watchdog period, so that a service that hangs anyway is
// restarted. Without a watchdog (or without systemd) it does nothing.
class Watchdog {
public:
    Watchdog() {
        uint64_t period = 0;
        if (sd_watchdog_enabled(0, &period) > 0)
            interval = std::chrono::microseconds(period / 2);
    }
    void alive() {
        auto now = std::chrono::steady_clock::now();
        if (interval.count() == 0 || now - last < interval)
            return;
        last = now;
        sd_notify(0, "WATCHDOG=1");
    }

private:
    std::chrono::microseconds interval{0};
    std::chrono::steady_clock::time_point last;
};
} // namespace

int main() {
    gen::init();
    // The level is bound by now, so the version line follows AppServiceLogLevel like every later one.
    LOG(LogLight, "Version %s", SERVICE_VERSION);
    EventPoll& poll = gen::getEventPoll();
    {
        // The handler outlives the listener: the listener's end answers the requests still held, which leave
        // the handler's queue as they go.
        RequestHandler handler(poll);
        Fcgi fcgi(Constants::FCGI_PORT, poll, handler);
        gen::getServerConnection()->setHandler(&handler);
        sd_notify(0, "READY=1"); // port 9000 is open
        Watchdog watchdog;
        while (guarded([&] { return poll.wait(Constants::MAIN_LOOP_TIMEOUT_MS, false); }) !=
               EventPoll::TERMINATE) {
            // Released connections go after every wake-up: the front web server may open more in one period
            // than the listener keeps. The timed pass then also expires idle and stalled ones.
            guarded([&] {
                fcgi.cleanup();
                if (handler.periodic())
                    fcgi.expire(std::chrono::steady_clock::now());
                fcgi.cleanup();
                return 0;
            });
            watchdog.alive();
        }
        sd_notify(0, "STOPPING=1");
        gen::closeServerConnection();
    }
    return 0;
}
