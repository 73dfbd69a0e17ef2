#include "request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "fcgi.h"
#include "jsontext.h"
#include "log.h"

namespace {

constexpr unsigned char INITIAL_HEADER[Constants::FCGI_HEADER_SIZE] = {1, 0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char LAST_KNOWN_TYPE = 10;
constexpr size_t MAX_RECORD_SIZE = Constants::FCGI_HEADER_SIZE + Constants::FCGI_RECEIVE_BUFFER_SIZE;
// Small enough that an idle connection costs little; a record that does not fit grows the buffer to its size.
constexpr size_t INITIAL_INPUT_SIZE = 4096;
// The room a record of the answer may need: header, the largest content, the largest padding.
constexpr size_t RECORD_BUFFER_SIZE = Constants::FCGI_HEADER_SIZE + Constants::FCGI_MAX_SEND_CONTENT + 8;
// Records are framed back to back in pages of four full ones; a record starts on a new page when the rest of
// the page could not hold the largest, so no record is ever moved, and at most a quarter of a page stays
// unused.
constexpr size_t PAGE_SIZE = 4 * RECORD_BUFFER_SIZE;
// Pages handed to one sendmsg: far below IOV_MAX.
constexpr size_t MAX_PIECES_PER_SEND = 32;

size_t padding(size_t length) {
    return (8 - length % 8) % 8;
}

unsigned recordSize(unsigned char const* header) {
    return Constants::FCGI_HEADER_SIZE + (unsigned(header[4]) << 8 | header[5]) + header[6];
}

std::string const EMPTY;

} // namespace

Request::Request(Fcgi* fcgi, int fd, int id)
    : fcgi(fcgi), fd(fd), id(static_cast<unsigned>(id)), keepConnection(true), headerWritten(false), header(),
      mOutputBuffer(*this), mOutput(&mOutputBuffer), mQueuedBytes(0), mFramedBytes(0), mEnded(false),
      mHolding(false), mBlocked(false), mWatched(false), mWritable(false), mMarked(false), mPeerGone(false),
      mInputStart(0), mInputEnd(0), mParamsSize(0) {
    memcpy(header, INITIAL_HEADER, sizeof header);
}

Request::~Request() {
    close();
    releaseBody();
}

void Request::event(EventPoll::EventType type) {
    // An event of the same wake-up may come after the listener gave this connection up.
    if (fd == -1 || mMarked)
        return;
    if (type == EventPoll::Hangup) {
        fcgi->removeRequest(this);
        return;
    }
    if (type == EventPoll::Write) {
        mBlocked = false;
        flush();
        produce();
        // Records that came in with the last request wait in our buffer, where no readiness reports them.
        if (mQueuedBytes == 0 && !mSource && fd != -1 && !mMarked)
            processInput();
        return;
    }
    readRecord();
}

bool Request::readRecord() {
    if (fd == -1)
        THROW_ERROR("Request is already closed.");

    // Move the unfinished record to the front, and make room for all of it once its header tells its size.
    if (mInputStart > 0) {
        memmove(mInput.data(), mInput.data() + mInputStart, mInputEnd - mInputStart);
        mInputEnd -= mInputStart;
        mInputStart = 0;
    }
    size_t wanted = INITIAL_INPUT_SIZE;
    if (mInputEnd >= Constants::FCGI_HEADER_SIZE)
        wanted = std::max<size_t>(wanted, recordSize(mInput.data()));
    if (mInput.size() < wanted)
        mInput.resize(std::min(wanted, MAX_RECORD_SIZE));

    ssize_t count = recv(fd, mInput.data() + mInputEnd, mInput.size() - mInputEnd, MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    if (count <= 0) {
        // End of stream (or a reset): with a level-triggered poll a closed peer would be reported readable
        // forever, so the connection is released as for a hang-up. A record cut short here is dropped with
        // it.
        LOG(DebugMost, "REQUEST    eof(%i, %s)", id, count == 0 ? "closed" : strerror(errno));
        fcgi->removeRequest(this);
        return false;
    }
    mInputEnd += static_cast<size_t>(count);
    mLastInput = std::chrono::steady_clock::now();
    mIdleSince = {};
    return processInput();
}

bool Request::processInput() {
    bool taken = false;
    // Handing a request over may answer it and close the connection, or mark it; then the rest is not ours to
    // read. While an answer is queued the next request waits: one at a time per connection.
    while (fd != -1 && !mMarked && mQueuedBytes == 0 &&
           mInputEnd - mInputStart >= Constants::FCGI_HEADER_SIZE) {
        unsigned char* record = mInput.data() + mInputStart;
        size_t size = recordSize(record);
        if (mInputEnd - mInputStart < size)
            break;
        // Taken before it is processed, so that a callback that throws cannot make us process it twice.
        mInputStart += size;
        taken = takeRecord(record);
    }
    if (mInputStart == mInputEnd)
        mInputStart = mInputEnd = 0;
    return taken;
}

bool Request::takeRecord(unsigned char* record) {
    memcpy(header, record, sizeof header);
    unsigned char type = header[1];
    int contentLength = header[4] << 8 | header[5];
    unsigned char* content = record + Constants::FCGI_HEADER_SIZE;
    LOG(DebugAll, "REQUEST     rx(%i, %i, %i)", requestId(), type, contentLength);
    if (type > LAST_KNOWN_TYPE)
        return false;

    switch (type) {
    case BEGIN_REQUEST:
        // A body too short to hold the flags asks for nothing, so the connection is not kept.
        begin(requestId(), contentLength >= 3 && (content[2] & 1) != 0);
        break;
    case PARAMS:
        if (contentLength > 0)
            addParams(content, contentLength);
        else if (!mParamsComplete)
            paramsComplete();
        break;
    case STDIN:
        // A peer that never ends its parameters with an empty record ends them with the body.
        if (!mParamsComplete)
            paramsComplete();
        if (contentLength > 0)
            appendPostData(content, contentLength);
        else if (!mRefusal.empty())
            answerRefusal();
        else
            handOver();
        break;
    default:
        break;
    }
    return true;
}

void Request::paramsComplete() {
    mParamsComplete = true;
    if (mRefusal.empty() && fcgi && fcgi->callback)
        fcgi->callback->admit(this);
}

void Request::handOver() {
    if (body)
        body->finish();
    mHandedOver = true;
    mHandedOverAt = std::chrono::steady_clock::now();
    mAnswerFramed = false;
    fcgi->addRequest(this);
}

void Request::begin(unsigned short requestId, bool keep) {
    params.clear();
    mOutputBuffer.discard();
    mOutput.clear();
    error.str(std::string());
    error.clear();
    releaseBody();
    mBodySize = 0;
    headerWritten = false;
    keepConnection = keep;
    header[2] = static_cast<unsigned char>(requestId >> 8);
    header[3] = static_cast<unsigned char>(requestId);
    mParamsSize = 0;
    mParamsComplete = false;
    mRefusal.clear();
    LOG(DebugMost, "REQUEST  begin(%i, %i, %s)", fd, requestId, keep ? "true" : "false");
}

int Request::getLength(unsigned char*& position, int& bytesLeft) {
    if (bytesLeft < 1)
        return -1;
    if (position[0] < 128) {
        --bytesLeft;
        return *position++;
    }
    if (bytesLeft < 4)
        return -1;
    int length = (position[0] & 0x7f) << 24 | position[1] << 16 | position[2] << 8 | position[3];
    position += 4;
    bytesLeft -= 4;
    return length;
}

void Request::addParams(unsigned char* content, int length) {
    unsigned char* position = content;
    int bytesLeft = length;
    while (bytesLeft > 0) {
        int nameLength = getLength(position, bytesLeft);
        if (nameLength < 0)
            break;
        int valueLength = getLength(position, bytesLeft);
        if (valueLength < 0)
            break;
        if (static_cast<long long>(nameLength) + valueLength > bytesLeft ||
            (nameLength == 0 && valueLength == 0))
            break;
        if (!mRefusal.empty())
            return;
        mParamsSize += static_cast<size_t>(nameLength) + static_cast<size_t>(valueLength);
        if (mParamsSize > Constants::FCGI_MAX_PARAMS_SIZE) {
            refuseOverLimit("431 Request Header Fields Too Large",
                            "Request parameters larger than " +
                                std::to_string(Constants::FCGI_MAX_PARAMS_SIZE) + " bytes.");
            return;
        }
        std::string name(reinterpret_cast<char*>(position), static_cast<size_t>(nameLength));
        position += nameLength;
        std::string value(reinterpret_cast<char*>(position), static_cast<size_t>(valueLength));
        position += valueLength;
        bytesLeft -= nameLength + valueLength;
        addParam(name, value);
    }
}

void Request::addParam(std::string const& name, std::string const& value) {
    params[name] = value;
}

std::string const& Request::param(std::string const& name) const {
    auto found = params.find(name);
    return found == params.end() ? EMPTY : found->second;
}

void Request::appendPostData(unsigned char* data, int length) {
    if (!mRefusal.empty())
        return;
    if (mBodySize == 0 && !body && fcgi && fcgi->callback) {
        body = fcgi->callback->takeBody(this);
        if (!mRefusal.empty())
            return;
    }
    mBodySize += static_cast<size_t>(length);
    if (mBodySize > Constants::FCGI_MAX_POST_DATA_SIZE) {
        refuseOverLimit("413 Payload Too Large", "Request body larger than " +
                                                     std::to_string(Constants::FCGI_MAX_POST_DATA_SIZE) +
                                                     " bytes.");
        return;
    }
    if (body) {
        body->take(std::string_view(reinterpret_cast<char*>(data), static_cast<size_t>(length)));
        return;
    }
    if (fcgi && fcgi->mHeldBodies + static_cast<size_t>(length) > Constants::FCGI_MAX_HELD_BODIES) {
        refuseOverLimit("413 Payload Too Large", "Request bodies held at once larger than " +
                                                     std::to_string(Constants::FCGI_MAX_HELD_BODIES) +
                                                     " bytes.");
        return;
    }
    try {
        // The announced length is reserved at once: growing by doubling would need up to three times the body
        // for a moment.
        if (postData.empty()) {
            char* end = nullptr;
            std::string const& announced = param("CONTENT_LENGTH");
            unsigned long long expected = strtoull(announced.c_str(), &end, 10);
            if (!announced.empty() && *end == '\0' && expected <= Constants::FCGI_MAX_HELD_BODIES)
                postData.reserve(static_cast<size_t>(expected));
        }
        postData.append(reinterpret_cast<char*>(data), static_cast<size_t>(length));
        mBodyHeld += static_cast<size_t>(length);
        if (fcgi)
            fcgi->mHeldBodies += static_cast<size_t>(length);
    } catch (std::bad_alloc const&) {
        refuseOverLimit("413 Payload Too Large", "Request body of more than " +
                                                     std::to_string(postData.size()) +
                                                     " bytes does not fit in memory.");
    }
}

void Request::releaseBody() {
    // An upload of several hundred MiB must not stay allocated on a kept connection, nor count for others.
    std::string().swap(postData);
    if (fcgi)
        fcgi->mHeldBodies -= mBodyHeld;
    mBodyHeld = 0;
    body.reset();
}

void Request::refuseOverLimit(char const* status, std::string const& reason) {
    LOG(Warn, "Request %u refused: %s", id, reason.c_str());
    refuse(status, "{\"result\": 0, \"error\": \"" + jsonText(reason) + "\" }");
}

void Request::refuse(char const* status, std::string const& body) {
    // The rest of the request is still read (and dropped), so that the connection stays in step and the web
    // server receives the answer instead of a reset.
    releaseBody();
    params.clear();
    mRefusal = std::string("Status: ") + status + "\r\n" + Constants::FCGI_DEFAULT_HEADER + body;
}

void Request::answerRefusal() {
    writeHeader(mRefusal.c_str());
    mRefusal.clear();
    end();
}

std::ostream& Request::output() {
    if (!headerWritten) {
        mOutput << Constants::FCGI_DEFAULT_HEADER;
        headerWritten = true;
    }
    if (mOutputBuffer.buffered() > Constants::FCGI_OUTPUT_FLUSH_THRESHOLD)
        sendOutput();
    return mOutput;
}

void Request::writeHeader(char const* text) {
    headerWritten = true;
    mOutput << text;
}

void Request::sendOutput() {
    if (!fcgi)
        throw std::runtime_error("Request has no Fcgi.");
    if (fd == -1) {
        errno = EBADF;
        THROW_ERROR_NUMBER("Request is already closed.");
    }
    header[1] = STDOUT;
    frameOutput();
    flush();
}

void Request::sendError() {
    std::string const text = error.str();
    if (text.empty())
        return;
    if (!fcgi)
        throw std::runtime_error("Request has no Fcgi.");
    header[1] = STDERR;
    writeRecord(text.data(), static_cast<unsigned>(text.size()));
    error.str(std::string());
}

void Request::end() {
    if (!fcgi)
        throw std::runtime_error("Request has no Fcgi.");
    if (fd == -1) {
        errno = EBADF;
        THROW_ERROR_NUMBER("Request is already closed.");
    }
    // Everything of the answer is framed before anything is sent, so that a small answer leaves in one call.
    header[1] = STDOUT;
    frameOutput();
    std::string const errorText = error.str();
    if (!errorText.empty()) {
        queueRecords(STDERR, errorText.data(), errorText.size());
        error.str(std::string());
    }
    static char const body[8] = {}; // appStatus 0, protocolStatus 0 (request complete)
    queueRecords(END_REQUEST, body, sizeof body);
    header[1] = END_REQUEST;
    LOG(DebugMost, "REQUEST    end(%i, %i)", id, requestId());
    mEnded = true;
    mHandedOver = false;
    flush();
}

int Request::writeRecord(char const* data, unsigned int length) {
    if (fd == -1) {
        errno = EBADF;
        THROW_ERROR_NUMBER("Request is already closed.");
    }
    if (length == 0 || mPeerGone)
        return length == 0 ? 0 : -1;
    queueRecords(header[1], data, length);
    flush();
    return mPeerGone ? -1 : 0;
}

void Request::streamFrom(std::function<bool(Request&)> source) {
    mSource = std::move(source);
    produce();
}

void Request::produce() {
    size_t produced = 0;
    while (mSource && !mPeerGone && fd != -1 && mQueuedBytes < Constants::FCGI_STREAM_LOW_WATER &&
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
            LOG(Error, "Request %u: answer cut, its source failed: %s", id, e.what());
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
    if (mSource && fcgi && !mPeerGone && fd != -1)
        fcgi->watchWritable(this, true);
}

Request::OutputBuffer::int_type Request::OutputBuffer::overflow(int_type c) {
    if (pbase() && (owner.mPeerGone || owner.fd == -1))
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

char* Request::room(size_t recordSize) {
    if (mPages.empty() || PAGE_SIZE - mPages.back().size < recordSize) {
        Page page = std::move(mSpare);
        if (!page.bytes)
            page.bytes.reset(new char[PAGE_SIZE]);
        page.size = page.sent = 0;
        mPages.push_back(std::move(page));
    }
    return mPages.back().bytes.get() + mPages.back().size;
}

void Request::startRecord() {
    mOutputBuffer.reset(room(RECORD_BUFFER_SIZE) + Constants::FCGI_HEADER_SIZE);
}

void Request::frameOutput() {
    size_t length = mOutputBuffer.buffered();
    if (length == 0)
        return;
    if (mPeerGone || fd == -1) {
        mOutputBuffer.discard();
        return;
    }
    mOutputBuffer.reset(nullptr);
    frameRecord(STDOUT, length);
}

void Request::queueRecords(unsigned char type, char const* data, size_t length) {
    // Records go out in the order they are framed: what is printed and not yet framed goes first.
    frameOutput();
    while (length > 0 && !mPeerGone && fd != -1) {
        size_t chunk = std::min<size_t>(length, Constants::FCGI_MAX_SEND_CONTENT);
        memcpy(room(Constants::FCGI_HEADER_SIZE + chunk + padding(chunk)) + Constants::FCGI_HEADER_SIZE, data,
               chunk);
        frameRecord(type, chunk);
        data += chunk;
        length -= chunk;
    }
}

void Request::frameRecord(unsigned char type, size_t length) {
    // Only the last record of a stream can be shorter than the largest, so only it ever carries padding.
    Page& page = mPages.back();
    unsigned char* out = reinterpret_cast<unsigned char*>(page.bytes.get() + page.size);
    memcpy(out, header, Constants::FCGI_HEADER_SIZE);
    size_t pad = padding(length);
    out[1] = type;
    out[4] = static_cast<unsigned char>(length >> 8);
    out[5] = static_cast<unsigned char>(length);
    out[6] = static_cast<unsigned char>(pad);
    memset(out + Constants::FCGI_HEADER_SIZE + length, 0, pad);
    LOG(DebugAll, "REQUEST     tx(%i, %i, %i)", requestId(), type, int(length));
    size_t size = Constants::FCGI_HEADER_SIZE + length + pad;
    page.size += size;
    mAnswerFramed = true;
    mFramedBytes += size;
    if (mQueuedBytes == 0)
        mLastProgress = std::chrono::steady_clock::now();
    mQueuedBytes += size;
    if (fcgi)
        fcgi->queueChanged(this, static_cast<long long>(size));
}

void Request::flush() {
    size_t before = mQueuedBytes;
    while (mQueuedBytes > 0 && !mBlocked && !mHolding && !mPeerGone) {
        iovec pieces[MAX_PIECES_PER_SEND];
        size_t count = 0;
        for (auto it = mPages.begin(); it != mPages.end() && count < MAX_PIECES_PER_SEND; ++it)
            if (it->sent < it->size)
                pieces[count++] = {it->bytes.get() + it->sent, it->size - it->sent};
        msghdr message;
        memset(&message, 0, sizeof message);
        message.msg_iov = pieces;
        message.msg_iovlen = count;
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                mBlocked = true; // until the poll reports room: trying again before is a wasted call
                break;
            }
            drop(strerror(errno));
            return;
        }
        size_t left = static_cast<size_t>(sent);
        mQueuedBytes -= left;
        for (auto it = mPages.begin(); left > 0; ++it) {
            size_t taken = std::min(left, it->size - it->sent);
            it->sent += taken;
            left -= taken;
        }
        // Sent pages make room: the last one is used again from its start when nothing is being printed into
        // it, and one of the others is kept for the next page of the answer.
        while (mPages.size() > 1 && mPages.front().sent == mPages.front().size) {
            if (!mSpare.bytes)
                mSpare = std::move(mPages.front());
            mPages.pop_front();
        }
        if (!mOutputBuffer.printing() && mPages.front().sent == mPages.front().size)
            mPages.front().size = mPages.front().sent = 0;
    }
    if (mQueuedBytes != before) {
        mLastProgress = std::chrono::steady_clock::now();
        if (fcgi)
            fcgi->queueChanged(this, static_cast<long long>(mQueuedBytes) - static_cast<long long>(before));
    }
    if (mPeerGone || fd == -1)
        return;
    if (fcgi)
        fcgi->watchWritable(this, mQueuedBytes > 0 || mSource);
    if (mQueuedBytes == 0 && mEnded)
        answerSent();
}

void Request::answerSent() {
    mEnded = false;
    releaseBody();
    mIdleSince = std::chrono::steady_clock::now();
    // Nothing of a finished answer stays allocated on a connection that may now sit idle for long.
    if (!mOutputBuffer.printing()) {
        mPages.clear();
        mSpare = Page();
    }
    if (!keepConnection) {
        fcgi->removeRequest(this);
        close();
    }
}

void Request::dropQueue() {
    size_t dropped = mQueuedBytes;
    for (Page& page : mPages)
        page.sent = page.size;
    mQueuedBytes = 0;
    if (dropped > 0 && fcgi)
        fcgi->queueChanged(this, -static_cast<long long>(dropped));
}

bool Request::restartAnswer() {
    if (mAnswerFramed)
        return false;
    mOutputBuffer.discard();
    mOutput.clear();
    headerWritten = false;
    return true;
}

void Request::drop(char const* reason, gen::LogLevel level) {
    // Once one write has failed, the stream is out of step for the peer: nothing more is sent, the connection
    // is released as for a hang-up, and the answer's remaining writes return at once.
    if (mPeerGone)
        return;
    logMessage(gComponentLogLevel, level, __FILE__, __LINE__, "Request %u: connection closed, %s", id,
               reason);
    mPeerGone = true;
    dropQueue();
    if (fd != -1)
        shutdown(fd, SHUT_RDWR);
    if (fcgi)
        fcgi->removeRequest(this);
}

void Request::close() {
    if (fd == -1)
        return;
    if (mWatched && fcgi) {
        try {
            fcgi->unwatch(this);
        } catch (std::exception const&) {
            // logged by the poll; the descriptor is closed all the same
        }
    }
    dropQueue();
    shutdown(fd, SHUT_RDWR);
    ::close(fd);
    fd = -1;
}
