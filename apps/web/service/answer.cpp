// The answer side of a connection: what the web API prints goes straight into the content of the record that
// carries it, framed records queue in RecordQueue, and they leave as the peer takes them.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log.h"
#include "request.h"

namespace {
// The room a record of the answer may need: header, the largest content, the largest padding.
constexpr size_t RECORD_BUFFER_SIZE = Constants::FCGI_HEADER_SIZE + Constants::FCGI_MAX_SEND_CONTENT + 8;

uint8_t padding(size_t length) {
    return uint8_t((8 - length % 8) % 8);
}
} // namespace

std::ostream& Request::output() {
    if (!mHeaderWritten) {
        mOutput << Constants::FCGI_DEFAULT_HEADER;
        mHeaderWritten = true;
    }
    if (mOutputBuffer.buffered() > Constants::FCGI_OUTPUT_FLUSH_THRESHOLD)
        sendOutput();
    return mOutput;
}

void Request::writeHeader(char const* text) {
    mHeaderWritten = true;
    mOutput << text;
}

void Request::sendOutput() {
    if (mFd == -1) {
        errno = EBADF;
        THROW_ERROR_NUMBER("Request is already closed.");
    }
    frameOutput();
    flush();
}

void Request::end() {
    if (mFd == -1) {
        errno = EBADF;
        THROW_ERROR_NUMBER("Request is already closed.");
    }
    // Everything of the answer is framed before anything is sent, so that a small answer leaves in one call.
    frameOutput();
    std::string const errorText = mError.str();
    if (!errorText.empty()) {
        queueRecords(STDERR, errorText.data(), errorText.size());
        mError.str(std::string());
    }
    static char const body[8] = {}; // appStatus 0, protocolStatus 0 (request complete)
    queueRecords(END_REQUEST, body, sizeof body);
    LOG(DebugMost, "REQUEST    end(%i, %i)", mId, mHeader.requestId);
    mEnded = true;
    mHandedOver = false;
    flush();
}

void Request::streamFrom(std::function<bool(Request&)> source) {
    mSource = std::move(source);
    produce();
}

void Request::produce() {
    size_t produced = 0;
    while (mSource && !mPeerGone && mFd != -1 && mQueue.queued() < Constants::FCGI_STREAM_LOW_WATER &&
           produced < Constants::FCGI_STREAM_BURST) {
        size_t before = mFramedBytes + mOutputBuffer.buffered();
        bool more = false;
        // The records one call prints leave together after it: a source that prints in small pieces would
        // otherwise cost a system call for each record of the flush size.
        mHolding = true;
        try {
            more = mSource(*this);
            mHolding = false;
        } catch (std::exception const& e) {
            mHolding = false;
            mSource = nullptr;
            LOG(Error, "Request %u: answer cut, its source failed: %s", mId, e.what());
            drop("answer source failed");
            return;
        }
        // What went out at once counts too: a fast peer must not keep us here for the whole answer.
        produced += mFramedBytes + mOutputBuffer.buffered() - before + 1;
        if (!more) {
            mSource = nullptr;
            end();
        } else {
            flush();
        }
    }
    // The rest comes when the poll reports room, and with room to spare it does so at once.
    if (mSource && !mPeerGone && mFd != -1)
        mOwner.watchWritable(*this, true);
}

Request::OutputBuffer::int_type Request::OutputBuffer::overflow(int_type c) {
    if (pbase() && (owner.mPeerGone || owner.mFd == -1))
        discard(); // nobody will read it: printing goes on into the same room
    else if (pbase())
        owner.sendOutput(); // a full record
    if (!pbase())
        owner.startRecord();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

void Request::OutputBuffer::reset(char* content) {
    if (content)
        setp(content, content + Constants::FCGI_MAX_SEND_CONTENT);
    else
        setp(nullptr, nullptr);
}

void Request::startRecord() {
    mOutputBuffer.reset(mQueue.room(RECORD_BUFFER_SIZE) + Constants::FCGI_HEADER_SIZE);
}

void Request::frameOutput() {
    size_t length = mOutputBuffer.buffered();
    if (length == 0)
        return;
    if (mPeerGone || mFd == -1) {
        mOutputBuffer.discard();
        return;
    }
    mOutputBuffer.reset(nullptr);
    frameRecord(STDOUT, length);
}

void Request::queueRecords(uint8_t type, char const* data, size_t length) {
    // Records go out in the order they are framed: what is printed and not yet framed goes first.
    frameOutput();
    while (length > 0 && !mPeerGone && mFd != -1) {
        size_t chunk = std::min<size_t>(length, Constants::FCGI_MAX_SEND_CONTENT);
        memcpy(mQueue.room(Constants::FCGI_HEADER_SIZE + chunk + padding(chunk)) +
                   Constants::FCGI_HEADER_SIZE,
               data, chunk);
        frameRecord(type, chunk);
        data += chunk;
        length -= chunk;
    }
}

void Request::frameRecord(uint8_t type, size_t length) {
    // Only the last record of a stream can be shorter than the largest, so only it ever carries padding.
    RecordHeader header = mHeader;
    header.type = type;
    header.contentLength = uint16_t(length);
    header.paddingLength = padding(length);
    LOG(DebugAll, "REQUEST     tx(%i, %i, %i)", header.requestId, type, int(length));
    if (mQueue.queued() == 0)
        mLastProgress = std::chrono::steady_clock::now();
    mQueue.frame(header);
    mAnswerFramed = true;
    mFramedBytes += header.recordSize();
    mOwner.queueChanged(*this, static_cast<long long>(header.recordSize()));
}

void Request::flush() {
    size_t before = mQueue.queued();
    while (mQueue.queued() > 0 && !mBlocked && !mHolding && !mPeerGone) {
        if (mQueue.send(mFd, mOutputBuffer.printing()) >= 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            mBlocked = true; // until the poll reports room: trying again before is a wasted call
            break;
        }
        drop(strerror(errno));
        return;
    }
    if (mQueue.queued() != before) {
        mLastProgress = std::chrono::steady_clock::now();
        mOwner.queueChanged(*this, static_cast<long long>(mQueue.queued()) - static_cast<long long>(before));
    }
    if (mPeerGone || mFd == -1)
        return;
    mOwner.watchWritable(*this, mQueue.queued() > 0 || mSource);
    if (mQueue.queued() == 0 && mEnded)
        answerSent();
}

void Request::answerSent() {
    mEnded = false;
    releaseBody();
    mIdleSince = std::chrono::steady_clock::now();
    // Nothing of a finished answer stays allocated on a connection that may now sit idle for long.
    if (!mOutputBuffer.printing())
        mQueue.release();
    if (!mKeepConnection) {
        releaseToOwner();
        close();
    }
}

void Request::dropQueue() {
    size_t dropped = mQueue.drop();
    if (dropped > 0)
        mOwner.queueChanged(*this, -static_cast<long long>(dropped));
}

bool Request::restartAnswer() {
    if (mAnswerFramed)
        return false;
    mOutputBuffer.discard();
    mOutput.clear();
    mHeaderWritten = false;
    return true;
}
