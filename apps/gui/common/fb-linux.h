#pragma once

// The Linux framebuffer: in drawing mode (the device's GUI) a virtual screen of several buffers that are
// drawn hidden and panned onto the display; in capture mode (the web service) read-only access to whatever
// buffer the display shows, without changing anything on the device.
//
// A regular file can stand in for the device where there is no framebuffer (the simulated device): it holds
// the pixel memory followed by a FileRecord, from which the screen information is read and into which pan and
// resolution changes are written. Vertical sync on such a file waits for the next 60 Hz tick. On a character
// device every request goes to the driver unchanged.

#include <cstdint>
#include <linux/fb.h>
#include <string>

class FbLinux {
public:
    // The tail of a regular file standing in for a framebuffer. Fixed-width fields, so that writers and
    // readers of other word sizes agree.
    struct FileRecord {
        static constexpr uint32_t MAGIC = 0x31424653; // "SFB1"
        uint32_t magic;
        uint32_t xres, yres;               // visible resolution
        uint32_t xresVirtual, yresVirtual; // the virtual screen: yresVirtual / yres buffers
        uint32_t xoffset, yoffset;         // the pan position: the buffer on display
        uint32_t bitsPerPixel;
        uint32_t lineLength; // bytes per line
        uint32_t pixclock;   // picoseconds per pixel, 0 when unknown
        uint32_t smemLength; // bytes of pixel memory before the record
    };

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
    // ioctl on a device; the same requests served from the FileRecord on a regular file.
    int control(unsigned long request, void* argument);
    bool regularFile = false;
};
