#pragma once

// The Linux framebuffer: in drawing mode (the device's GUI) a virtual screen of several buffers that are
// drawn hidden and panned onto the display; in capture mode (the web service) read-only access to whatever
// buffer the display shows, without changing anything on the device.
//
// On a character device every request goes to the driver unchanged; a regular file is served by the stand-in
// of fb-file.h instead.

#include <cstdint>
#include <linux/fb.h>
#include <string>

class FbLinux {
public:
    explicit FbLinux(std::string const& device);         // capture mode
    FbLinux(std::string const& device, int bufferCount); // drawing mode
    ~FbLinux();                                          // unmaps; the descriptor stays open
    FbLinux(FbLinux const&) = delete;
    FbLinux& operator=(FbLinux const&) = delete;

    void init();
    void mapFramebuffer();

    void waitVSync();
    void show();  // drawing mode: pan to the current buffer and move on to the next
    void clear(); // drawing mode: zero the current buffer

    unsigned char* backbufferAddress() const;
    unsigned char* frontbufferAddress() const;
    unsigned char* currentAddress(); // re-reads the pan offset

    int bytesPerPixel() const { return (var.bits_per_pixel + 7) / 8; }
    std::size_t frameSize() const { return std::size_t(bytesPerPixel()) * var.yres * var.xres; }
    int buffers() const { return bufferCount; }
    fb_var_screeninfo const& screenInfo() const { return var; }
    fb_fix_screeninfo const& fixedInfo() const { return fix; }

protected:
    std::string device;
    int fd = -1;
    int bufferCount;
    int currentBuffer = 0;
    bool readOnly;
    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    unsigned char* map;

private:
    // ioctl on a device; the same requests served by the stand-in on a regular file.
    int control(unsigned long request, void* argument);
    bool regularFile = false;
};
