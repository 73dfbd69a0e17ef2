// A small FastCGI responder over the listener on port 9000, standing in for the web API in tests, benchmarks
// and by hand:
//   fcgi_responder [--quiet]
// --quiet logs warnings and errors only. Answers by SCRIPT_NAME:
//   /size    QUERY_STRING "n=<count>": count bytes of answerPattern, written in pieces of up to 1000 bytes
//   /id      "connection <id>", the listener's number of the connection the request came on
//   /stderr  "out" on STDOUT and "err" on STDERR
//   other    a 404 answer

#include <cstdlib>
#include <cstring>
#include <string>

#include "eventpoll.h"
#include "fcgi.h"
#include "log.h"
#include "serveall.h"

namespace {

char answerByte(size_t i) {
    return "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"[i % 64];
}

// Answers by script name, as the benchmarks and the peers suite ask.
void respond(Request& request) {
    std::string const& script = request.param("SCRIPT_NAME");
    if (script == "/size") {
        request.writeHeader("Content-type: text/plain\r\n\r\n");
        std::string const& query = request.param("QUERY_STRING");
        unsigned long size = query.compare(0, 2, "n=") == 0 ? strtoul(query.c_str() + 2, nullptr, 10) : 0;
        char piece[1000];
        for (unsigned long done = 0; done < size;) {
            size_t count = std::min<unsigned long>(sizeof piece, size - done);
            for (size_t i = 0; i < count; ++i)
                piece[i] = answerByte(done + i);
            request.output().write(piece, static_cast<std::streamsize>(count));
            done += count;
        }
    } else if (script == "/id") {
        request.output() << "connection " << request.id();
    } else if (script == "/stderr") {
        request.output() << "out";
        request.errorOutput() << "err";
    } else {
        request.writeHeader("Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\n");
        request.output() << "unknown script " << script << '\n';
    }
    request.end();
}

} // namespace

int main(int argc, char** argv) {
    static gen::LogLevel quiet = gen::LogLevel::Warn;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quiet") != 0) {
            fprintf(stderr, "usage: %s [--quiet]\n", argv[0]);
            return 2;
        }
        gComponentLogLevel = &quiet;
    }
    EventPoll poll;
    ServeAll responder(respond);
    Fcgi fcgi(9000, poll, responder);
    // Requests are deleted where the web API would delete them: in its periodic pass, never where they end.
    while (poll.wait(100, false) != EventPoll::TERMINATE)
        fcgi.cleanup();
    return 0;
}
