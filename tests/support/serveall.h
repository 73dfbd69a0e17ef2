#pragma once

// A web API of the tests' own in front of the listener: every request is served by one function (held, when
// it ends nothing), and the requests that go away are counted.

#include <functional>
#include <memory>
#include <vector>

#include "fcgi.h"

class ServeAll : public Fcgi::RequestCallback {
public:
    explicit ServeAll(std::function<void(Request&)> serve = nullptr) : serve(std::move(serve)) {}

    void route(Request& request) override { request.handleWith(std::make_unique<Serving>(*this)); }
    bool releaseHeld() override { return false; }
    void released(Request& request) override { releasedIds.push_back(request.id()); }

    std::function<void(Request&)> serve; // null: every request is held
    std::vector<Request*> served;        // in serving order
    std::vector<unsigned> releasedIds;   // in releasing order

private:
    struct Serving : Request::Handling {
        explicit Serving(ServeAll& owner) : owner(owner) {}
        void serve(Request& request) override {
            owner.served.push_back(&request);
            if (owner.serve)
                owner.serve(request);
        }
        ServeAll& owner;
    };
};
