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
#include "log.h"

namespace {

constexpr unsigned char INITIAL_HEADER[Constants::FCGI_HEADER_SIZE] = {1, 0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char LAST_KNOWN_TYPE = 10;
constexpr size_t MAX_RECORD_SIZE = Constants::FCGI_HEADER_SIZE + Constants::FCGI_RECEIVE_BUFFER_SIZE;
// Small enough that an idle connection costs little; a record that does not fit grows the buffer to its size.
constexpr size_t INITIAL_INPUT_SIZE = 4096;

unsigned recordSize(unsigned char const* header) {
    return Constants::FCGI_HEADER_SIZE + (unsigned(header[4]) << 8 | header[5]) + header[6];
}

std::string const EMPTY;

} // namespace

Request::Request(Fcgi* fcgi, int fd, int id)
    : fcgi(fcgi), fd(fd), id(static_cast<unsigned>(id)), keepConnection(true), headerWritten(false), header(),
      watched(false), marked(false), peerGone(false), mInputStart(0), mInputEnd(0), mParamsSize(0),
      mStalledSince() {
    memcpy(header, INITIAL_HEADER, sizeof header);
}

Request::~Request() {
    close();
}

void Request::event(EventPoll::EventType type) {
    if (type == EventPoll::Hangup) {
        fcgi->removeRequest(this);
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

    bool taken = false;
    // Handing a request over may answer it and close the connection, or mark it; then the rest is not ours to
    // read.
    while (fd != -1 && !marked && mInputEnd - mInputStart >= Constants::FCGI_HEADER_SIZE) {
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
        break;
    case STDIN:
        if (contentLength > 0)
            appendPostData(content, contentLength);
        else if (!mRefusal.empty())
            answerRefusal();
        else
            fcgi->addRequest(this);
        break;
    default:
        break;
    }
    return true;
}

void Request::begin(unsigned short requestId, bool keep) {
    params.clear();
    outputStream.str(std::string());
    outputStream.clear();
    error.str(std::string());
    error.clear();
    std::string().swap(
        postData); // an upload of several hundred MiB must not stay allocated on a kept connection
    headerWritten = false;
    keepConnection = keep;
    header[2] = static_cast<unsigned char>(requestId >> 8);
    header[3] = static_cast<unsigned char>(requestId);
    mParamsSize = 0;
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
            refuse("431 Request Header Fields Too Large",
                   "Request parameters larger than " + std::to_string(Constants::FCGI_MAX_PARAMS_SIZE) +
                       " bytes.");
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
    if (postData.size() + static_cast<size_t>(length) > Constants::FCGI_MAX_POST_DATA_SIZE) {
        refuse("413 Payload Too Large",
               "Request body larger than " + std::to_string(Constants::FCGI_MAX_POST_DATA_SIZE) + " bytes.");
        return;
    }
    try {
        // The announced length is reserved at once: growing by doubling would need up to three times the body
        // for a moment, which a large upload cannot afford.
        if (postData.empty()) {
            char* end = nullptr;
            std::string const& announced = param("CONTENT_LENGTH");
            unsigned long long expected = strtoull(announced.c_str(), &end, 10);
            if (!announced.empty() && *end == '\0' && expected <= Constants::FCGI_MAX_POST_DATA_SIZE)
                postData.reserve(static_cast<size_t>(expected));
        }
        postData.append(reinterpret_cast<char*>(data), static_cast<size_t>(length));
    } catch (std::bad_alloc const&) {
        refuse("413 Payload Too Large", "Request body of more than " + std::to_string(postData.size()) +
                                            " bytes does not fit in memory.");
    }
}

void Request::refuse(char const* status, std::string const& reason) {
    // The rest of the request is still read (and dropped), so that the connection stays in step and the web
    // server receives the answer instead of a reset.
    LOG(Warn, "Request %u refused: %s", id, reason.c_str());
    std::string().swap(postData);
    params.clear();
    mRefusal = std::string("Status: ") + status + "\r\n" + Constants::FCGI_DEFAULT_HEADER +
               "{\"result\": 0, \"error\": \"" + reason + "\" }";
}

void Request::answerRefusal() {
    writeHeader(mRefusal.c_str());
    mRefusal.clear();
    end();
}

std::stringstream& Request::output() {
    if (!headerWritten) {
        outputStream << Constants::FCGI_DEFAULT_HEADER;
        headerWritten = true;
    }
    if (outputStream.tellp() > static_cast<std::streamoff>(Constants::FCGI_OUTPUT_FLUSH_THRESHOLD))
        sendOutput();
    return outputStream;
}

void Request::writeHeader(char const* text) {
    headerWritten = true;
    outputStream << text;
}

void Request::sendOutput() {
    if (!fcgi)
        throw std::runtime_error("Request has no Fcgi.");
    header[1] = STDOUT;
    std::string const text = outputStream.str();
    writeRecord(text.data(), static_cast<unsigned>(text.size()));
    outputStream.str(std::string());
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
    sendOutput();
    sendError();
    header[1] = END_REQUEST;
    static char const body[8] = {}; // appStatus 0, protocolStatus 0 (request complete)
    writeRecord(body, sizeof body);
    LOG(DebugMost, "REQUEST    end(%i, %i)", id, requestId());
    if (!keepConnection) {
        fcgi->removeRequest(this);
        close();
    }
}

int Request::writeRecord(char const* data, unsigned int length) {
    if (fd == -1) {
        errno = EBADF;
        THROW_ERROR_NUMBER("Request is already closed.");
    }
    if (length == 0 || peerGone)
        return length == 0 ? 0 : -1;

    unsigned char recordHeader[Constants::FCGI_HEADER_SIZE];
    memcpy(recordHeader, header, sizeof recordHeader);
    recordHeader[6] = 0;
    unsigned padding = (8 - length % 8) % 8;
    static char zeros[8] = {};
    while (length > 0) {
        unsigned chunk = std::min(length, Constants::FCGI_MAX_SEND_CONTENT);
        bool last = chunk == length;
        recordHeader[4] = static_cast<unsigned char>(chunk >> 8);
        recordHeader[5] = static_cast<unsigned char>(chunk);
        recordHeader[6] = static_cast<unsigned char>(last ? padding : 0);
        LOG(DebugAll, "REQUEST     tx(%i, %i, %i)", requestId(), recordHeader[1], chunk);
        // One call per record: header, content and padding leave together.
        iovec pieces[3] = {{recordHeader, sizeof recordHeader},
                           {const_cast<char*>(data), chunk},
                           {zeros, last ? padding : 0}};
        if (!writeAll(pieces, last && padding ? 3 : 2, last ? padding : 0))
            return -1;
        data += chunk;
        length -= chunk;
    }
    return 0;
}

bool Request::writeAll(iovec* pieces, int count, size_t paddingLength) {
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += pieces[i].iov_len;
    size_t written = 0;
    while (written < total) {
        msghdr message;
        memset(&message, 0, sizeof message);
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        auto callStart = std::chrono::steady_clock::now();
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            int failure = errno;
            if (written >= total - paddingLength)
                LOG(Warn, "Could not write padding: %s", strerror(failure));
            peerLost(strerror(failure));
            return false;
        }
        if (sent < 0)
            sent = 0;
        if (written + static_cast<size_t>(sent) < total) {
            // Short or timed out: the peer is not taking what we send. It may be slow; it is gone once this
            // has lasted for the whole limit.
            if (mStalledSince == std::chrono::steady_clock::time_point())
                mStalledSince = callStart;
            if (std::chrono::steady_clock::now() - mStalledSince >=
                std::chrono::milliseconds(Constants::FCGI_SEND_TIMEOUT_MS)) {
                if (written + static_cast<size_t>(sent) >= total - paddingLength)
                    LOG(Warn, "Could not write padding: %s", strerror(ETIMEDOUT));
                peerLost("peer stopped reading");
                return false;
            }
        } else {
            mStalledSince = std::chrono::steady_clock::time_point();
        }
        written += static_cast<size_t>(sent);
        size_t skip = static_cast<size_t>(sent);
        while (count > 0 && skip >= pieces[0].iov_len) {
            skip -= pieces[0].iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces[0].iov_base = static_cast<char*>(pieces[0].iov_base) + skip;
            pieces[0].iov_len -= skip;
        }
    }
    return true;
}

void Request::peerLost(char const* reason) {
    // Once one write has failed, the stream is out of step for the peer: nothing more is sent, the connection
    // is released as for a hang-up, and the answer's remaining writes return at once.
    LOG(Warn, "Request %u: answer dropped, %s", id, reason);
    peerGone = true;
    if (fcgi)
        fcgi->removeRequest(this);
}

void Request::close() {
    if (fd == -1)
        return;
    if (watched && fcgi)
        fcgi->unwatch(this);
    shutdown(fd, SHUT_RDWR);
    ::close(fd);
    fd = -1;
}
