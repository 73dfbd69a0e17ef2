#pragma once

// Writes the regular file that stands in for the framebuffer on the simulated device: the pixel memory of
// `buffers` 32-bit screens followed by the record the framebuffer layer reads its screen information from. The
// first screen is on display.

#include <cstdint>
#include <functional>
#include <string>

// pixel(x, y) gives 0xAARRGGBB, for every screen. Throws std::runtime_error when the file cannot be written.
void writeStandInFramebuffer(std::string const& path, uint32_t width, uint32_t height,
                             std::function<uint32_t(uint32_t, uint32_t)> const& pixel, uint32_t buffers = 1);
