#include "multipart.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "log.h"

namespace {

constexpr std::string_view TRIMMED = " \t\n\v\f\r\"";

std::string_view trim(std::string_view text) {
    size_t first = text.find_first_not_of(TRIMMED);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(TRIMMED) - first + 1);
}

bool logsDebugAll() {
    return !gComponentLogLevel ||
           static_cast<int>(*gComponentLogLevel) <= static_cast<int>(gen::LogLevel::DebugAll);
}

} // namespace

namespace Multipart {

// Update packages run to hundreds of MiB; they leave in writes of this size rather than one write per line.
constexpr size_t FILE_CHUNK = 1 << 20;

class FileSink {
public:
    ~FileSink() { close(); }
    // Opened at most once per body: several parts named "file" follow one another in it.
    void open(char const* path) {
        if (mOpened)
            return;
        mOpened = true;
        mFd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (mFd >= 0)
            mBuffer.reserve(FILE_CHUNK);
        else
            mError = errno;
    }
    void write(std::string_view bytes) {
        if (mFd < 0)
            return;
        if (mBuffer.size() + bytes.size() > FILE_CHUNK)
            flush();
        if (bytes.size() >= FILE_CHUNK)
            writeAll(bytes);
        else
            mBuffer.append(bytes);
    }
    // synced: on disk before it is closed, as a package must be before it is renamed and announced (a special
    // file that cannot be synced, EINVAL, is no failure).
    void close(bool synced = false) {
        if (mFd < 0)
            return;
        flush();
        if (synced && mFd >= 0 && fsync(mFd) != 0 && errno != EINVAL && mError == 0)
            mError = errno;
        if (mFd >= 0 && ::close(mFd) != 0 && mError == 0)
            mError = errno;
        mFd = -1;
    }
    int error() const { return mError; } // errno of the first failed open, write or close; 0 when none
    bool opened() const { return mOpened; }

private:
    void flush() {
        writeAll(mBuffer);
        mBuffer.clear();
    }
    // A failed write (a full disk) drops the rest and is remembered, so that a cut package is never
    // announced.
    void writeAll(std::string_view bytes) {
        while (!bytes.empty() && mFd >= 0) {
            ssize_t n = ::write(mFd, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                mError = n < 0 ? errno : ENOSPC;
                ::close(mFd);
                mFd = -1;
                return;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    int mFd = -1;
    bool mOpened = false;
    int mError = 0;
    std::string mBuffer;
};

void splitHeaderLine(FormFields& fields, std::string_view line) {
    LOG(DebugAll, "Splitting line: \"%.*s\"", static_cast<int>(line.size()), line.data());
    size_t start = 0;
    for (;;) {
        size_t semicolon = line.find(';', start);
        std::string_view piece = trim(line.substr(
            start, semicolon == std::string_view::npos ? std::string_view::npos : semicolon - start));
        size_t equals = piece.find('=');
        if (equals == std::string_view::npos) {
            fields.emplace(piece, std::string());
        } else {
            std::string_view key = piece.substr(0, equals);
            std::string_view value = piece.substr(equals + 1);
            size_t keyEnd = key.find_last_not_of(TRIMMED);
            key = keyEnd == std::string_view::npos ? std::string_view() : key.substr(0, keyEnd + 1);
            size_t valueStart = value.find_first_not_of(TRIMMED);
            value = valueStart == std::string_view::npos ? std::string_view() : value.substr(valueStart);
            fields.emplace(key, value);
        }
        if (semicolon == std::string_view::npos)
            return;
        start = semicolon + 1;
    }
}

bool parseFormData(std::string_view contentType, std::string_view body, FormFields& fields,
                   char const* filePath) {
    FormParser parser;
    if (!parser.start(contentType, filePath))
        return false;
    parser.feed(body);
    parser.finish();
    fields = std::move(parser.fields);
    return true;
}

FormParser::FormParser() : mFile(new FileSink) {}
FormParser::~FormParser() = default;

bool FormParser::start(std::string_view contentType, char const* filePath) {
    FormFields headers;
    splitHeaderLine(headers, contentType);
    if (headers.find("multipart/form-data") == headers.end()) {
        LOG(Warn, "No multipart/form-data");
        return false;
    }
    auto boundary = headers.find("boundary");
    if (boundary == headers.end() || boundary->second.empty()) {
        LOG(Warn, "No boundary");
        return false;
    }
    mDelimiter = "--" + boundary->second;
    mFilePath = filePath;
    return true;
}

int FormParser::writeError() const {
    return mFile->error();
}

bool FormParser::fileOpened() const {
    return mFile->opened();
}

void FormParser::feed(std::string_view bytes) {
    // Every piece between LFs is a line; a line is taken whole once its LF arrives, except the data of a
    // part, which goes out as soon as it cannot be a delimiter (all but its last byte, which may be the CR of
    // a CR LF).
    while (!bytes.empty()) {
        size_t lf = bytes.find('\n');
        if (lf == std::string_view::npos) {
            partialLine(bytes);
            return;
        }
        if (mLine.empty() && !mInData) {
            takeLine(bytes.substr(0, lf)); // the whole line is in this piece: read in place
        } else {
            partialLine(bytes.substr(0, lf));
            endLine();
        }
        bytes.remove_prefix(lf + 1);
    }
}

void FormParser::finish() {
    endLine(); // the text after the last LF, empty when the body ends in one
    mFile->close(true);
}

void FormParser::partialLine(std::string_view bytes) {
    if (mInData) {
        if (bytes.empty())
            return;
        emit(mLine);
        emit(bytes.substr(0, bytes.size() - 1));
        mLine.assign(1, bytes.back());
        return;
    }
    auto keep = [&](std::string_view more) {
        mLine.append(
            more.substr(0, Constants::FORM_MAX_LINE - std::min(mLine.size(), Constants::FORM_MAX_LINE)));
    };
    if (mInHeaders) {
        keep(bytes);
        return;
    }
    // Only as much as decides whether the line is a delimiter is held back.
    size_t needed = mDelimiter.size() - std::min(mLine.size(), mDelimiter.size());
    keep(bytes.substr(0, needed));
    bytes.remove_prefix(std::min(needed, bytes.size()));
    if (mLine.size() < mDelimiter.size())
        return;
    if (mLine.compare(0, mDelimiter.size(), mDelimiter) == 0) {
        keep(bytes);
        return;
    }
    // Not a delimiter: the data of the part, and the line end held back before it belongs to it.
    if (mPendingLineEnd)
        emit("\r\n");
    mPendingLineEnd = false;
    mInData = true;
    std::string held = std::move(mLine);
    mLine.clear();
    partialLine(held);
    partialLine(bytes);
}

void FormParser::endLine() {
    std::string line = std::move(mLine);
    mLine.clear();
    if (mInData) {
        mInData = false;
        dataLineEnd(line);
    } else {
        takeLine(line);
    }
}

void FormParser::dataLineEnd(std::string_view rest) {
    if (!rest.empty() && rest.back() == '\r') {
        emit(rest.substr(0, rest.size() - 1));
        mPendingLineEnd = true;
    } else {
        emit(rest);
        emit("\n");
        mPendingLineEnd = false;
    }
}

void FormParser::takeLine(std::string_view line) {
    if (line.substr(0, mDelimiter.size()) == mDelimiter) {
        auto name = mHeaders.find("name");
        if (name != mHeaders.end())
            fields[name->second] = mData;
        LOG(DebugMost, "Start of new block");
        mHeaders.clear();
        mData.clear();
        mToFile = false;
        mPendingLineEnd = false;
        mInHeaders = true;
    } else if (mInHeaders) {
        std::string_view trimmed = trim(line);
        if (!trimmed.empty()) {
            splitHeaderLine(mHeaders, trimmed);
            return;
        }
        if (mHeaders.empty())
            return;
        LOG(DebugMost, "Block data for fields:");
        if (logsDebugAll())
            for (auto const& [key, value] : mHeaders)
                LOG(DebugAll, "  %s: %s", key.c_str(), value.c_str());
        auto name = mHeaders.find("name");
        if (name != mHeaders.end() && name->second == "file") {
            mFile->open(mFilePath.c_str());
            mData = mFilePath;
            mToFile = true;
        }
        mInHeaders = false;
    } else {
        if (mPendingLineEnd)
            emit("\r\n");
        dataLineEnd(line);
    }
}

void FormParser::emit(std::string_view bytes) {
    if (mToFile)
        mFile->write(bytes);
    else
        mData.append(
            bytes.substr(0, Constants::FORM_MAX_FIELD - std::min(mData.size(), Constants::FORM_MAX_FIELD)));
}

} // namespace Multipart
