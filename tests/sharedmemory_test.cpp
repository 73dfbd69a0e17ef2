#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "failure.h"
#include "sharedmemory.h"

namespace {

bool exists(char const* name) {
    int fd = shm_open(name, O_RDONLY, 0);
    return fd >= 0 && close(fd) == 0;
}

TEST(SharedMemory, OpenOfAMissingBlockNamesItAndTheSystemError) {
    SharedMemory block("MemX", 16);
    EXPECT_TRUE(raises([&] { block.open(); }, "/MemX: No such file or directory"));
    EXPECT_TRUE(raises([&] { block.address(); }, "Call open or create before asking for the address"));
}

// The opener checks the size word that the creator wrote, so a matching open proves the word too.
TEST(SharedMemory, CreatorAndOpenerShareTheDataBehindTheSizeWord) {
    SharedMemory creator("MemShared", 100);
    creator.create();
    auto* data = static_cast<unsigned char*>(creator.address());
    EXPECT_EQ(creator.address(), data) << "mapped once";
    data[0] = 0x5a;
    data[99] = 0xa5;
    {
        SharedMemory opener("MemShared", 100);
        opener.open();
        auto* seen = static_cast<unsigned char*>(opener.address());
        EXPECT_EQ(seen[0], 0x5a);
        EXPECT_EQ(seen[99], 0xa5);
        opener.close(); // and again in the destructor, which releases nothing twice
    }
    EXPECT_TRUE(exists("/MemShared")) << "an opener never unlinks";
    creator.close();
    EXPECT_FALSE(exists("/MemShared")) << "the creator does";
}

TEST(SharedMemory, ABlockOfAnotherSizeIsRefused) {
    SharedMemory creator("MemSized", 100);
    creator.create();
    creator.address();
    SharedMemory smaller("MemSized", 50);
    smaller.open();
    EXPECT_TRUE(raises([&] { smaller.address(); }, "requested 50, is 100."));

    // An object shorter than it claims would fault when touched: its length refuses it before mapping.
    int fd = shm_open("/MemShort", O_RDWR | O_CREAT, 0666);
    uint32_t claim = 4096;
    ASSERT_EQ(write(fd, &claim, 4), 4);
    ASSERT_EQ(ftruncate(fd, 12), 0);
    close(fd);
    SharedMemory shorter("MemShort", 4096);
    shorter.open();
    EXPECT_TRUE(
        raises([&] { shorter.address(); }, "Memory size missmatch for /MemShort, requested 4096, is 8."));
    shm_unlink("/MemShort");
}

} // namespace
