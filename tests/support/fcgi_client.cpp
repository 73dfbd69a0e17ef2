#include "fcgi_client.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fcgiclient {

std::string record(unsigned char type, unsigned requestId, std::string const& content, unsigned padding) {
    auto twoBytes = [](size_t value) { return std::string{char(value >> 8), char(value)}; };
    return std::string{1, char(type)} + twoBytes(requestId) + twoBytes(content.size()) +
           std::string{char(padding), 0} + content + std::string(padding, '\0');
}

std::string nameValue(std::string const& name, std::string const& value, bool longLengths) {
    auto length = [&](size_t size) {
        if (size < 128 && !longLengths)
            return std::string(1, char(size));
        return std::string{char(0x80 | (size >> 24)), char(size >> 16), char(size >> 8), char(size)};
    };
    return length(name.size()) + length(value.size()) + name + value;
}

std::string beginRequest(unsigned requestId, bool keep) {
    return record(1, requestId, std::string{0, 1, char(keep), 0, 0, 0, 0, 0}); // a responder
}

std::string request(unsigned requestId, std::map<std::string, std::string> const& params,
                    std::string const& body, bool keep) {
    std::string pairs;
    for (auto const& param : params)
        pairs += nameValue(param.first, param.second);
    std::string bytes =
        beginRequest(requestId, keep) + record(4, requestId, pairs) + record(4, requestId, "");
    for (size_t at = 0; at < body.size(); at += 65535)
        bytes += record(5, requestId, body.substr(at, 65535),
                        (8 - std::min<size_t>(body.size() - at, 65535) % 8) % 8);
    return bytes + record(5, requestId, "");
}

bool parse(std::string const& bytes, std::vector<Record>& records) {
    size_t at = 0;
    while (bytes.size() - at >= 8) {
        auto const* h = reinterpret_cast<unsigned char const*>(bytes.data() + at);
        size_t length = size_t(h[4]) << 8 | h[5];
        if (bytes.size() - at < 8 + length + h[6])
            break;
        records.push_back({h[0], h[1], unsigned(h[2]) << 8 | h[3], bytes.substr(at + 8, length), h[6], h[7]});
        at += 8 + length + h[6];
    }
    return at == bytes.size();
}

std::string checkAnswer(std::vector<Record> const& records, Answer& answer) {
    if (records.empty())
        return "no records";
    answer.requestId = records.front().requestId;
    int stage = 0; // 0 STDOUT, 1 STDERR, 2 after END_REQUEST
    for (size_t i = 0; i < records.size(); ++i) {
        Record const& r = records[i];
        bool const end = r.type == 3, stream = r.type == 6 || r.type == 7;
        size_t const size = r.content.size();
        // The first rule broken is told. Padding goes only on the last record of each flush; a record cut at
        // the largest size needs none.
        for (auto const& [broken, what] : std::initializer_list<std::pair<bool, std::string>>{
                 {r.version != 1 || r.reserved != 0, "version or reserved byte changed"},
                 {r.requestId != answer.requestId, "requestId " + std::to_string(r.requestId)},
                 {stage == 2, "after END_REQUEST"},
                 {end && (r.content != std::string(8, '\0') || r.padding != 0),
                  "END_REQUEST body or padding"},
                 {!end && !stream, "type " + std::to_string(r.type)},
                 {r.type == 6 && stage == 1, "STDOUT after STDERR"},
                 {stream && size == 0, "empty stream record"},
                 {stream && size > 65528, "content above 65528"},
                 {stream && ((size + r.padding) % 8 != 0 || r.padding >= 8),
                  "content plus padding not a multiple of 8 (or too much padding)"},
                 {stream && size == 65528 && r.padding != 0, "padding on a full record"}})
            if (broken)
                return "record " + std::to_string(i) + ": " + what;
        stage = end ? 2 : r.type == 6 ? 0 : 1;
        if (r.type == 6)
            answer.outSizes.push_back(unsigned(size));
        (r.type == 6 ? answer.out : answer.err) += stream ? r.content : "";
    }
    return stage == 2 ? "" : "no END_REQUEST";
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, std::string const& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

std::string receiveAvailable(int fd) {
    std::string bytes;
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        bytes.append(buffer, size_t(n));
    return bytes;
}

std::string receiveUntilEnd(int fd, int timeoutMs) {
    std::string bytes;
    char buffer[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        bytes.append(buffer, size_t(n));
    }
    return bytes;
}

int openDescriptors() {
    std::filesystem::directory_iterator entries("/proc/self/fd");
    return int(std::distance(begin(entries), end(entries)));
}

} // namespace fcgiclient
