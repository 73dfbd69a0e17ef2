#pragma once

// Decodes a PNG held in memory as red, green, blue, alpha bytes, row after row, with libpng's simplified
// reader.

#include <gtest/gtest.h>
#include <png.h>
#include <string>
#include <vector>

inline std::vector<unsigned char> decodePng(std::string const& png, unsigned& width, unsigned& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size())) << image.message;
    image.format = PNG_FORMAT_RGBA;
    std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
    width = image.width, height = image.height;
    return pixels;
}
