#pragma once

// Follows the kernel log through a `dmesg` child and keeps it, converted to HTML, for the web GUI's log page.
// The colour escape sequences dmesg writes become <span> elements as the text arrives; a sequence cut between
// two reads is completed by the next one.

#include <cstddef>
#include <string>

#include "eventpoll.h"

namespace Constants {
// At most the newest LOG_KEPT_SIZE bytes of converted text are kept for the log page: a device runs for
// months, and every request of the GUI adds a line. Past it, LOG_TRIM_STEP more goes at once (up to a line
// start), so that trimming is rare.
constexpr std::size_t LOG_KEPT_SIZE = std::size_t(4) << 20;
constexpr std::size_t LOG_TRIM_STEP = std::size_t(256) << 10;
} // namespace Constants

class KernelLog final : public EventPoll::Callback {
public:
    explicit KernelLog(EventPoll& poll);
    ~KernelLog(); // stops the child with SIGTERM, unregisters and closes the pipe
    KernelLog(KernelLog const&) = delete;
    KernelLog& operator=(KernelLog const&) = delete;

    // Starts "dmesg --color=always -w" and watches its output without ever blocking the loop.
    void init();
    // Runs "/bin/sh -c command" with its standard output on a new pipe; returns the read end, sets pid.
    int popen(char const* command, int& pid);

    void event(EventPoll::EventType type) override;
    // Reads what the pipe holds, 256 bytes at a time, and converts it.
    void parseData();
    // Appends one piece of dmesg output, converted; the escape state carries over to the next piece. The
    // oldest lines go once the kept text passes its bound.
    void convert(char const* text, std::size_t length);

    // Six hex digits: bit 0 of colour picks red on/off, bit 1 green, bit 2 blue.
    static std::string getColor(int colour, char const* on, char const* off);

    // Offsets that clients send count bytes converted since start-up; the kept text is the newest of them,
    // from oldest() to size().
    std::string const& text() const { return buffer; }
    std::size_t size() const { return dropped + buffer.size(); }
    std::size_t oldest() const { return dropped; }
    // dmesg has ended: the log does not grow any more.
    bool ended() const { return hungUp && fd < 0; }

private:
    void appendStyle();
    void convertPiece(char const* text, std::size_t length);
    void trim();

    EventPoll& poll;
    std::string buffer;      // the newest converted text
    std::size_t dropped = 0; // converted bytes no longer kept
    int fd = -1;             // read end of the pipe from the shell
    int pid = 0;             // the shell
    // Set while an escape sequence is being read, also across reads; after the read that set it only its
    // being set matters, it is never read through.
    char const* pendingEscape = nullptr;
    int code = 0;                   // number of the escape sequence being read
    bool pendingIntroducer = false; // the ESC ended a read: the byte after it ("[") opens the next one
    bool hungUp = false;            // the warning is written once
};
