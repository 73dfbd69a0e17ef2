#pragma once

// A regular file standing in for a framebuffer where the device has none (the simulated device): the pixel
// memory followed by a FileRecord, from which the screen information is read and into which pan and
// resolution changes are written.

#include <cstdint>

namespace FbFile {

// The tail of the file. Fixed-width fields, so that writers and readers of other word sizes agree.
struct FileRecord {
    static constexpr uint32_t MAGIC = 0x31424653; // "SFB1"
    uint32_t magic;
    uint32_t xres, yres;               // visible resolution
    uint32_t xresVirtual, yresVirtual; // the virtual screen: yresVirtual / yres buffers
    uint32_t xoffset, yoffset;         // the pan position: the buffer on display
    uint32_t bitsPerPixel;
    uint32_t lineLength; // bytes per line
    uint32_t pixclock;   // picoseconds per pixel, 0 when unknown
    uint32_t smemLength; // bytes of pixel memory before the record
};

// Serves a framebuffer ioctl request from the record of the open file fd, answering as a driver would: 0, or
// -1 with errno set (ENOTTY for a file without a valid record or a request a file cannot serve). Vertical
// sync waits for the next 60 Hz tick.
int control(int fd, unsigned long request, void* argument);

} // namespace FbFile
