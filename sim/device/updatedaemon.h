#pragma once

#include "serverconnection.h"

// The update daemon's part: checks a package when its file name is announced, and performs the update when
// its start variable is set, reporting through the state and progress variables the app's status poll reads.
// A package is valid unless it is empty or missing; an update takes a few seconds. A host update ends with a
// reboot, a second after "Success" so that the status poll can see it.
class UpdateDaemon : public ServerConnection::EventHandler {
public:
    // The events it acts on; the caller subscribes them.
    static Notify const WATCHED[4];

    void handleEvent(Notify const& event) override;
    // Five times a second.
    void tick();

private:
    struct Job {
        unsigned checkAt = 0; // tick of the package check; 0 when none is due
        unsigned step = 0;    // of a running update; 0 when none runs
    };

    void advanceHost();
    void advanceAccessory();

    unsigned ticks = 0;
    Job host, accessory;
};
