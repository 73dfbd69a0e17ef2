// A smoke test of the simulated device: the product's tests run against it, which is where its faults show.

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gen_init.h"
#include "introspection.h"
#include "process.h"

namespace {

bool blockExists(char const* name) {
    int fd = shm_open(name, O_RDONLY, 0);
    return fd >= 0 && close(fd) == 0;
}

TEST(SimDevice, FillsItsBlocksAndRemovesThemWhenStopped) {
    pid_t broker = spawnProcess({BROKER_PATH});
    ASSERT_TRUE(waitUntil(brokerReady));
    pid_t device = spawnProcess({SIM_DEVICE_PATH});
    ASSERT_TRUE(waitUntil([] { return blockExists("/MemApp"); })) << "the last block is created last";
    gen::mapBlocks(false);
    uint32_t mem = Introspection::getMemIndex("MemPersistent");
    EXPECT_TRUE(waitUntil([&] {
        return Introspection::getVarValue(mem, Introspection::getVarIndex(mem, "ProductName"), 0) ==
               "Lens Controller";
    }));
    int status = 0;
    kill(device, SIGTERM), waitpid(device, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(blockExists("/MemApp"));
    kill(broker, SIGTERM), waitpid(broker, nullptr, 0);
}

} // namespace
