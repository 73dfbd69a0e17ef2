#include "request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "jsonwriter.h"
#include "log.h"

namespace {

constexpr unsigned char LAST_KNOWN_TYPE = GET_VALUES_RESULT;
constexpr size_t MAX_RECORD_SIZE = Constants::FCGI_HEADER_SIZE + Constants::FCGI_RECEIVE_BUFFER_SIZE;
// Small enough that an idle connection costs little; a record that does not fit grows the buffer to its size.
constexpr size_t INITIAL_INPUT_SIZE = 4096;
// One name-value length: one byte below 128, else four with the top bit set; advances position. -1 when the
// bytes left do not hold it.
long long nameValueLength(unsigned char const*& position, unsigned char const* end) {
    if (position == end)
        return -1;
    if (position[0] < 128)
        return *position++;
    if (end - position < 4)
        return -1;
    long long length = (position[0] & 0x7f) << 24 | position[1] << 16 | position[2] << 8 | position[3];
    position += 4;
    return length;
}

std::string const EMPTY;

} // namespace

Request::Request(Owner& owner, int fd, unsigned id)
    : mOwner(owner), mFd(fd), mId(id), mOutputBuffer(*this), mOutput(&mOutputBuffer) {}

Request::~Request() {
    close();
    releaseBody();
}

void Request::event(EventPoll::EventType type) {
    // An event of the same wake-up may come after the listener gave this connection up.
    if (mFd == -1 || mReleased)
        return;
    if (type == EventPoll::Hangup) {
        releaseToOwner();
        return;
    }
    if (type == EventPoll::Write) {
        mBlocked = false;
        flush();
        produce();
        // Records that came in with the last request wait in our buffer, where no readiness reports them.
        if (mQueue.queued() == 0 && !mSource && mFd != -1 && !mReleased)
            processInput();
        return;
    }
    readRecord();
}

std::chrono::steady_clock::time_point Request::idleSince() const {
    return answered() ? mIdleSince : mLastInput;
}

bool Request::readRecord() {
    // Move the unfinished record to the front, and make room for all of it once its header tells its size.
    if (mInputStart > 0) {
        memmove(mInput.data(), mInput.data() + mInputStart, mInputEnd - mInputStart);
        mInputEnd -= mInputStart;
        mInputStart = 0;
    }
    size_t wanted = INITIAL_INPUT_SIZE;
    if (mInputEnd >= Constants::FCGI_HEADER_SIZE)
        wanted = std::max(wanted, RecordHeader::read(mInput.data()).recordSize());
    if (mInput.size() < wanted)
        mInput.resize(std::min(wanted, MAX_RECORD_SIZE));

    ssize_t count = recv(mFd, mInput.data() + mInputEnd, mInput.size() - mInputEnd, MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    if (count <= 0) {
        // End of stream (or a reset): with a level-triggered poll a closed peer would be reported readable
        // forever, so the connection is released as for a hang-up. A record cut short here is dropped with
        // it.
        LOG(DebugMost, "REQUEST    eof(%i, %s)", mId, count == 0 ? "closed" : strerror(errno));
        releaseToOwner();
        return false;
    }
    mInputEnd += static_cast<size_t>(count);
    mLastInput = std::chrono::steady_clock::now();
    mIdleSince = {};
    return processInput();
}

bool Request::processInput() {
    bool taken = false;
    // Serving a request may answer it and close the connection, or release it; then the rest is not ours to
    // read. While an answer is queued the next request waits: one at a time per connection.
    while (mFd != -1 && !mReleased && mQueue.queued() == 0 &&
           mInputEnd - mInputStart >= Constants::FCGI_HEADER_SIZE) {
        unsigned char const* record = mInput.data() + mInputStart;
        size_t size = RecordHeader::read(record).recordSize();
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

bool Request::takeRecord(unsigned char const* record) {
    mHeader = RecordHeader::read(record);
    unsigned char const* content = record + Constants::FCGI_HEADER_SIZE;
    size_t length = mHeader.contentLength;
    LOG(DebugAll, "REQUEST     rx(%i, %i, %i)", mHeader.requestId, mHeader.type, int(length));
    if (mHeader.type > LAST_KNOWN_TYPE)
        return false;
    switch (mHeader.type) {
    case BEGIN_REQUEST:
        // A body too short to hold the flags asks for nothing, so the connection is not kept.
        begin(length >= 3 && (content[2] & 1) != 0);
        break;
    case PARAMS:
        if (length > 0)
            addParams(content, length);
        else if (!mParamsComplete)
            paramsComplete();
        break;
    case STDIN:
        // A peer that never ends its parameters with an empty record ends them with the body.
        if (!mParamsComplete)
            paramsComplete();
        if (length > 0)
            appendPostData(content, length);
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

void Request::begin(bool keep) {
    mParams.clear();
    mOutputBuffer.discard();
    mOutput.clear();
    mError.str(std::string());
    mError.clear();
    releaseBody();
    mHandling.reset();
    mBodySize = 0;
    mHeaderWritten = false;
    mKeepConnection = keep;
    mParamsSize = 0;
    mParamsComplete = false;
    mRefusal.clear();
    LOG(DebugMost, "REQUEST  begin(%i, %i, %s)", mFd, mHeader.requestId, keep ? "true" : "false");
}

void Request::addParams(unsigned char const* content, size_t length) {
    unsigned char const* position = content;
    unsigned char const* const end = content + length;
    while (position < end && mRefusal.empty()) {
        long long nameLength = nameValueLength(position, end);
        long long valueLength = nameLength < 0 ? -1 : nameValueLength(position, end);
        if (valueLength < 0 || nameLength + valueLength > end - position ||
            (nameLength == 0 && valueLength == 0))
            break;
        mParamsSize += size_t(nameLength + valueLength);
        if (mParamsSize > Constants::FCGI_MAX_PARAMS_SIZE) {
            refuseOverLimit("431 Request Header Fields Too Large",
                            "Request parameters larger than " +
                                std::to_string(Constants::FCGI_MAX_PARAMS_SIZE) + " bytes.");
            return;
        }
        std::string name(reinterpret_cast<char const*>(position), size_t(nameLength));
        position += nameLength;
        std::string value(reinterpret_cast<char const*>(position), size_t(valueLength));
        position += valueLength;
        addParam(std::move(name), std::move(value));
    }
}

void Request::addParam(std::string name, std::string value) {
    mParams[std::move(name)] = std::move(value);
}

std::string const& Request::param(std::string const& name) const {
    auto found = mParams.find(name);
    return found == mParams.end() ? EMPTY : found->second;
}

void Request::paramsComplete() {
    mParamsComplete = true;
    if (mRefusal.empty())
        mOwner.paramsComplete(*this);
}

void Request::appendPostData(unsigned char const* data, size_t length) {
    if (!mRefusal.empty())
        return;
    mBodySize += length;
    if (mBodySize > Constants::FCGI_MAX_POST_DATA_SIZE) {
        refuseOverLimit("413 Payload Too Large", "Request body larger than " +
                                                     std::to_string(Constants::FCGI_MAX_POST_DATA_SIZE) +
                                                     " bytes.");
        return;
    }
    if (mHandling && mHandling->takesBody()) {
        mHandling->take(std::string_view(reinterpret_cast<char const*>(data), length));
        return;
    }
    if (!mOwner.bodyFits(length)) {
        refuseOverLimit("413 Payload Too Large", "Request bodies held at once larger than " +
                                                     std::to_string(Constants::FCGI_MAX_HELD_BODIES) +
                                                     " bytes.");
        return;
    }
    try {
        // The announced length is reserved at once: growing by doubling would need up to three times the body
        // for a moment.
        if (mPostData.empty()) {
            char* end = nullptr;
            std::string const& announced = param("CONTENT_LENGTH");
            unsigned long long expected = strtoull(announced.c_str(), &end, 10);
            if (!announced.empty() && *end == '\0' && expected <= Constants::FCGI_MAX_HELD_BODIES)
                mPostData.reserve(static_cast<size_t>(expected));
        }
        mPostData.append(reinterpret_cast<char const*>(data), length);
        mBodyHeld += length;
        mOwner.bodyHeld(static_cast<long long>(length));
    } catch (std::bad_alloc const&) {
        refuseOverLimit("413 Payload Too Large", "Request body of more than " +
                                                     std::to_string(mPostData.size()) +
                                                     " bytes does not fit in memory.");
    }
}

void Request::releaseBody() {
    // An upload of several hundred MiB must not stay allocated on a kept connection, nor count for others.
    std::string().swap(mPostData);
    if (mBodyHeld > 0)
        mOwner.bodyHeld(-static_cast<long long>(mBodyHeld));
    mBodyHeld = 0;
}

void Request::handOver() {
    if (mHandling)
        mHandling->bodyComplete();
    mHandedOver = true;
    mHandedOverAt = std::chrono::steady_clock::now();
    mAnswerFramed = false;
    mOwner.complete(*this);
}

void Request::refuseOverLimit(char const* status, std::string const& reason) {
    LOG(Warn, "Request %u refused: %s", mId, reason.c_str());
    refuse(status, JsonWriter::error(reason));
}

void Request::refuse(char const* status, std::string const& body) {
    // The rest of the request is still read (and dropped), so that the connection stays in step and the web
    // server receives the answer instead of a reset.
    releaseBody();
    mHandling.reset();
    mParams.clear();
    mRefusal = std::string("Status: ") + status + "\r\n" + Constants::FCGI_DEFAULT_HEADER + body;
}

void Request::answerRefusal() {
    writeHeader(mRefusal.c_str());
    mRefusal.clear();
    end();
}

void Request::drop(char const* reason, gen::LogLevel level) {
    // Once one write has failed, the stream is out of step for the peer: nothing more is sent, the connection
    // is released as for a hang-up, and the answer's remaining writes return at once.
    if (mPeerGone)
        return;
    logMessage(gComponentLogLevel, level, __FILE__, __LINE__, "Request %u: connection closed, %s", mId,
               reason);
    mPeerGone = true;
    dropQueue();
    if (mFd != -1)
        shutdown(mFd, SHUT_RDWR);
    releaseToOwner();
}

void Request::releaseToOwner() {
    if (mReleased)
        return;
    mReleased = true;
    mOwner.release(*this);
}

void Request::close() {
    if (mFd == -1)
        return;
    try {
        mOwner.unwatch(*this);
    } catch (std::exception const&) {
        // logged by the poll; the descriptor is closed all the same
    }
    dropQueue();
    shutdown(mFd, SHUT_RDWR);
    ::close(mFd);
    mFd = -1;
}
