#include "fb-linux.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"

FbLinux::FbLinux(std::string const& device)
    : device(device), bufferCount(0), readOnly(true), map(static_cast<unsigned char*>(MAP_FAILED)) {}

FbLinux::FbLinux(std::string const& device, int bufferCount)
    : device(device), bufferCount(bufferCount), readOnly(false),
      map(static_cast<unsigned char*>(MAP_FAILED)) {}

FbLinux::~FbLinux() {
    if (map != MAP_FAILED)
        munmap(map, fix.smem_len);
}

void FbLinux::init() {
    mapFramebuffer();
}

void FbLinux::mapFramebuffer() {
    fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        THROW_ERROR_NUMBER("frambuffer open");
    struct stat status {};
    regularFile = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (control(FBIOGET_VSCREENINFO, &var) != 0)
        THROW_ERROR_NUMBER("screen info");
    if (readOnly) {
        bufferCount = var.yres ? int(var.yres_virtual / var.yres) : 0;
    } else {
        waitVSync();
        var.yres_virtual = bufferCount * var.yres;
        if (control(FBIOPUT_VSCREENINFO, &var) != 0 || control(FBIOGET_VSCREENINFO, &var) != 0)
            THROW_ERROR_NUMBER("screen info");
    }
    if (control(FBIOGET_FSCREENINFO, &fix) != 0)
        THROW_ERROR_NUMBER("screen info");
    if (!readOnly) {
        var.yoffset = 0;
        if (control(FBIOPAN_DISPLAY, &var) != 0 && errno != EINTR)
            THROW_ERROR_NUMBER("pan");
    }
    LOG(LogLight, "Framebuffer is %ix%ix%i, virtual is %ix%i", var.xres, var.yres, var.bits_per_pixel,
        var.xres_virtual, var.yres_virtual);
    LOG(LogLight, "  Pixel Clock: %lukHz, Acceleration: %i, Capabilities: %08x",
        var.pixclock ? 1000000000ul / var.pixclock : 0ul, fix.accel, unsigned(fix.capabilities));
    LOG(LogLight, "  PanX: %i, PanY: %i, WrapY: %i", fix.xpanstep, fix.ypanstep, fix.ywrapstep);
    LOG(LogLight, "  Line: %i, MMIO start: 0x%08lx, len: 0x%08x, SMEM start: 0x%08lx, len: 0x%08x",
        fix.line_length, fix.mmio_start, fix.mmio_len, fix.smem_start, fix.smem_len);
    void* mapped = mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED)
        THROW_ERROR_NUMBER("map framebuffer");
    map = static_cast<unsigned char*>(mapped);
    if (!readOnly)
        clear();
}

void FbLinux::waitVSync() {
    uint32_t argument = 0;
    if (control(FBIO_WAITFORVSYNC, &argument) != 0 && errno != EINTR)
        THROW_ERROR_NUMBER("vsync");
}

void FbLinux::show() {
    if (readOnly)
        THROW_ERROR("Not allowed in read only mode");
    var.yoffset = var.yres * currentBuffer;
    if (control(FBIOPAN_DISPLAY, &var) != 0 && errno != EINTR)
        THROW_ERROR_NUMBER("pan");
    if (++currentBuffer >= bufferCount)
        currentBuffer = 0;
}

void FbLinux::clear() {
    if (readOnly)
        THROW_ERROR("Not allowed in read only mode");
    memset(backbufferAddress(), 0, frameSize());
}

unsigned char* FbLinux::backbufferAddress() const {
    return map + currentBuffer * frameSize();
}

unsigned char* FbLinux::frontbufferAddress() const {
    return map + (currentBuffer == 0 ? bufferCount - 1 : currentBuffer - 1) * frameSize();
}

unsigned char* FbLinux::currentAddress() {
    if (control(FBIOGET_VSCREENINFO, &var) != 0)
        THROW_ERROR_NUMBER("screen info");
    return map + (var.yres ? var.yoffset / var.yres : 0) * frameSize();
}

int FbLinux::control(unsigned long request, void* argument) {
    if (!regularFile)
        return ioctl(fd, request, argument);

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
