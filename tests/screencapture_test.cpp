#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "kmsg.h"
#include "pngdecode.h"
#include "screencapture.h"
#include "standin.h"

namespace {

constexpr unsigned W = 800, H = 480;

uint32_t black(uint32_t, uint32_t) {
    return 0;
}

TEST(ScreenCapture, EncodesTheBufferOnDisplayWithRedAndBlueSwapped) {
    // Buffer 0 is black; buffer 1 carries the bytes 10 20 30 FF (blue, green, red, alpha) with a position
    // mark.
    StandInScreen screen{W, H, 2, 1};
    screen.pixclock = 40000;
    writeStandInFramebuffer("/dev/fb0", screen, [](uint32_t b, uint32_t x, uint32_t y) -> uint32_t {
        if (b == 0)
            return 0;
        return x == 7 && y == 5 ? 0x80402010u : 0xFF302010u;
    });
    KmsgReader kmsg;
    ScreenCapture capture;
    EXPECT_EQ(capture.buffers(), 2);
    EXPECT_TRUE(kmsg.waitFor("Framebuffer is 800x480x32, virtual is 800x960", 0));
    EXPECT_TRUE(kmsg.waitFor("  Pixel Clock: 25000kHz, Acceleration: 0, Capabilities: 00000000", 0));
    // Two unsigned longs among 32-bit fields: on the 32-bit device a mismatched size would shift the lengths.
    EXPECT_TRUE(kmsg.waitFor(
        "  Line: 3200, MMIO start: 0x00000000, len: 0x00000000, SMEM start: 0x00000000, len: 0x002ee000", 0));

    std::ostringstream out;
    out << capture;
    std::string png = out.str();
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    unsigned width = 0, height = 0;
    auto pixels = decodePng(png, width, height);
    ASSERT_EQ(width, W);
    ASSERT_EQ(height, H);
    EXPECT_EQ(std::vector<unsigned char>(pixels.begin(), pixels.begin() + 4),
              (std::vector<unsigned char>{0x30, 0x20, 0x10, 0xFF}));
    size_t mark = (size_t(5) * W + 7) * 4;
    EXPECT_EQ(std::vector<unsigned char>(pixels.begin() + mark, pixels.begin() + mark + 4),
              (std::vector<unsigned char>{0x40, 0x20, 0x10, 0x80})); // alpha as stored
}

TEST(ScreenCapture, FollowsThePanOfTheDrawingSide) {
    writeStandInFramebuffer("/dev/fb0", {W, H, 2}, [](uint32_t b, uint32_t, uint32_t) -> uint32_t {
        return b ? 0xFF0000FFu : 0xFF00FF00u;
    });
    ScreenCapture capture;
    FbLinux gui("/dev/fb0", 2);
    gui.init(); // pans to buffer 0 and clears it
    auto first = [&] {
        std::ostringstream out;
        capture.startWrite(out);
        unsigned w, h;
        auto pixels = decodePng(out.str(), w, h);
        return std::vector<unsigned char>(pixels.begin(), pixels.begin() + 4);
    };
    EXPECT_EQ(first(), (std::vector<unsigned char>{0, 0, 0, 0}));
    memset(gui.backbufferAddress(), 0xAB, gui.frameSize());
    gui.show(); // buffer 0 on display, drawing moves to buffer 1
    gui.clear();
    EXPECT_EQ(first(), (std::vector<unsigned char>{0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(gui.frontbufferAddress()[0], 0xAB);
    gui.show(); // buffer 1, cleared, on display
    EXPECT_EQ(gui.screenInfo().yoffset, H);
    EXPECT_EQ(first(), (std::vector<unsigned char>{0, 0, 0, 0}));
}

TEST(ScreenCapture, RefusesWhatItCannotDo) {
    writeStandInFramebuffer("/dev/fb0", W, H, black, 2);
    ScreenCapture capture;
    EXPECT_THROW(capture.show(), std::runtime_error);
    EXPECT_THROW(capture.clear(), std::runtime_error);

    // Another depth: the memory holds 16-bit pixels, reading them as 32-bit ones would run past the mapping.
    StandInScreen shallowScreen{W, H};
    shallowScreen.bitsPerPixel = 16;
    writeStandInFramebuffer("/dev/fb0", shallowScreen, [](uint32_t, uint32_t, uint32_t) { return 0u; });
    ScreenCapture shallow;
    std::ostringstream out;
    KmsgReader kmsg;
    EXPECT_THROW(shallow.startWrite(out), std::runtime_error);
    EXPECT_TRUE(kmsg.waitFor("Screen capture needs 32 bits per pixel, the framebuffer has 16", 0));
    EXPECT_EQ(out.str(), "");

    // A file that carries no screen record is no framebuffer.
    int fd = open("/dev/fb0", O_WRONLY | O_TRUNC);
    ASSERT_EQ(write(fd, "not a framebuffer", 17), 17);
    close(fd);
    try {
        ScreenCapture none;
        ADD_FAILURE() << "a file without a screen record was taken";
    } catch (std::runtime_error const& e) {
        EXPECT_NE(std::string(e.what()).find("screen info: Inappropriate ioctl for device"),
                  std::string::npos)
            << e.what();
    }
}

TEST(ScreenCapture, DrawingModeChecksTheMemoryForItsBuffers) {
    writeStandInFramebuffer("/dev/fb0", W, H, black);
    EXPECT_THROW(FbLinux("/dev/fb0", 2).init(),
                 std::runtime_error); // two screens do not fit one screen's memory
    EXPECT_THROW(FbLinux("/dev/nothing").init(), std::runtime_error);
}

} // namespace
