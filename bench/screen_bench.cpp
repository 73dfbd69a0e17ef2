// One screen capture of 800 x 480 at 32 bits, as /api/v1/screen.cgi makes it (ScreenCapture encoding into
// memory), beside libpng's simplified writer on the same frame (png_image_write_to_memory, reading blue,
// green, red, alpha directly). Two pictures: a GUI-like one of flat bars, as the device's display mostly is,
// and noise, the worst case for the encoder. Runs in the device sandbox, where /dev/fb0 is a stand-in file:
//
//   screen_bench [Google Benchmark options]

#include <benchmark/benchmark.h>
#include <cstdint>
#include <memory>
#include <png.h>
#include <random>
#include <sstream>
#include <vector>

#include "screencapture.h"
#include "standin.h"

namespace {

constexpr uint32_t W = 800, H = 480;

uint32_t gui(uint32_t x, uint32_t y) {
    uint32_t bar = y / 100;
    if (y % 100 < 60 && x >= 40 && x < W - 40)
        return x < 40 + (W - 80) * (bar + 1) / 5 ? 0xff40c040u + bar * 0x101010u : 0xff505050u;
    return 0xff202020u;
}

uint32_t noise(uint32_t, uint32_t) {
    static std::mt19937 random(7);
    return uint32_t(random()) | 0xff000000u;
}

// The stand-in framebuffer with the picture, and the capture mapped on it.
ScreenCapture& capture(bool flat) {
    static bool current = !flat;
    static std::unique_ptr<ScreenCapture> screen;
    if (!screen || current != flat) {
        screen.reset();
        writeStandInFramebuffer("/dev/fb0", W, H, flat ? gui : noise);
        screen = std::make_unique<ScreenCapture>();
        current = flat;
    }
    return *screen;
}

void Endpoint(benchmark::State& state) {
    ScreenCapture& screen = capture(state.range(0) != 0);
    size_t bytes = 0;
    for (auto _ : state) {
        std::ostringstream png;
        png << screen;
        bytes = png.str().size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["png_bytes"] = double(bytes);
}

void SimplifiedWriter(benchmark::State& state) {
    ScreenCapture& screen = capture(state.range(0) != 0);
    size_t bytes = 0;
    std::vector<unsigned char> out(size_t(W) * H * 5);
    for (auto _ : state) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = W;
        image.height = H;
        image.format = PNG_FORMAT_BGRA;
        png_alloc_size_t size = out.size();
        if (!png_image_write_to_memory(&image, out.data(), &size, 0, screen.currentAddress(), 0, nullptr)) {
            state.SkipWithError(image.message);
            break;
        }
        bytes = size;
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["png_bytes"] = double(bytes);
}

} // namespace

// Argument 1: the GUI-like picture; 0: noise.
BENCHMARK(SimplifiedWriter)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(Endpoint)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
