#include "held.h"

#include <algorithm>
#include <exception>

#include "log.h"

void HeldRequests::hold(Request& request, Kind kind) {
    mHeld.push_back({&request, kind});
}

void HeldRequests::forget(Request const& request) {
    mHeld.erase(
        std::remove_if(mHeld.begin(), mHeld.end(), [&](Held const& h) { return h.request == &request; }),
        mHeld.end());
}

void HeldRequests::answer(Kind kind, std::function<bool(Request&)> const& answer) {
    // Answering may release a request (its connection closes): the queue is walked by a copy of what it held.
    std::deque<Held> held;
    held.swap(mHeld);
    for (Held const& h : held) {
        if (h.kind != kind) {
            mHeld.push_back(h);
            continue;
        }
        bool answered = true;
        try {
            answered = answer(*h.request);
        } catch (std::exception const& e) {
            LOG(Error, "Could not answer held request %u: %s", h.request->id(), e.what());
        }
        if (!answered)
            mHeld.push_back(h);
    }
}

bool HeldRequests::takeLongest(Request*& request, Kind& kind) {
    if (mHeld.empty())
        return false;
    request = mHeld.front().request;
    kind = mHeld.front().kind;
    mHeld.pop_front();
    return true;
}
