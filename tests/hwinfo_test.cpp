// The hardware-information store against the sandbox's stand-ins of the MMC and of physical memory (sparse
// files that read as a device never written), and the typed fields on scratch files of their own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "failure.h"
#include "hwinfo.h"
#include "kmsg.h"
#include "persistentinfo.h"

namespace {

using Info = PersistentInfo;

bool setText(Info& area, char const* name, char const* text) {
    return area.set<Info::Base, char const*>(name, text, false);
}

// Bytes as a file or device holds them, read and written past the store.
std::string stored(char const* path, std::size_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    int fd = open(path, O_RDONLY);
    EXPECT_EQ(pread(fd, bytes.data(), size, offset), ssize_t(size)) << path;
    close(fd);
    return bytes;
}
void store(char const* path, std::size_t offset, std::string const& bytes) {
    int fd = open(path, O_WRONLY | O_CREAT, 0600);
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), ssize_t(bytes.size())) << path;
    close(fd);
}
// A word as the device stores it.
std::string bytesOf(uint32_t word) {
    return std::string(reinterpret_cast<char const*>(&word), 4);
}

char const* scratch(std::string const& bytes) {
    unlink("/tmp/area");
    store("/tmp/area", 0, bytes);
    return "/tmp/area";
}

// The MMC block, at 1 MiB of the stand-in.
std::string block(std::size_t size = 348) {
    return stored(HwInfo::MMC_DEVICE, HwInfo::MMC_OFFSET, size);
}
void storeBlock(std::string const& bytes) {
    store(HwInfo::MMC_DEVICE, HwInfo::MMC_OFFSET, bytes);
}

// A field's text, or "?" when it cannot be read.
std::string readText(HwInfo& info, char const* key) {
    std::string value;
    return info.read(key, value) ? value : "?";
}

// What a start reads of the block: "board-serial/revision/knob maximum".
std::string identity() {
    HwInfo info;
    info.initialize();
    using namespace Constants;
    return readText(info, HWINFO_BOARD) + "-" + readText(info, HWINFO_SERIAL) + "/" +
           readText(info, HWINFO_REVISION) + "/" + readText(info, KNOB_POS_MAX);
}

TEST(PersistentInfo, AnAreaMustLieInItsFileAndIsChecksummedWithCrc32Mpeg2AfterTheHeader) {
    EXPECT_TRUE(raises([] { Info area("/tmp/none", 0, 4); }, "open"));
    char const* path = scratch("HEADERBYTES!123456789"); // the 12-byte header is never covered
    // Mapped, a file that ends before the area would kill the process at the first access.
    EXPECT_TRUE(raises([&] { Info area(path, 0, 22); }, "mmap"));
    Info area(path, 0, 21);
    EXPECT_EQ(area.checksum(21), 0x0376E6E7u);
    EXPECT_EQ(area.checksum(13), 0x9EFBCF93u); // the CRC of the single byte '1'
    EXPECT_TRUE(raises([&] { area.checksum(22); }, "Checksum over 22 bytes"));
}

TEST(PersistentInfo, EntriesArePackedAndBitsFillWordsFromTheTop) {
    char const* path = scratch(std::string(4096 + 16, 0));
    // An area that starts inside a page: positions count from the mapping, words are the device's words.
    Info area(path, 4096 + 4, 4);
    area.addInfo(std::make_unique<Info::Bits>("flag", 0, 1));
    EXPECT_EQ(area.size(), 1u);
    area.addInfo(std::make_unique<Info::Bits>("middle", Info::FlagHidden, 26));
    area.addInfo(std::make_unique<Info::Bits>("other", 0, 1));
    area.addInfo(std::make_unique<Info::Bits>("count", 0, 4));
    EXPECT_EQ(area.size(), 4u);
    ASSERT_TRUE(setText(area, "flag", "1"));
    ASSERT_TRUE(setText(area, "count", "17")); // masked to the width
    std::string text;
    ASSERT_TRUE(area.get<Info::Base>("count", text));
    EXPECT_EQ(text, "1");
    EXPECT_EQ(stored(path, 4096 + 4, 4), bytesOf(0x80000001u));
    EXPECT_FALSE(area.get<Info::Base>("absent", text));
    // A layout that does not fit its area is refused at once, not when it is written.
    EXPECT_TRUE(
        raises([&] { area.addInfo(std::make_unique<Info::Int>("beyond", 0)); }, "beyond does not fit"));
    EXPECT_EQ(area.kindOf("count"), 3);
    EXPECT_EQ(area.kindOf("absent"), -1);
}

TEST(PersistentInfo, TextsNumbersAndTheirRefusals) {
    char const* path = scratch(std::string(64, '\xAB'));
    Info area(path, 0, 64);
    area.addInfo(std::make_unique<Info::Int>("version", Info::FlagPrivate));
    area.addInfo(std::make_unique<Info::String>("name", 0, 30));
    area.addInfo(std::make_unique<Info::Int>("number", 0));

    EXPECT_TRUE(setText(area, "name", std::string(28, 'x').c_str()));
    EXPECT_TRUE(raises([&] { setText(area, "name", std::string(29, 'y').c_str()); }, "String too long"));
    // Packed: the integer after the 30-byte text starts at byte 34.
    ASSERT_TRUE((area.set<Info::Int, unsigned>("number", 0x01020304u, false)));
    EXPECT_EQ(stored(path, 34, 4), bytesOf(0x01020304u));
    EXPECT_TRUE((area.set<Info::Int, unsigned>("version", 7u, true)));
    unsigned number = 0;
    EXPECT_TRUE(area.get<Info::Int>("version", number));
    EXPECT_EQ(number, 7u);
    // The numeric forms are for integers only.
    EXPECT_TRUE(raises([&] { area.get<Info::Int>("name", number); }, "name is not an Int."));
    EXPECT_THROW(setText(area, "number", "lots"), std::invalid_argument);

    // The refused text left the field as it was; parameters are the entries without flags.
    testing::internal::CaptureStdout();
    area.printAll();
    area.printParameters(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "                  version:         7 (0x00000007)\n"
              "                     name: xxxxxxxxxxxxxxxxxxxxxxxxxxxx\n"
              "                   number:  16909060 (0x01020304)\n"
              "name number");
}

TEST(PersistentInfo, NumbersReadAsOnTheThirtyTwoBitDevice) {
    EXPECT_EQ(toUnsigned32("  12abc"), 12u);
    EXPECT_EQ(toUnsigned32("+4294967295"), 4294967295u);
    EXPECT_EQ(toUnsigned32("-1"), 4294967295u); // the device's stoul wraps a minus modulo 2^32
    EXPECT_THROW(toUnsigned32("4294967296"), std::out_of_range);
    EXPECT_THROW(toUnsigned32("-"), std::invalid_argument);
}

TEST(HwInfo, ABlockNeverWrittenGetsItsNewFieldsButNoIdentity) {
    KmsgReader kmsg;
    EXPECT_EQ(identity(), "-//0");
    EXPECT_TRUE(kmsg.waitFor("Differents length, setting new values to default.", 0));
    EXPECT_EQ(block(8), bytesOf(HwInfo::MMC_BLOCK_VERSION) + bytesOf(348));
    // Valid now: the next start finds nothing to repair.
    KmsgReader again;
    EXPECT_EQ(identity(), "-//0");
    EXPECT_TRUE(again.messages().empty()) << again.messages()[0];
}

TEST(HwInfo, DamagedBlocksAreResetToTheDefaults) {
    {
        HwInfo info;
        info.initialize();
        ASSERT_TRUE(info.write(Constants::HWINFO_BOARD, "BOARD"));
        ASSERT_TRUE(info.write(std::string("serial=1234")));
        ASSERT_TRUE(info.write(Constants::KNOB_POS_MAX, 4000u));
    }
    EXPECT_EQ(identity(), "BOARD-1234//4000");

    auto bytes = block();
    bytes[12] ^= 1;
    storeBlock(bytes);
    KmsgReader kmsg;
    EXPECT_EQ(identity(), "prototype-0000/1.0/0");
    EXPECT_TRUE(kmsg.waitFor("Wrong checksum, setting defaults.", 0));

    // A blank block reads 0xFF everywhere: a length no checksum can cover.
    storeBlock(std::string(HwInfo::MMC_SIZE, '\xFF'));
    EXPECT_EQ(identity(), "prototype-0000/1.0/0");
}

TEST(HwInfo, ValidBlocksOfAnotherVersionOrALongerLayoutAreKept) {
    {
        HwInfo info;
        info.initialize();
        info.write(Constants::HWINFO_SERIAL, "77");
    }
    // Version 4, and 400 bytes long as a later layout writes it, with the checksum over all of them.
    auto bytes = block(400);
    bytes.replace(0, 8, bytesOf(4) + bytesOf(400));
    bytes[399] = 0x5A;
    storeBlock(bytes);
    bytes.replace(8, 4,
                  bytesOf(Info(HwInfo::MMC_DEVICE, HwInfo::MMC_OFFSET, HwInfo::MMC_SIZE).checksum(400)));
    storeBlock(bytes);
    KmsgReader kmsg;
    EXPECT_EQ(identity(), "-77//0");
    EXPECT_EQ(block(400), bytes);
    EXPECT_TRUE(kmsg.messages().empty());
}

TEST(HwInfo, AssignmentsAndTheBootRegister) {
    // Counter 5 and the lowest unused bit, which is not boot_failed.
    store(HwInfo::REGISTER_DEVICE, HwInfo::REGISTER_ADDRESS, bytesOf(0x00000025u));
    HwInfo info;
    info.initialize();
    EXPECT_EQ(readText(info, Constants::HWINFO_BOOT_FAILED_COUNTER), "5");
    EXPECT_EQ(readText(info, Constants::HWINFO_BOOT_FAILED), "0");
    EXPECT_TRUE(info.write(std::string("update_requested=1")));
    EXPECT_EQ(stored(HwInfo::REGISTER_DEVICE, HwInfo::REGISTER_ADDRESS, 4), bytesOf(0x80000025u));
    EXPECT_FALSE(info.write(std::string("serial")));
    EXPECT_FALSE(info.write(std::string("nothing=1")));
    EXPECT_TRUE(raises([&] { info.write(std::string("version=7")); }, "version is private."));
    EXPECT_TRUE(raises([&] { info.write("length", 1u); }, "length is private."));
    // Each form for its own kind of key.
    EXPECT_TRUE(raises([&] { info.write(Constants::KNOB_POS_MIN, "12"); }, "is not a String."));
    EXPECT_TRUE(raises([&] { info.write(Constants::HWINFO_UPDATE_REQ, 0u); }, "is not an Int."));
    unsigned number;
    EXPECT_FALSE(info.read("absent", number));
}

} // namespace
