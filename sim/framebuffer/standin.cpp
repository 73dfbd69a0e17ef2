#include "standin.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "fb-linux.h"

void writeStandInFramebuffer(std::string const& path, uint32_t width, uint32_t height,
                             std::function<uint32_t(uint32_t, uint32_t)> const& pixel, uint32_t buffers) {
    std::vector<uint32_t> memory(size_t(width) * height * buffers);
    for (uint32_t y = 0; y < height * buffers; ++y)
        for (uint32_t x = 0; x < width; ++x)
            memory[size_t(y) * width + x] = pixel(x, y % height);
    uint32_t bytes = uint32_t(memory.size() * 4);
    FbLinux::FileRecord record{
        FbLinux::FileRecord::MAGIC, width, height, width, height * buffers, 0, 0, 32, width * 4, 0, bytes};
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool written = fd >= 0 && write(fd, memory.data(), bytes) == ssize_t(bytes) &&
                   write(fd, &record, sizeof record) == ssize_t(sizeof record);
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (!written)
        throw std::runtime_error(path + ": " + strerror(error));
}
