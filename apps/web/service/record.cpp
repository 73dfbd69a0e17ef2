#include "record.h"

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {
// The room a record may need: header, the largest content, the largest padding.
constexpr std::size_t RECORD_BUFFER_SIZE = Constants::FCGI_HEADER_SIZE + Constants::FCGI_MAX_SEND_CONTENT + 8;
constexpr std::size_t PAGE_SIZE = 4 * RECORD_BUFFER_SIZE;
// Pages handed to one sendmsg: far below IOV_MAX.
constexpr std::size_t MAX_PIECES_PER_SEND = 32;
} // namespace

char* RecordQueue::room(std::size_t recordSize) {
    if (mPages.empty() || PAGE_SIZE - mPages.back().size < recordSize) {
        Page page = std::move(mSpare);
        if (!page.bytes)
            page.bytes.reset(new char[PAGE_SIZE]);
        page.size = page.sent = 0;
        mPages.push_back(std::move(page));
    }
    return mPages.back().bytes.get() + mPages.back().size;
}

void RecordQueue::frame(RecordHeader header) {
    Page& page = mPages.back();
    auto* out = reinterpret_cast<unsigned char*>(page.bytes.get() + page.size);
    header.write(out);
    memset(out + Constants::FCGI_HEADER_SIZE + header.contentLength, 0, header.paddingLength);
    page.size += header.recordSize();
    mQueued += header.recordSize();
}

ssize_t RecordQueue::send(int fd, bool printing) {
    iovec pieces[MAX_PIECES_PER_SEND];
    std::size_t count = 0;
    for (auto it = mPages.begin(); it != mPages.end() && count < MAX_PIECES_PER_SEND; ++it)
        if (it->sent < it->size)
            pieces[count++] = {it->bytes.get() + it->sent, it->size - it->sent};
    msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = pieces;
    message.msg_iovlen = count;
    ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent <= 0)
        return sent;
    std::size_t left = std::size_t(sent);
    mQueued -= left;
    for (auto it = mPages.begin(); left > 0; ++it) {
        std::size_t taken = std::min(left, it->size - it->sent);
        it->sent += taken;
        left -= taken;
    }
    // Sent pages make room: the last one is used again from its start when nothing is being printed into it,
    // and one of the others is kept for the next page of the answer.
    while (mPages.size() > 1 && mPages.front().sent == mPages.front().size) {
        if (!mSpare.bytes)
            mSpare = std::move(mPages.front());
        mPages.pop_front();
    }
    if (!printing && mPages.front().sent == mPages.front().size)
        mPages.front().size = mPages.front().sent = 0;
    return sent;
}

std::size_t RecordQueue::drop() {
    std::size_t dropped = mQueued;
    for (Page& page : mPages)
        page.sent = page.size;
    mQueued = 0;
    return dropped;
}

void RecordQueue::release() {
    mPages.clear();
    mSpare = Page();
}
