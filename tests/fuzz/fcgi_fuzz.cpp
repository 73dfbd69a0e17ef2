// Feeds arbitrary byte streams into one FastCGI connection, cut into pieces the fuzzer chooses. Input layout:
// byte 0 = number of cuts n (below 32), then n two-byte piece lengths (big-endian), then the stream; the last
// piece is whatever is left. After each input the connection is closed and every request must be released,
// and what the server sent must be whole, well-framed answer records.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

#include "eventpoll.h"
#include "fcgi.h"
#include "fcgi_client.h"
#include "log.h"
#include "serveall.h"

namespace {

// Answers by the first byte of SCRIPT_NAME: 'h' holds the request, 'b' answers more than a flush, others
// echo.
void answer(Request& request) {
    std::string const& script = request.param("SCRIPT_NAME");
    if (!script.empty() && script[0] == 'h')
        return;
    if (!script.empty() && script[0] == 'b')
        request.output() << std::string(9000, 'b');
    for (auto const& param : request.params())
        request.output() << param.first << '=' << param.second << ';';
    request.output() << request.postData();
    request.errorOutput() << script;
    request.end();
}

EventPoll* gPoll;
Fcgi* gFcgi;
ServeAll gAnswerer(answer);

void pump() {
    for (int round = 0; round < 100 && gPoll->wait(0, true) != EventPoll::TIMEOUT; ++round) {
    }
}

void check(bool condition, char const* what) {
    if (!condition) {
        fprintf(stderr, "fcgi_fuzz: %s\n", what);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (!gPoll) {
        static gen::LogLevel level = gen::LogLevel::Error;
        gComponentLogLevel = &level;
        gPoll = new EventPoll;
        gFcgi = new Fcgi(9000, *gPoll, gAnswerer);
    }
    if (size == 0)
        return 0;
    size_t cuts = data[0] % 32;
    size_t at = 1;
    std::vector<size_t> pieces;
    for (size_t i = 0; i < cuts && at + 2 <= size; ++i, at += 2)
        pieces.push_back(size_t(data[at]) << 8 | data[at + 1]);
    std::string stream(reinterpret_cast<char const*>(data) + std::min(at, size), size - std::min(at, size));

    int client = fcgiclient::connectTo(9000);
    check(client >= 0, "connect failed");
    pump();
    std::string received;
    size_t done = 0;
    for (size_t i = 0; i <= pieces.size() && done < stream.size(); ++i) {
        size_t length = i < pieces.size() ? std::min(pieces[i], stream.size() - done) : stream.size() - done;
        fcgiclient::sendAll(client, stream.substr(done, length));
        done += length;
        pump();
        received += fcgiclient::receiveAvailable(client);
    }
    // Loopback delivery can lag behind under load, so the end of the stream is a half-close, and the server
    // gets time to see it and let go of the connection before anything is judged.
    shutdown(client, SHUT_WR);
    for (int round = 0; round < 1000 && gFcgi->connectionCount() != 0; ++round) {
        gPoll->wait(5, true);
        gFcgi->cleanup();
        received += fcgiclient::receiveAvailable(client);
    }
    received += fcgiclient::receiveUntilEnd(client);
    close(client);
    check(gFcgi->connectionCount() == 0 && gFcgi->servedCount() == 0 && gFcgi->releasedCount() == 0,
          "a request outlived its connection");

    std::vector<fcgiclient::Record> records;
    check(fcgiclient::parse(received, records), "answer ends inside a record");
    for (auto const& record : records) {
        check(record.type == 3 || record.type == 6 || record.type == 7, "record type sent");
        check(!record.content.empty() && record.content.size() <= 65528, "record size sent");
        check((record.content.size() + record.padding) % 8 == 0, "padding sent");
    }
    return 0;
}
