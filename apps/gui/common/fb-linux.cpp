#include "fb-linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fb-file.h"
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
    return regularFile ? FbFile::control(fd, request, argument) : ioctl(fd, request, argument);
}
