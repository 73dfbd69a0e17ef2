#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "sharedmemory.h"

namespace {

std::string failure(std::function<void()> const& action) {
    try {
        action();
    } catch (std::runtime_error const& e) {
        return e.what();
    }
    return "no failure";
}

bool exists(char const* name) {
    int fd = shm_open(name, O_RDONLY, 0);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

TEST(SharedMemory, OpenOfAMissingBlockNamesItAndTheSystemError) {
    SharedMemory block("MemX", 16);
    EXPECT_NE(failure([&] { block.open(); }).find("/MemX: No such file or directory"), std::string::npos);
    EXPECT_NE(failure([&] { block.address(); }).find("Call open or create before asking for the address"),
              std::string::npos);
}

TEST(SharedMemory, CreatorAndOpenerShareTheDataBehindTheSizeWord) {
    SharedMemory creator("MemShared", 100);
    creator.create();
    auto* data = static_cast<unsigned char*>(creator.address());
    EXPECT_EQ(creator.address(), data) << "mapped once";
    data[0] = 0x5a;
    data[99] = 0xa5;

    int fd = shm_open("/MemShared", O_RDONLY, 0);
    uint32_t word = 0;
    ASSERT_EQ(pread(fd, &word, 4, 0), 4);
    close(fd);
    EXPECT_EQ(word, 100u);

    {
        SharedMemory opener("MemShared", 100);
        opener.open();
        auto* seen = static_cast<unsigned char*>(opener.address());
        EXPECT_NE(seen, data);
        EXPECT_EQ(seen[0], 0x5a);
        EXPECT_EQ(seen[99], 0xa5);
        opener.close();
        opener.close(); // a second close releases nothing twice
    }
    EXPECT_TRUE(exists("/MemShared")) << "an opener never unlinks";
    creator.close();
    EXPECT_FALSE(exists("/MemShared")) << "the creator does";
}

TEST(SharedMemory, ABlockOfAnotherSizeIsRefused) {
    SharedMemory creator("MemSized", 100);
    creator.create();
    creator.address();
    SharedMemory larger("MemSized", 200);
    larger.open();
    EXPECT_NE(failure([&] {
                  larger.address();
              }).find("Memory size missmatch for /MemSized, requested 200, is 100."),
              std::string::npos);
    SharedMemory smaller("MemSized", 50);
    smaller.open();
    EXPECT_NE(failure([&] { smaller.address(); }).find("requested 50, is 100."), std::string::npos);

    // An object too short for the size it claims would fault when touched; it is refused before mapping.
    int fd = shm_open("/MemShort", O_RDWR | O_CREAT, 0666);
    uint32_t claim = 4096;
    ASSERT_EQ(write(fd, &claim, 4), 4);
    ASSERT_EQ(ftruncate(fd, 12), 0);
    close(fd);
    SharedMemory shorter("MemShort", 4096);
    shorter.open();
    EXPECT_NE(failure([&] {
                  shorter.address();
              }).find("Memory size missmatch for /MemShort, requested 4096, is 8."),
              std::string::npos);
    shm_unlink("/MemShort");
}

} // namespace
