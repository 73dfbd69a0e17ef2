#pragma once

// Writes the regular file that stands in for the framebuffer on the simulated device: the pixel memory of the
// screens followed by the record the framebuffer layer reads its screen information from.

#include <cstdint>
#include <functional>
#include <string>

struct StandInScreen {
    uint32_t width, height;
    uint32_t buffers = 1;
    uint32_t shown = 0; // the buffer on display
    uint32_t bitsPerPixel = 32;
    uint32_t pixclock = 0; // picoseconds per pixel, 0 when unknown
};

// pixel(buffer, x, y) gives the pixel's value, stored in its low bitsPerPixel bits. Throws std::runtime_error
// when the file cannot be written.
void writeStandInFramebuffer(std::string const& path, StandInScreen const& screen,
                             std::function<uint32_t(uint32_t, uint32_t, uint32_t)> const& pixel);

// `buffers` 32-bit screens alike, the first on display; pixel(x, y) gives 0xAARRGGBB.
void writeStandInFramebuffer(std::string const& path, uint32_t width, uint32_t height,
                             std::function<uint32_t(uint32_t, uint32_t)> const& pixel, uint32_t buffers = 1);
