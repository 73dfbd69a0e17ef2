// The hardware-information store against the sandbox's stand-ins of the MMC and of physical memory (sparse
// files that read as a device never written), and the typed fields on scratch files of their own.

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "failure.h"
#include "hwinfo.h"
#include "kmsg.h"
#include "persistentinfo.h"

namespace {

using Info = PersistentInfo;

bool setText(Info& area, char const* name, char const* text, bool force) {
    return area.set<Info::Base, char const*>(name, text, force);
}
bool setNumber(Info& area, char const* name, unsigned value, bool force) {
    return area.set<Info::Int, unsigned>(name, value, force);
}

std::string scratch(std::size_t size, unsigned char fill = 0) {
    std::string path = "/tmp/area";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    std::vector<unsigned char> bytes(size, fill);
    EXPECT_EQ(write(fd, bytes.data(), size), ssize_t(size));
    close(fd);
    return path;
}

// The MMC block as stored bytes: read or written at 1 MiB of the stand-in.
std::vector<unsigned char> block(std::size_t size = 348) {
    std::vector<unsigned char> bytes(size);
    int fd = open(HwInfo::MMC_DEVICE, O_RDONLY);
    EXPECT_EQ(pread(fd, bytes.data(), size, HwInfo::MMC_OFFSET), ssize_t(size));
    close(fd);
    return bytes;
}
void storeBlock(std::vector<unsigned char> const& bytes) {
    int fd = open(HwInfo::MMC_DEVICE, O_WRONLY);
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), HwInfo::MMC_OFFSET), ssize_t(bytes.size()));
    close(fd);
}
uint32_t word(std::vector<unsigned char> const& bytes, std::size_t at) {
    uint32_t value;
    memcpy(&value, &bytes[at], 4);
    return value;
}
uint32_t registerWord() {
    uint32_t value = 0;
    int fd = open(HwInfo::REGISTER_DEVICE, O_RDONLY);
    EXPECT_EQ(pread(fd, &value, 4, HwInfo::REGISTER_ADDRESS), 4);
    close(fd);
    return value;
}
void storeRegister(uint32_t value) {
    int fd = open(HwInfo::REGISTER_DEVICE, O_WRONLY);
    EXPECT_EQ(pwrite(fd, &value, 4, HwInfo::REGISTER_ADDRESS), 4);
    close(fd);
}

std::string identity() {
    HwInfo info;
    info.initialize();
    std::string board, serial;
    info.read(Constants::HWINFO_BOARD, board);
    info.read(Constants::HWINFO_SERIAL, serial);
    return board + "-" + serial;
}

TEST(PersistentInfo, ChecksumIsCrc32Mpeg2OverTheBytesAfterTheHeader) {
    std::string path = scratch(64);
    Info area(path.c_str(), 0, 64);
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "123456789", 9, 12), 9);
    ASSERT_EQ(pwrite(fd, "HEADERBYTES!", 12, 0), 12); // never covered
    close(fd);
    EXPECT_EQ(area.checksum(21), 0x0376E6E7u);
    EXPECT_EQ(area.checksum(12), 0xFFFFFFFFu);
    EXPECT_EQ(area.checksum(13), 0x9EFBCF93u); // the CRC of the single byte '1'
    EXPECT_NE(failure([&] { area.checksum(65); }), "");
}

TEST(PersistentInfo, EntriesArePackedAndBitsFillWordsFromTheTop) {
    std::string path = scratch(4096 + 16);
    // An area that starts inside a page: positions count from the mapping, words are the device's words.
    Info area(path.c_str(), 4096 + 4, 4);
    area.addInfo(std::make_unique<Info::Bits>("flag", 0, 1));
    EXPECT_EQ(area.size(), 1u);
    area.addInfo(std::make_unique<Info::Bits>("middle", Info::FlagHidden, 26));
    area.addInfo(std::make_unique<Info::Bits>("other", 0, 1));
    area.addInfo(std::make_unique<Info::Bits>("count", 0, 4));
    EXPECT_EQ(area.size(), 4u);
    ASSERT_TRUE(setText(area, "flag", "1", false));
    ASSERT_TRUE(setText(area, "count", "17", false)); // masked to the width
    std::string text;
    ASSERT_TRUE(area.get<Info::Base>("count", text));
    EXPECT_EQ(text, "1");
    uint32_t stored;
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, &stored, 4, 4096 + 4), 4);
    close(fd);
    EXPECT_EQ(stored, 0x80000001u);
    EXPECT_FALSE(area.get<Info::Base>("absent", text));
    // A layout that does not fit its area is refused at once, not when it is written.
    EXPECT_NE(failure([&] { area.addInfo(std::make_unique<Info::Int>("beyond", 0)); }), "");
    EXPECT_EQ(area.kindOf("count"), 3);
    EXPECT_EQ(area.kindOf("absent"), -1);
}

TEST(PersistentInfo, TextsNumbersAndTheirRefusals) {
    std::string path = scratch(64, 0xAB);
    Info area(path.c_str(), 0, 64);
    area.addInfo(std::make_unique<Info::Int>("version", Info::FlagPrivate));
    area.addInfo(std::make_unique<Info::String>("name", 0, 30));
    area.addInfo(std::make_unique<Info::Int>("number", 0));

    EXPECT_TRUE(setText(area, "name", std::string(28, 'x').c_str(), false));
    std::string text;
    area.get<Info::Base>("name", text);
    EXPECT_EQ(text, std::string(28, 'x'));
    EXPECT_NE(
        failure([&] { setText(area, "name", std::string(29, 'y').c_str(), false); }).find("String too long"),
        std::string::npos);
    area.get<Info::Base>("name", text);
    EXPECT_EQ(text, std::string(28, 'x'));

    // Packed: the integer after the 30-byte text starts at byte 34.
    ASSERT_TRUE(setNumber(area, "number", 0x01020304u, false));
    std::vector<unsigned char> bytes(64);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, bytes.data(), 64, 0), 64);
    close(fd);
    EXPECT_EQ(word(bytes, 34), 0x01020304u);

    EXPECT_NE(failure([&] { setNumber(area, "version", 7u, false); }).find("version is private."),
              std::string::npos);
    EXPECT_TRUE(setNumber(area, "version", 7u, true));
    unsigned number = 0;
    EXPECT_TRUE(area.get<Info::Int>("version", number));
    EXPECT_EQ(number, 7u);
    // The numeric forms are for integers only.
    EXPECT_NE(failure([&] { area.get<Info::Int>("name", number); }), "");
    EXPECT_THROW(setText(area, "number", "lots", false), std::invalid_argument);

    testing::internal::CaptureStdout();
    area.printAll();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "                  version:         7 (0x00000007)\n"
              "                     name: xxxxxxxxxxxxxxxxxxxxxxxxxxxx\n"
              "                   number:  16909060 (0x01020304)\n");
    FILE* names = tmpfile();
    area.printParameters(names);
    rewind(names);
    char line[64] = {};
    ASSERT_NE(fgets(line, sizeof line, names), nullptr);
    fclose(names);
    EXPECT_STREQ(line, "name number");
}

TEST(PersistentInfo, NumbersReadAsOnTheThirtyTwoBitDevice) {
    EXPECT_EQ(toUnsigned32("  12abc"), 12u);
    EXPECT_EQ(toUnsigned32("+4294967295"), 4294967295u);
    EXPECT_EQ(toUnsigned32("-1"), 4294967295u); // the device's stoul wraps a minus modulo 2^32
    EXPECT_THROW(toUnsigned32("4294967296"), std::out_of_range);
    EXPECT_THROW(toUnsigned32("-4294967296"), std::out_of_range);
    EXPECT_THROW(toUnsigned32(" x1"), std::invalid_argument);
    EXPECT_THROW(toUnsigned32("-"), std::invalid_argument);
}

TEST(PersistentInfo, MissingOrShortDevicesAreRefused) {
    EXPECT_NE(failure([] { Info area("/tmp/none", 0, 4); }).find("open"), std::string::npos);
    // Mapped, a file that ends before the area would kill the process at the first access.
    std::string path = scratch(100);
    EXPECT_NE(failure([&] { Info area(path.c_str(), 64, 64); }).find("mmap"), std::string::npos);
}

TEST(HwInfo, ABlockNeverWrittenGetsItsNewFieldsButNoIdentity) {
    KmsgReader kmsg;
    EXPECT_EQ(identity(), "-");
    EXPECT_TRUE(kmsg.waitFor("Differents length, setting new values to default.", 0));
    auto bytes = block();
    EXPECT_EQ(word(bytes, 0), HwInfo::MMC_BLOCK_VERSION);
    EXPECT_EQ(word(bytes, 4), 348u);
    // Valid now: the next start finds nothing to repair.
    KmsgReader again;
    EXPECT_EQ(identity(), "-");
    EXPECT_TRUE(again.messages().empty()) << again.messages()[0];
}

TEST(HwInfo, DamagedBlocksAreResetToTheDefaults) {
    identity();
    {
        HwInfo info;
        info.initialize();
        ASSERT_TRUE(info.write(Constants::HWINFO_BOARD, "BOARD"));
        ASSERT_TRUE(info.write(std::string("serial=1234")));
        ASSERT_TRUE(info.write(Constants::KNOB_POS_MAX, 4000u));
    }
    EXPECT_EQ(identity(), "BOARD-1234");

    auto bytes = block();
    bytes[12] ^= 1;
    storeBlock(bytes);
    KmsgReader kmsg;
    EXPECT_EQ(identity(), "prototype-0000");
    EXPECT_TRUE(kmsg.waitFor("Wrong checksum, setting defaults.", 0));
    HwInfo info;
    info.initialize();
    std::string revision;
    unsigned knob = 1;
    info.read(Constants::HWINFO_REVISION, revision);
    info.read(Constants::KNOB_POS_MAX, knob);
    EXPECT_EQ(revision, "1.0");
    EXPECT_EQ(knob, 0u);

    // A blank block reads 0xFF everywhere: a length no checksum can cover.
    storeBlock(std::vector<unsigned char>(HwInfo::MMC_SIZE, 0xFF));
    EXPECT_EQ(identity(), "prototype-0000");
}

TEST(HwInfo, OlderAndNewerValidBlocksAreKept) {
    {
        HwInfo info;
        info.initialize();
        info.write(Constants::HWINFO_SERIAL, "77");
    }
    // Version 4 with a right checksum: accepted as it is, the version stays.
    auto bytes = block();
    uint32_t four = 4;
    memcpy(&bytes[0], &four, 4);
    storeBlock(bytes);
    KmsgReader kmsg;
    EXPECT_EQ(identity(), "-77");
    EXPECT_EQ(word(block(), 0), 4u);

    // Written by a later layout of 400 bytes, with the checksum over all of them.
    bytes = block(400);
    uint32_t length = 400;
    memcpy(&bytes[4], &length, 4);
    bytes[399] = 0x5A;
    {
        storeBlock(bytes);
        Info raw(HwInfo::MMC_DEVICE, HwInfo::MMC_OFFSET, HwInfo::MMC_SIZE);
        uint32_t checksum = raw.checksum(400); // as the later layout stored it
        memcpy(&bytes[8], &checksum, 4);
        storeBlock(bytes);
    }
    auto stored = block(400);
    EXPECT_EQ(identity(), "-77");
    EXPECT_EQ(block(400), stored);
    EXPECT_TRUE(kmsg.messages().empty());
}

TEST(HwInfo, AssignmentsAndTheBootRegister) {
    storeRegister(0x00000025u); // boot_failed set, counter 5
    HwInfo info;
    info.initialize();
    std::string text;
    ASSERT_TRUE(info.read(Constants::HWINFO_BOOT_FAILED_COUNTER, text));
    EXPECT_EQ(text, "5");
    ASSERT_TRUE(info.read(Constants::HWINFO_BOOT_FAILED, text));
    EXPECT_EQ(text, "0");
    EXPECT_TRUE(info.write(std::string("update_requested=1")));
    EXPECT_EQ(registerWord(), 0x80000025u);
    EXPECT_FALSE(info.write(std::string("serial")));
    EXPECT_FALSE(info.write(std::string("nothing=1")));
    EXPECT_NE(failure([&] { info.write(std::string("version=7")); }).find("version is private."),
              std::string::npos);
    EXPECT_NE(failure([&] { info.write("length", 1u); }).find("length is private."), std::string::npos);
    // Each form for its own kind of key.
    EXPECT_NE(failure([&] { info.write(Constants::KNOB_POS_MIN, "12"); }), "");
    EXPECT_NE(failure([&] { info.write(Constants::HWINFO_UPDATE_REQ, 0u); }), "");
    unsigned number;
    EXPECT_FALSE(info.read("absent", number));
}

} // namespace
