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
    void close() {
        if (mFd < 0)
            return;
        flush();
        ::close(mFd);
        mFd = -1;
    }

private:
    void flush() {
        writeAll(mBuffer);
        mBuffer.clear();
    }
    // A failed write (a full disk) drops the rest, as a file that cannot be opened does; the caller checks
    // the file.
    void writeAll(std::string_view bytes) {
        while (!bytes.empty() && mFd >= 0) {
            ssize_t n = ::write(mFd, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(mFd);
                mFd = -1;
                return;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    int mFd = -1;
    bool mOpened = false;
    std::string mBuffer;
};

bool logsDebugAll() {
    return !gComponentLogLevel ||
           static_cast<int>(*gComponentLogLevel) <= static_cast<int>(gen::LogLevel::DebugAll);
}

} // namespace

namespace Multipart {

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
    std::string const delimiter = "--" + boundary->second;
    headers.clear();

    std::string data;
    bool inHeaders = false;
    bool pendingLineEnd = false;
    bool toFile = false;
    FileSink file;
    auto emit = [&](std::string_view bytes) {
        if (toFile)
            file.write(bytes);
        else
            data.append(bytes);
    };

    // Every piece between LFs is a line, the one after the last LF too (empty when the body ends in LF).
    size_t start = 0;
    for (bool last = false; !last;) {
        size_t lf = body.find('\n', start);
        last = lf == std::string_view::npos;
        std::string_view line = body.substr(start, last ? std::string_view::npos : lf - start);
        start = lf + 1;

        if (line.substr(0, delimiter.size()) == delimiter) {
            auto name = headers.find("name");
            if (name != headers.end())
                fields[name->second] = data;
            LOG(DebugMost, "Start of new block");
            headers.clear();
            data.clear();
            toFile = false;
            pendingLineEnd = false;
            inHeaders = true;
        } else if (inHeaders) {
            std::string_view trimmed = trim(line);
            if (!trimmed.empty()) {
                splitHeaderLine(headers, trimmed);
                continue;
            }
            if (headers.empty())
                continue;
            LOG(DebugMost, "Block data for fields:");
            if (logsDebugAll())
                for (auto const& [key, value] : headers)
                    LOG(DebugAll, "  %s: %s", key.c_str(), value.c_str());
            auto name = headers.find("name");
            if (name != headers.end() && name->second == "file") {
                file.open(filePath);
                data = filePath;
                toFile = true;
            }
            inHeaders = false;
        } else {
            if (pendingLineEnd)
                emit("\r\n");
            if (!line.empty() && line.back() == '\r') {
                emit(line.substr(0, line.size() - 1));
                pendingLineEnd = true;
            } else {
                emit(line);
                emit("\n");
                pendingLineEnd = false;
            }
        }
    }
    file.close();
    return true;
}

} // namespace Multipart
