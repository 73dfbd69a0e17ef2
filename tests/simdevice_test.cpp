// The simulated device: it creates and fills every block, keeps values moving through the broker, and
// removes its blocks when it is stopped.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fb-linux.h"
#include "gen_init.h"
#include "introspection.h"
#include "process.h"

void processPreInit() {}
void processPostInit() {}

namespace {

using namespace std::chrono_literals;

bool blockExists(char const* name) {
    int fd = shm_open(name, O_RDONLY, 0);
    return fd >= 0 && close(fd) == 0;
}

std::string value(char const* block, char const* name, int index = 0) {
    uint32_t mem = Introspection::getMemIndex(block);
    return Introspection::getVarValue(mem, Introspection::getVarIndex(mem, name), index);
}

class SimDevice : public ::testing::Test, public ServerConnection::EventHandler {
protected:
    void SetUp() override {
        broker = spawnProcess({BROKER_PATH});
        ASSERT_TRUE(waitUntil(brokerReady));
        device = spawnProcess({SIM_DEVICE_PATH});
        // The last block is created last; the values follow before the device's first tick.
        ASSERT_TRUE(waitUntil([] { return blockExists("/MemApp"); }));
        std::this_thread::sleep_for(300ms);
    }
    void TearDown() override {
        if (device > 0)
            kill(device, SIGTERM), waitpid(device, nullptr, 0);
        kill(broker, SIGTERM);
        waitpid(broker, nullptr, 0);
    }
    void handleEvent(Notify const& event) override { events.push_back(event.event); }

    pid_t broker = -1;
    pid_t device = -1;
    std::vector<uint32_t> events;
};

TEST_F(SimDevice, FillsTheBlocksThroughTheDictionary) {
    gen::mapBlocks(false);
    EXPECT_EQ(value("MemPersistent", "ProductName"), "Lens Controller");
    EXPECT_EQ(value("MemDynamic", "RadioRegion"), "Europe");
    EXPECT_EQ(value("MemApp", "AppServiceLogLevel"), "LogLight");
    EXPECT_NE(value("MemCamera", "CamSpeedList", 2).find("\"value\":\"25.000000\""), std::string::npos);
    EXPECT_NE(value("MemMotors", "IrisMotor").find("\"value\": \"Present\""), std::string::npos);
    EXPECT_EQ(gMemLens->LensTableFocusMeter.LensTableValueListSize, 5);
    EXPECT_FLOAT_EQ(gMemLens->LensTableFocusMeter.LensTableValueList[4].EngravedValue, 5.0f);
    EXPECT_NE(value("MemExternalDevices", "QBusDeviceList", 1).find("Distance sensor"), std::string::npos);
}

TEST_F(SimDevice, KeepsValuesMovingAndPostsTheirEvents) {
    gen::mapBlocks(false);
    ServerConnection watcher(gen::getEventPoll());
    watcher.setHandler(this);
    watcher.subscribeAll();
    float before = gMemDynamic->FocusActPosNorm;
    auto deadline = std::chrono::steady_clock::now() + 2s;
    auto seen = [&](uint32_t id) { return std::find(events.begin(), events.end(), id) != events.end(); };
    while (std::chrono::steady_clock::now() < deadline &&
           !(seen(gen::Event::VarFocusActPosNormChanged) && seen(gen::Event::VarCamClipList0Changed)))
        gen::getEventPoll().wait(20, true);
    EXPECT_TRUE(seen(gen::Event::VarFocusActPosNormChanged));
    EXPECT_TRUE(seen(gen::Event::VarBattVoltageChanged) || seen(gen::Event::VarBattPercentChanged));
    EXPECT_TRUE(seen(gen::Event::VarCamClipList0Changed)) << "the clip's time code moves once a second";
    EXPECT_NE(gMemDynamic->FocusActPosNorm, before);
}

TEST_F(SimDevice, StopsCleanlyAndRemovesItsBlocks) {
    kill(device, SIGTERM);
    int status = 0;
    waitpid(device, &status, 0);
    device = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (uint32_t mem = 0; mem < Introspection::getMemCount(); ++mem)
        EXPECT_FALSE(blockExists(("/" + std::string(Introspection::getMemName(mem))).c_str()))
            << Introspection::getMemName(mem);
}

TEST_F(SimDevice, DrawsItsDisplayHiddenAndPansToIt) {
    FbLinux screen("/dev/fb0");
    screen.init();
    ASSERT_EQ(screen.buffers(), 2);
    std::set<unsigned> shown;
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (shown.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        auto const* frame = reinterpret_cast<uint32_t const*>(screen.currentAddress());
        shown.insert(screen.screenInfo().yoffset);
        // Only whole pictures are on display: the background and the frame of the first bar.
        ASSERT_EQ(frame[0], 0xff202020u);
        ASSERT_EQ(frame[60 * 800 + 40], 0xff505050u);
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_EQ(shown, (std::set<unsigned>{0, 480}));
}

} // namespace
