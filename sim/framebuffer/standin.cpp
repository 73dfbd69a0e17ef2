#include "standin.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "fb-file.h"

void writeStandInFramebuffer(std::string const& path, StandInScreen const& screen,
                             std::function<uint32_t(uint32_t, uint32_t, uint32_t)> const& pixel) {
    uint32_t const bytesPerPixel = (screen.bitsPerPixel + 7) / 8;
    uint32_t const lineLength = screen.width * bytesPerPixel;
    std::vector<unsigned char> memory(size_t(lineLength) * screen.height * screen.buffers);
    for (uint32_t b = 0; b < screen.buffers; ++b)
        for (uint32_t y = 0; y < screen.height; ++y)
            for (uint32_t x = 0; x < screen.width; ++x) {
                uint32_t value = pixel(b, x, y);
                // The device and its simulation are little-endian: the low bytes hold the pixel.
                memcpy(&memory[(size_t(b) * screen.height + y) * lineLength + size_t(x) * bytesPerPixel],
                       &value, std::min<size_t>(bytesPerPixel, sizeof value));
            }
    uint32_t const bytes = uint32_t(memory.size());
    FbFile::FileRecord record{FbFile::FileRecord::MAGIC,
                              screen.width,
                              screen.height,
                              screen.width,
                              screen.height * screen.buffers,
                              0,
                              screen.height * screen.shown,
                              screen.bitsPerPixel,
                              lineLength,
                              screen.pixclock,
                              bytes};
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool written = fd >= 0 && write(fd, memory.data(), bytes) == ssize_t(bytes) &&
                   write(fd, &record, sizeof record) == ssize_t(sizeof record);
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (!written)
        throw std::runtime_error(path + ": " + strerror(error));
}

void writeStandInFramebuffer(std::string const& path, uint32_t width, uint32_t height,
                             std::function<uint32_t(uint32_t, uint32_t)> const& pixel, uint32_t buffers) {
    StandInScreen screen{width, height};
    screen.buffers = buffers;
    writeStandInFramebuffer(path, screen, [&](uint32_t, uint32_t x, uint32_t y) { return pixel(x, y); });
}
