#include "fcgi_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fcgiclient {

std::string record(unsigned char type, unsigned requestId, std::string const& content, unsigned padding) {
    std::string bytes;
    bytes += char(1);
    bytes += char(type);
    bytes += char(requestId >> 8);
    bytes += char(requestId);
    bytes += char(content.size() >> 8);
    bytes += char(content.size());
    bytes += char(padding);
    bytes += char(0);
    bytes += content;
    bytes.append(padding, '\0');
    return bytes;
}

namespace {
void appendLength(std::string& bytes, size_t length, bool longLength) {
    if (length < 128 && !longLength) {
        bytes += char(length);
        return;
    }
    bytes += char(0x80 | (length >> 24));
    bytes += char(length >> 16);
    bytes += char(length >> 8);
    bytes += char(length);
}
} // namespace

std::string nameValue(std::string const& name, std::string const& value, bool longLengths) {
    std::string bytes;
    appendLength(bytes, name.size(), longLengths);
    appendLength(bytes, value.size(), longLengths);
    return bytes + name + value;
}

std::string beginRequest(unsigned requestId, bool keep) {
    std::string body(8, '\0');
    body[1] = 1; // responder
    body[2] = keep ? 1 : 0;
    return record(1, requestId, body);
}

std::string request(unsigned requestId, std::map<std::string, std::string> const& params,
                    std::string const& body, bool keep) {
    std::string pairs;
    for (auto const& param : params)
        pairs += nameValue(param.first, param.second);
    std::string bytes =
        beginRequest(requestId, keep) + record(4, requestId, pairs) + record(4, requestId, "");
    for (size_t at = 0; at < body.size(); at += 65535) {
        std::string piece = body.substr(at, 65535);
        bytes += record(5, requestId, piece, (8 - piece.size() % 8) % 8);
    }
    return bytes + record(5, requestId, "");
}

bool parse(std::string const& bytes, std::vector<Record>& records, size_t* used) {
    size_t at = 0;
    while (bytes.size() - at >= 8) {
        auto const* h = reinterpret_cast<unsigned char const*>(bytes.data() + at);
        size_t length = size_t(h[4]) << 8 | h[5];
        if (bytes.size() - at < 8 + length + h[6])
            break;
        records.push_back({h[0], h[1], unsigned(h[2]) << 8 | h[3], bytes.substr(at + 8, length), h[6], h[7]});
        at += 8 + length + h[6];
    }
    if (used)
        *used = at;
    return at == bytes.size();
}

std::string checkAnswer(std::vector<Record> const& records, Answer& answer) {
    if (records.empty())
        return "no records";
    answer.requestId = records.front().requestId;
    int stage = 0; // 0 STDOUT, 1 STDERR, 2 after END_REQUEST
    for (size_t i = 0; i < records.size(); ++i) {
        Record const& r = records[i];
        std::string where = "record " + std::to_string(i) + ": ";
        if (r.version != 1 || r.reserved != 0)
            return where + "version or reserved byte changed";
        if (r.requestId != answer.requestId)
            return where + "requestId " + std::to_string(r.requestId);
        if (stage == 2)
            return where + "after END_REQUEST";
        if (r.type == 3) {
            if (r.content != std::string(8, '\0') || r.padding != 0)
                return where + "END_REQUEST body or padding";
            stage = 2;
            continue;
        }
        if (r.type != 6 && r.type != 7)
            return where + "type " + std::to_string(r.type);
        if (r.type == 6 && stage > 0)
            return where + "STDOUT after STDERR";
        stage = r.type == 6 ? 0 : 1;
        if (r.content.empty())
            return where + "empty stream record";
        if (r.content.size() > 65528)
            return where + "content above 65528";
        if ((r.content.size() + r.padding) % 8 != 0 || r.padding >= 8)
            return where + "content plus padding not a multiple of 8 (or too much padding)";
        // Padding goes only on the last record of each flush; a record cut at the largest size needs none.
        if (r.content.size() == 65528 && r.padding != 0)
            return where + "padding on a full record";
        (r.type == 6 ? answer.out : answer.err) += r.content;
        if (r.type == 6)
            answer.outSizes.push_back(unsigned(r.content.size()));
    }
    return stage == 2 ? "" : "no END_REQUEST";
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, std::string const& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
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
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            return bytes;
        bytes.append(buffer, size_t(n));
    }
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
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

} // namespace fcgiclient
