#include "screencapture.h"

#include <png.h>
#include <vector>

#include "log.h"

namespace {
void writeData(png_structp png, png_bytep data, png_size_t length) {
    static_cast<ScreenCapture*>(png_get_io_ptr(png))->write(data, static_cast<unsigned>(length));
}
} // namespace

ScreenCapture::ScreenCapture() : FbLinux("/dev/fb0") {
    init();
}

void ScreenCapture::write(unsigned char* data, unsigned length) {
    if (out)
        out->write(reinterpret_cast<char const*>(data), length);
}

void ScreenCapture::startWrite(std::ostream& stream) {
    unsigned char* frame = currentAddress();
    if (var.bits_per_pixel != 32)
        THROW_ERROR("Screen capture needs 32 bits per pixel, the framebuffer has %u", var.bits_per_pixel);
    if (std::size_t(frame - map) + frameSize() > fix.smem_len)
        THROW_ERROR("Screen capture: the frame on display lies outside the framebuffer memory");
    // Everything that needs destruction exists before the first error jump can leave this frame.
    std::vector<png_bytep> rows(var.yres);
    for (unsigned y = 0; y < var.yres; ++y)
        rows[y] = frame + std::size_t(y) * var.xres * 4;

    out = &stream;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        out = nullptr;
        THROW_ERROR("PNG: create write struct error");
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        out = nullptr;
        THROW_ERROR("PNG: create info error");
    }
    // libpng leaves through longjmp; the stage names the error to raise once back here.
    char const* volatile stage = "PNG: init io error";
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        out = nullptr;
        THROW_ERROR("%s", stage);
    }
    png_set_write_fn(png, this, writeData, nullptr);
    stage = "PNG: write info error";
    png_set_IHDR(png, info, var.xres, var.yres, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    stage = "PNG: write image error";
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_BGR, nullptr);
    png_destroy_write_struct(&png, &info);
    out = nullptr;
}

std::ostream& operator<<(std::ostream& stream, ScreenCapture& capture) {
    capture.startWrite(stream);
    return stream;
}
