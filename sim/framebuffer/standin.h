#pragma once

// Writes the regular file that stands in for the framebuffer on the simulated device: the pixel memory of
// one 32-bit screen followed by the record the framebuffer layer reads its screen information from.

#include <cstdint>
#include <functional>
#include <string>

// pixel(x, y) gives 0xAARRGGBB. Throws std::runtime_error when the file cannot be written.
void writeStandInFramebuffer(std::string const& path, uint32_t width, uint32_t height,
                             std::function<uint32_t(uint32_t, uint32_t)> const& pixel);
