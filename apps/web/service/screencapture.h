#pragma once

// The frame on the device's display as PNG, encoded by libpng straight from the mapped framebuffer.
//
// A capture that fails throws (the libpng structures are released first) after some bytes may already be in
// the stream: a caller that must not send half a picture encodes into a stream of its own first.

#include <ostream>

#include "fb-linux.h"

class ScreenCapture : public FbLinux {
public:
    ScreenCapture(); // capture mode on "/dev/fb0", mapped at once

    // 32 bits per pixel in blue, green, red, alpha order are expected; any other depth is refused rather than
    // read past the mapping.
    void startWrite(std::ostream& stream);
    void write(unsigned char* data, unsigned length);

private:
    std::ostream* out = nullptr; // set during startWrite
};

std::ostream& operator<<(std::ostream& stream, ScreenCapture& capture);
