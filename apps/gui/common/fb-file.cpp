#include "fb-file.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/fb.h>
#include <sys/ioctl.h> // the request numbers
#include <sys/stat.h>
#include <unistd.h>

namespace FbFile {

int control(int fd, unsigned long request, void* argument) {
    FileRecord record{};
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return -1;
    off_t at = status.st_size - off_t(sizeof record);
    if (at < 0 || pread(fd, &record, sizeof record, at) != ssize_t(sizeof record) ||
        record.magic != FileRecord::MAGIC || record.smemLength > uint64_t(at)) {
        errno = ENOTTY; // what a file that is no framebuffer answers
        return -1;
    }
    auto store = [&] { return pwrite(fd, &record, sizeof record, at) == ssize_t(sizeof record) ? 0 : -1; };
    switch (request) {
    case FBIOGET_VSCREENINFO: {
        auto& v = *static_cast<fb_var_screeninfo*>(argument);
        v = fb_var_screeninfo{};
        v.xres = record.xres, v.yres = record.yres;
        v.xres_virtual = record.xresVirtual, v.yres_virtual = record.yresVirtual;
        v.xoffset = record.xoffset, v.yoffset = record.yoffset;
        v.bits_per_pixel = record.bitsPerPixel;
        v.pixclock = record.pixclock;
        // Blue, green, red, alpha in memory order, as the device's panel is driven.
        v.blue = {0, 8, 0}, v.green = {8, 8, 0}, v.red = {16, 8, 0}, v.transp = {24, 8, 0};
        return 0;
    }
    case FBIOGET_FSCREENINFO: {
        auto& f = *static_cast<fb_fix_screeninfo*>(argument);
        f = fb_fix_screeninfo{};
        strncpy(f.id, "file", sizeof f.id);
        f.smem_len = record.smemLength;
        f.line_length = record.lineLength;
        f.ypanstep = 1;
        f.visual = FB_VISUAL_TRUECOLOR;
        return 0;
    }
    case FBIOPUT_VSCREENINFO: {
        auto const& v = *static_cast<fb_var_screeninfo const*>(argument);
        // As a driver does: the virtual screen must fit the memory, the rest of the mode is the file's.
        if (uint64_t(v.yres_virtual) * record.lineLength > record.smemLength) {
            errno = EINVAL;
            return -1;
        }
        record.yresVirtual = v.yres_virtual;
        return store();
    }
    case FBIOPAN_DISPLAY: {
        auto const& v = *static_cast<fb_var_screeninfo const*>(argument);
        if (uint64_t(v.yoffset) + record.yres > record.yresVirtual) {
            errno = EINVAL;
            return -1;
        }
        record.xoffset = v.xoffset, record.yoffset = v.yoffset;
        return store();
    }
    case FBIO_WAITFORVSYNC: {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        constexpr long FRAME_NS = 1000000000L / 60;
        long rest = FRAME_NS - now.tv_nsec % FRAME_NS;
        timespec wait{0, rest};
        return nanosleep(&wait, nullptr);
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}

} // namespace FbFile
