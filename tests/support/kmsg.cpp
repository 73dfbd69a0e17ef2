#include "kmsg.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

namespace {

constexpr char const* SYNC_PREFIX = "\x01kmsg-sync ";

std::string logPath() {
    char const* path = getenv("SANDBOX_KMSG_LOG");
    return path && *path ? path : "/dev/kmsg";
}

std::string readFrom(std::string const& path, long start = 0) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(start);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

KmsgRecord parse(std::string const& raw) {
    KmsgRecord record{"", "", raw};
    if (raw.size() >= 34)
        record.level = raw.substr(22, 12);
    // The file column is at least 20 wide; the line column follows the first colon after it.
    size_t colon = raw.find(':', 34 + 20);
    if (raw.size() >= 34 && colon != std::string::npos && colon + 6 <= raw.size())
        record.message = raw.substr(colon + 6);
    return record;
}

// With the drained pipe, a record is in the log only some time after its write. A marker written through the
// pipe after everything of interest shows when the log has caught up: the pipe keeps the order of writes.
void sync(std::string const& path) {
    if (path == "/dev/kmsg")
        return;
    static unsigned counter = 0;
    std::string marker =
        std::string(SYNC_PREFIX) + std::to_string(getpid()) + "." + std::to_string(++counter);
    std::ofstream("/dev/kmsg") << marker << '\n';
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (readFrom(path).find(marker + "\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

KmsgReader::KmsgReader() : mPath(logPath()) {
    sync(mPath);
    mStart = long(readFrom(mPath).size());
}

std::vector<KmsgRecord> KmsgReader::records() const {
    sync(mPath);
    std::string text = readFrom(mPath, mStart);
    std::vector<KmsgRecord> result;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        if (text.compare(begin, strlen(SYNC_PREFIX), SYNC_PREFIX) != 0)
            result.push_back(parse(text.substr(begin, end - begin)));
    return result;
}

std::vector<std::string> KmsgReader::messages() const {
    std::vector<std::string> result;
    for (auto const& record : records())
        result.push_back(record.message);
    return result;
}

bool KmsgReader::waitFor(std::string const& text, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (auto const& record : records())
            if (record.message.find(text) != std::string::npos)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}
