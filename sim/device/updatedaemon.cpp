#include "updatedaemon.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gen_init.h"
#include "introspection_gen.h"
#include "log.h"
#include "setvariable.h"

namespace {
// Where the sandbox's stand-in for init takes a reboot request: a line restarts the service, which is all of
// the device's reboot that the service can tell from a fresh start.
constexpr char const* REBOOT_REQUEST = "/run/reboot";

void reboot() {
    int fd = open(REBOOT_REQUEST, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        LOG(Warn, "No reboot after the host update: %s: %s", REBOOT_REQUEST, strerror(errno));
        return;
    }
    if (write(fd, "reboot\n", 7) != 7)
        LOG(Warn, "No reboot after the host update: %s", strerror(errno));
    else
        LOG(LogLight, "Host update installed, rebooting");
    close(fd);
}

constexpr unsigned PARTS = 2, STEPS_PER_PART = 10;

gen::UpdateState check(char const* path) {
    struct stat status;
    if (stat(path, &status) != 0)
        return gen::UpdateState::FileNotFound;
    return status.st_size > 0 ? gen::UpdateState::FileValid : gen::UpdateState::FileCorrupt;
}

// A due package check: "CheckingFile" for a while, then what the file turned out to be.
template <std::size_t N>
void advanceCheck(unsigned ticks, unsigned& checkAt, gen::UpdateState& state, Notify notify,
                  std::array<char, N> const& path) {
    if (!checkAt)
        return;
    if (ticks == checkAt - 2)
        setVariable(state, notify, gen::UpdateState::CheckingFile);
    if (ticks >= checkAt) {
        checkAt = 0;
        setVariable(state, notify, check(path.data()));
    }
}
} // namespace

Notify const UpdateDaemon::WATCHED[4] = {
    gen::notify::MemMedia::HostUpdateFileName, gen::notify::MemMedia::HostUpdateStart,
    gen::notify::MemExternalDevices::QBusUpdateFileName, gen::notify::MemExternalDevices::QBusUpdateStart};

void UpdateDaemon::handleEvent(Notify const& event) {
    namespace media = gen::notify::MemMedia;
    namespace external = gen::notify::MemExternalDevices;
    if (event.event == media::HostUpdateFileName.event && gMemMedia->HostUpdateFileName[0]) {
        // At once: until then the status poll would read how the last package ended.
        setVariable(gMemMedia->HostUpdateFileState, media::HostUpdateFileState,
                    gen::UpdateState::CheckingFile);
        host.checkAt = ticks + 3;
    } else if (event.event == external::QBusUpdateFileName.event &&
               gMemExternalDevices->QBusUpdateFileName[0]) {
        // A new package starts at its first part: the poll's progress counts the parts done.
        setVariable(gMemExternalDevices->QBusUpdateIndex, external::QBusUpdateIndex, 0);
        accessory.checkAt = ticks + 3;
    } else if (event.event == media::HostUpdateStart.event && gMemMedia->HostUpdateStart)
        host.step = 1;
    else if (event.event == external::QBusUpdateStart.event && gMemExternalDevices->QBusUpdateStart)
        accessory.step = 1;
}

void UpdateDaemon::tick() {
    ++ticks;
    advanceHost();
    advanceAccessory();
}

void UpdateDaemon::advanceHost() {
    auto& block = *gMemMedia;
    namespace notify = gen::notify::MemMedia;
    advanceCheck(ticks, host.checkAt, block.HostUpdateFileState, notify::HostUpdateFileState,
                 block.HostUpdateFileName);
    if (!host.step)
        return;
    // Copying, then installing, then the reboot.
    ++host.step;
    if (host.step == 2)
        setVariable(block.HostUpdateFileState, notify::HostUpdateFileState, gen::UpdateState::CopyingFile);
    else if (host.step == 8)
        setVariable(block.HostUpdateFileState, notify::HostUpdateFileState, gen::UpdateState::InProgress);
    else if (host.step == 15) {
        setVariable(block.HostUpdateFileState, notify::HostUpdateFileState, gen::UpdateState::Success);
        setVariable(block.HostUpdateStart, notify::HostUpdateStart, false);
    } else if (host.step == 20) {
        host.step = 0;
        // The daemon comes back from the reboot without a package, so that the next one is announced
        // anew.
        setVariable(block.HostUpdateFileName, notify::HostUpdateFileName, "");
        setVariable(block.HostUpdateFileState, notify::HostUpdateFileState, gen::UpdateState::NoFileSelected);
        reboot();
    }
}

void UpdateDaemon::advanceAccessory() {
    auto& block = *gMemExternalDevices;
    namespace notify = gen::notify::MemExternalDevices;
    advanceCheck(ticks, accessory.checkAt, block.QBusUpdateState, notify::QBusUpdateState,
                 block.QBusUpdateFileName);
    if (!accessory.step)
        return;
    unsigned done = accessory.step - 1; // steps finished
    if (done == 0) {
        setVariable(block.QBusUpdateState, notify::QBusUpdateState, gen::UpdateState::CopyingFile);
        setVariable(block.QBusUpdateCount, notify::QBusUpdateCount, int(PARTS));
    } else if (done == 1) {
        setVariable(block.QBusUpdateState, notify::QBusUpdateState, gen::UpdateState::InProgress);
    }
    if (done < PARTS * STEPS_PER_PART) {
        setVariable(block.QBusUpdateIndex, notify::QBusUpdateIndex, int(done / STEPS_PER_PART));
        setVariable(block.QBusUpdateProgress, notify::QBusUpdateProgress, int(done % STEPS_PER_PART * 10));
        ++accessory.step;
        return;
    }
    setVariable(block.QBusUpdateProgress, notify::QBusUpdateProgress, 100);
    setVariable(block.QBusUpdateState, notify::QBusUpdateState, gen::UpdateState::Success);
    setVariable(block.QBusUpdateStart, notify::QBusUpdateStart, false);
    accessory.step = 0;
}
