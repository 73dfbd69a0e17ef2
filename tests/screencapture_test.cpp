#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <vector>

#include "failure.h"
#include "kmsg.h"
#include "pngdecode.h"
#include "screencapture.h"
#include "standin.h"

namespace {

constexpr unsigned W = 800, H = 480;
using Bytes = std::vector<unsigned char>;

// The red, green, blue and alpha bytes of one pixel of a capture, which must be a whole screen.
Bytes capturedPixel(ScreenCapture& capture, unsigned x, unsigned y) {
    std::ostringstream out;
    out << capture;
    unsigned width = 0, height = 0;
    auto pixels = decodePng(out.str(), width, height);
    EXPECT_TRUE(width == W && height == H) << width << "x" << height;
    size_t at = (size_t(y) * W + x) * 4;
    return at + 4 <= pixels.size() ? Bytes(pixels.begin() + at, pixels.begin() + at + 4) : Bytes{};
}

TEST(ScreenCapture, EncodesTheBufferOnDisplayWithRedAndBlueSwappedAndFollowsThePan) {
    // Buffer 1 is on display with the bytes 10 20 30 FF (blue, green, red, alpha) and a position mark.
    StandInScreen screen{W, H, 2, 1};
    screen.pixclock = 40000;
    writeStandInFramebuffer("/dev/fb0", screen, [](uint32_t b, uint32_t x, uint32_t y) -> uint32_t {
        return b == 0 ? 0 : x == 7 && y == 5 ? 0x80402010u : 0xFF302010u;
    });
    KmsgReader kmsg;
    ScreenCapture capture;
    EXPECT_EQ(capture.buffers(), 2);
    EXPECT_THROW(capture.show(), std::runtime_error); // a capture only reads
    EXPECT_THROW(capture.clear(), std::runtime_error);
    EXPECT_TRUE(kmsg.waitFor("Framebuffer is 800x480x32, virtual is 800x960", 0));
    EXPECT_TRUE(kmsg.waitFor("  Pixel Clock: 25000kHz, Acceleration: 0, Capabilities: 00000000", 0));
    // Two unsigned longs among 32-bit fields: on the 32-bit device a mismatched size would shift the lengths.
    EXPECT_TRUE(kmsg.waitFor(
        "  Line: 3200, MMIO start: 0x00000000, len: 0x00000000, SMEM start: 0x00000000, len: 0x002ee000", 0));
    EXPECT_EQ(capturedPixel(capture, 0, 0), (Bytes{0x30, 0x20, 0x10, 0xFF}));
    EXPECT_EQ(capturedPixel(capture, 7, 5), (Bytes{0x40, 0x20, 0x10, 0x80})); // alpha as stored

    FbLinux gui("/dev/fb0", 2);
    gui.init(); // pans to buffer 0 and clears it
    EXPECT_EQ(capturedPixel(capture, 0, 0), (Bytes{0, 0, 0, 0}));
    memset(gui.backbufferAddress(), 0xAB, gui.frameSize());
    gui.show(); // buffer 0 on display, drawing moves to buffer 1
    gui.clear();
    EXPECT_EQ(capturedPixel(capture, 0, 0), (Bytes{0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(gui.frontbufferAddress()[0], 0xAB);
    gui.show(); // buffer 1, cleared, on display
    EXPECT_EQ(capturedPixel(capture, 0, 0), (Bytes{0, 0, 0, 0}));
}

TEST(ScreenCapture, RefusesWhatItCannotDo) {
    // Another depth: the memory holds 16-bit pixels, reading them as 32-bit ones would run past the mapping.
    writeStandInFramebuffer("/dev/fb0", {W, H, 1, 0, 16}, [](uint32_t, uint32_t, uint32_t) { return 0u; });
    // Nothing is drawn on a missing device, nor on two screens in one screen's memory.
    for (char const* device : {"/dev/nothing", "/dev/fb0"})
        EXPECT_THROW(FbLinux(device, 2).init(), std::runtime_error) << device;
    ScreenCapture shallow;
    std::ostringstream out;
    std::string refusal = failure([&] { shallow.startWrite(out); });
    EXPECT_NE(refusal.find("Screen capture needs 32 bits per pixel, the framebuffer has 16"),
              std::string::npos);
    EXPECT_EQ(out.str(), "");

    std::ofstream("/dev/fb0") << "not a framebuffer"; // no screen record to read
    EXPECT_TRUE(raises([] { ScreenCapture none; }, "screen info: Inappropriate ioctl for device"));
}

} // namespace
