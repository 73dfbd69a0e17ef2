#pragma once

// The eight bytes in front of every FastCGI record, and the queue of framed records an answer waits in.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <sys/types.h>

namespace Constants {
constexpr unsigned FCGI_HEADER_SIZE = 8;
constexpr unsigned FCGI_RECEIVE_BUFFER_SIZE = 65792; // 65535 content bytes and 255 padding bytes
constexpr unsigned FCGI_MAX_SEND_CONTENT = 65528;    // a multiple of 8: only the last record needs padding
} // namespace Constants

enum RecordType : uint8_t {
    BEGIN_REQUEST = 1,
    ABORT_REQUEST = 2,
    END_REQUEST = 3,
    PARAMS = 4,
    STDIN = 5,
    STDOUT = 6,
    STDERR = 7,
    DATA = 8,
    GET_VALUES = 9,
    GET_VALUES_RESULT = 10,
};

struct RecordHeader {
    uint8_t version = 1;
    uint8_t type = 0;
    uint16_t requestId = 0;
    uint16_t contentLength = 0;
    uint8_t paddingLength = 0;
    uint8_t reserved = 0;

    // The header at bytes, as the peer sent it (big-endian lengths).
    static RecordHeader read(unsigned char const* bytes) {
        return {bytes[0], bytes[1], uint16_t(bytes[2] << 8 | bytes[3]), uint16_t(bytes[4] << 8 | bytes[5]),
                bytes[6], bytes[7]};
    }
    void write(unsigned char* bytes) const {
        unsigned char const wire[Constants::FCGI_HEADER_SIZE] = {version,
                                                                 type,
                                                                 uint8_t(requestId >> 8),
                                                                 uint8_t(requestId),
                                                                 uint8_t(contentLength >> 8),
                                                                 uint8_t(contentLength),
                                                                 paddingLength,
                                                                 reserved};
        for (unsigned i = 0; i < Constants::FCGI_HEADER_SIZE; ++i)
            bytes[i] = wire[i];
    }
    // Header, content and padding.
    std::size_t recordSize() const { return Constants::FCGI_HEADER_SIZE + contentLength + paddingLength; }
};

// Records framed back to back in pages of four of the largest, in sending order. A record starts on a new
// page when the rest of the page could not hold the largest, so no record ever moves, and at most a quarter
// of a page stays unused; content is printed where it will be sent, with room for the header in front and the
// padding behind.
class RecordQueue {
public:
    // Room for a record of that size at the end of the queue; its content goes FCGI_HEADER_SIZE bytes in.
    char* room(std::size_t recordSize);
    // The content at the last room() becomes a record: header and zero padding around it, queued.
    void frame(RecordHeader header);
    std::size_t queued() const { return mQueued; }

    // Sends what the socket takes now, up to 32 pages in one call; the bytes taken, or -1 and errno.
    // printing: a record is being printed into the last page, which is then not reused.
    ssize_t send(int fd, bool printing);
    // Drops every queued byte; how many there were.
    std::size_t drop();
    // Frees the pages of a finished answer (nothing may be printing into them).
    void release();

private:
    struct Page {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0; // framed
        std::size_t sent = 0; // of them taken by the peer
    };
    std::deque<Page> mPages;
    Page mSpare; // a sent page kept for the next one of the same answer
    std::size_t mQueued = 0;
};
