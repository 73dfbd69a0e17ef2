// Arbitrary bytes as the stored hardware-information block (the first 1 KiB of it; the rest of the area is
// zero), then the start-up validation. Afterwards the block must be valid: a second start finds nothing to
// repair and leaves every byte as it is. Runs in the sandbox, whose /dev/mmcblk1 and /dev/mem are stand-ins.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "hwinfo.h"

namespace {
std::vector<unsigned char> stored() {
    std::vector<unsigned char> bytes(HwInfo::MMC_SIZE);
    int fd = open(HwInfo::MMC_DEVICE, O_RDONLY);
    if (fd < 0 || pread(fd, bytes.data(), bytes.size(), HwInfo::MMC_OFFSET) != ssize_t(bytes.size()))
        abort();
    close(fd);
    return bytes;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    std::vector<unsigned char> bytes(HwInfo::MMC_SIZE, 0);
    std::copy(data, data + std::min<size_t>(size, 1024), bytes.begin());
    int fd = open(HwInfo::MMC_DEVICE, O_WRONLY);
    if (fd < 0 || pwrite(fd, bytes.data(), bytes.size(), HwInfo::MMC_OFFSET) != ssize_t(bytes.size()))
        abort();
    close(fd);
    {
        HwInfo info;
        info.initialize();
        std::string text;
        info.read(Constants::HWINFO_SERIAL, text);
        info.read(Constants::HWINFO_KNOB_LINEARIZATION, text);
    }
    std::vector<unsigned char> first = stored();
    {
        HwInfo info;
        info.initialize();
    }
    if (stored() != first)
        abort(); // the first start left a block that the second one repaired again
    return 0;
}
