#pragma once

// Requests the web API answers later: update requests until the next changes, log requests until new text.
// One queue, in the order they were held, so that the front is the one held longest.

#include <deque>
#include <functional>

#include "request.h"

class HeldRequests {
public:
    enum class Kind { Update, Log };

    void hold(Request& request, Kind kind);
    // The request goes away (its connection ended): it is no longer held.
    void forget(Request const& request);
    // Offers every request held as kind to answer, in holding order; those it answers (it returns true) are
    // no longer held. A request whose answer throws is no longer held either (logged at Error).
    void answer(Kind kind, std::function<bool(Request&)> const& answer);
    // Takes the request held longest off the queue, with its kind; false when none is held.
    bool takeLongest(Request*& request, Kind& kind);
    size_t size() const { return mHeld.size(); }

private:
    struct Held {
        Request* request;
        Kind kind;
    };
    std::deque<Held> mHeld;
};
