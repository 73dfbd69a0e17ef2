// A small FastCGI responder over the listener, standing in for the web API in tests, benchmarks and by hand:
//   fcgi_responder [--inherit] [--port N] [--quiet]
// --inherit serves the listening socket inherited as descriptor 0 (as started by a web server; also chosen
// when descriptor 0 is a listening socket), --quiet logs warnings and errors only. Answers by SCRIPT_NAME:
//   /echo    the parameters as "name=value" lines, an empty line, then the body
//   /size    QUERY_STRING "n=<count>": count bytes of answerPattern, written in pieces of up to 1000 bytes
//   /hold    QUERY_STRING "ms=<delay>": held, answered "held <id>" by the first periodic pass after the delay
//   /stderr  "out" on STDOUT and "err" on STDERR
//   other    a 404 answer

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>

#include "eventpoll.h"
#include "fcgi.h"
#include "log.h"

namespace {

using Clock = std::chrono::steady_clock;

char answerByte(size_t i) {
    return "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"[i % 64];
}

unsigned long queryNumber(Request* request, char const* key) {
    std::string const& query = request->param("QUERY_STRING");
    std::string prefix = std::string(key) + "=";
    if (query.compare(0, prefix.size(), prefix) != 0)
        return 0;
    return strtoul(query.c_str() + prefix.size(), nullptr, 10);
}

class Responder : public Fcgi::RequestCallback {
public:
    explicit Responder(Fcgi& fcgi) : mFcgi(fcgi) {}

    void handleRequest(Request* request) override {
        std::string const& script = request->param("SCRIPT_NAME");
        if (script == "/echo") {
            request->writeHeader("Content-type: text/plain\r\n\r\n");
            for (auto const& param : request->params)
                request->output() << param.first << '=' << param.second << '\n';
            request->output() << '\n';
            request->output().write(request->postData.data(),
                                    static_cast<std::streamsize>(request->postData.size()));
            request->end();
        } else if (script == "/size") {
            request->writeHeader("Content-type: text/plain\r\n\r\n");
            unsigned long size = queryNumber(request, "n");
            char piece[1000];
            for (unsigned long done = 0; done < size;) {
                size_t count = std::min<unsigned long>(sizeof piece, size - done);
                for (size_t i = 0; i < count; ++i)
                    piece[i] = answerByte(done + i);
                request->output().write(piece, static_cast<std::streamsize>(count));
                done += count;
            }
            request->end();
        } else if (script == "/hold") {
            request->context = Clock::now() + std::chrono::milliseconds(queryNumber(request, "ms"));
        } else if (script == "/stderr") {
            request->output() << "out";
            request->error << "err";
            request->end();
        } else {
            request->writeHeader("Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\n");
            request->output() << "unknown script " << script << '\n';
            request->end();
        }
    }

    // As the web API does: delete, answer what is due while walking the registry, delete again.
    void periodic() {
        mFcgi.cleanup();
        auto now = Clock::now();
        for (auto const& entry : mFcgi.requests) {
            Request* request = entry.second;
            auto* due = std::any_cast<Clock::time_point>(&request->context);
            if (!due || *due > now)
                continue;
            request->context.reset();
            try {
                request->output() << "held " << request->id;
                request->end();
            } catch (std::exception const&) {
                LOG(Error, "Could not answer held request %i", request->id);
            }
        }
        mFcgi.cleanup();
    }

private:
    Fcgi& mFcgi;
};

} // namespace

int main(int argc, char** argv) {
    bool inherit = false;
    int port = 9000;
    static gen::LogLevel quiet = gen::LogLevel::Warn;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--inherit"))
            inherit = true;
        else if (!strcmp(argv[i], "--port") && i + 1 < argc)
            port = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--quiet"))
            gComponentLogLevel = &quiet;
        else {
            fprintf(stderr, "usage: %s [--inherit] [--port N] [--quiet]\n", argv[0]);
            return 2;
        }
    }
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(0, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening)
        inherit = true;
    EventPoll poll;
    std::unique_ptr<Fcgi> fcgi(inherit ? new Fcgi(poll) : new Fcgi(port, poll));
    Responder responder(*fcgi);
    fcgi->callback = &responder;
    while (poll.wait(100, false) != EventPoll::TERMINATE)
        responder.periodic();
    return 0;
}
