// The listener and the record protocol in one process: the test is the web server's side (a client of our own
// that can split records anywhere) and drives the poll itself. Runs in the sandbox, which owns port 9000.

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "failure.h"
#include "fcgi.h"
#include "fcgi_client.h"
#include "kmsg.h"
#include "serveall.h"

using namespace fcgiclient;

namespace {

constexpr int PORT = 9000;
std::map<std::string, std::string> const SOME_PARAMS = {{"SCRIPT_NAME", "/api/v1/all.cgi"},
                                                        {"QUERY_STRING", ""}};

size_t ends(std::vector<Record> const& records) {
    return size_t(std::count_if(records.begin(), records.end(), [](Record const& r) { return r.type == 3; }));
}

// An answer of that many bytes, every one telling its position, so that a lost or repeated piece shows.
std::string numbered(size_t size, char seed) {
    std::string text(size, seed);
    for (size_t i = 0; i < size; i += 4096) {
        std::string tag = std::to_string(i);
        tag.copy(&text[i], std::min(tag.size(), size - i));
    }
    return text;
}

class FcgiTest : public ::testing::Test {
protected:
    void SetUp() override { fcgi = std::make_unique<Fcgi>(PORT, poll, api); }
    void TearDown() override {
        for (int fd : clients)
            close(fd);
    }
    std::vector<unsigned> takeReleased() { return std::exchange(api.releasedIds, {}); }

    // Parameters as "name=value;", then "|" and the body; no header, so that answers compare exactly.
    static void echo(Request* request) {
        request->writeHeader("");
        for (auto const& param : request->params())
            request->output() << param.first << '=' << param.second << ';';
        request->output() << '|' << request->postData();
        request->end();
    }

    void pump(int rounds = 50) {
        while (rounds-- > 0 && poll.wait(0, true) != EventPoll::TIMEOUT) {
        }
    }
    // A connection that has sent bytes, after the server has taken them.
    int client(std::string const& bytes = "") {
        int fd = connectTo(PORT);
        EXPECT_GE(fd, 0);
        clients.push_back(fd);
        EXPECT_TRUE(sendAll(fd, bytes));
        pump();
        return fd;
    }

    // Lets the server work while reading fd until that many answers have ended (END_REQUEST), within a bound;
    // the records read, which must not end inside one.
    std::vector<Record> readAnswers(int fd, size_t answers) {
        std::string received;
        std::vector<Record> records;
        bool whole = true;
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             ends(records) < answers && std::chrono::steady_clock::now() < end;) {
            poll.wait(10, true);
            std::string more = receiveAvailable(fd);
            if (!more.empty())
                whole = parse(received += more, records = {});
        }
        EXPECT_TRUE(whole) << "answer ends inside a record";
        return records;
    }
    Answer exchange(int fd, std::string const& bytes) {
        EXPECT_TRUE(sendAll(fd, bytes));
        Answer answer;
        EXPECT_EQ(checkAnswer(readAnswers(fd, 1), answer), "");
        return answer;
    }
    // Once the test's ends of all connections close, nothing of them may stay: no connection, request, queued
    // byte or descriptor.
    void closeAllAndExpectNothingLeft(int descriptorsBefore) {
        for (int fd : std::exchange(clients, {}))
            close(fd);
        pump();
        fcgi->cleanup();
        EXPECT_EQ(fcgi->connectionCount(), 0u);
        EXPECT_EQ(fcgi->servedCount(), 0u);
        EXPECT_EQ(fcgi->queuedBytes(), 0u);
        EXPECT_EQ(openDescriptors(), descriptorsBefore);
    }

    EventPoll poll;
    // Every request is served by the test's answer, or held when there is none.
    std::function<void(Request*)> answer = echo;
    ServeAll api{[this](Request& request) {
        if (answer)
            answer(&request);
    }};
    std::vector<Request*>& handled = api.served;
    std::unique_ptr<Fcgi> fcgi;
    std::vector<int> clients;
};

TEST_F(FcgiTest, AnswerFramings) {
    int fd = client();
    std::string early; // what the peer had before end()
    std::string digits = numbered(20000, 'd'), big = numbered(70000, 'x');
    struct Case {
        char const* header; // null: the default
        std::string text;
        size_t piece; // printed in pieces of this size
        std::string err;
        std::vector<unsigned> outSizes;
    } const cases[] = {
        // Output goes out once more than 8192 bytes are buffered; a write that overflows the largest record
        // that needs no padding cuts it there; nothing printed is END_REQUEST alone; STDERR follows STDOUT.
        {nullptr, digits, 10, "", {8197, 8200, 3670}},
        {"", big, big.size(), "", {65528, 4472}},
        {nullptr, "", 1, "", {}},
        {"Content-type: image/png\r\n\r\n", "PNG", 3, "warning text", {30}},
    };
    unsigned id = 1;
    for (auto const& c : cases) {
        answer = [&](Request* request) {
            if (c.header)
                request->writeHeader(c.header);
            for (size_t at = 0; at < c.text.size(); at += c.piece)
                request->output() << c.text.substr(at, c.piece);
            early = receiveAvailable(fd);
            request->errorOutput() << c.err;
            request->end();
        };
        ASSERT_TRUE(sendAll(fd, request(id, SOME_PARAMS, "", true)));
        pump();
        std::vector<Record> records;
        ASSERT_TRUE(parse(early + receiveAvailable(fd), records));
        Answer result;
        ASSERT_EQ(checkAnswer(records, result), "") << id;
        EXPECT_EQ(early.empty(), c.text.size() <= 8192) << id;
        std::string head = c.header ? c.header : c.text.empty() ? "" : Constants::FCGI_DEFAULT_HEADER;
        EXPECT_EQ(result.out, head + c.text) << id;
        EXPECT_EQ(result.err, c.err) << id;
        EXPECT_EQ(result.outSizes, c.outSizes) << id;
        EXPECT_EQ(result.requestId, id++);
    }
}

TEST_F(FcgiTest, ParamsDecodeLongLengthsAndStopAtMalformedPairs) {
    auto decoded = [&](std::string const& content) {
        return exchange(client(),
                        beginRequest(1, false) + record(4, 1, content) + record(4, 1, "") + record(5, 1, ""))
            .out;
    };
    std::string longValue(300, 'v');
    EXPECT_EQ(decoded(nameValue("LONG", longValue) + nameValue("A", "1", true) + nameValue("A", "2") +
                      nameValue("EMPTY", "")),
              "A=2;EMPTY=;LONG=" + longValue + ";|");
    // Pairs before a cut length, a length beyond the record, or a pair of two zero lengths stay; nothing
    // after.
    for (std::string tail : {std::string("\x85\x00", 2), std::string("\x05\x05") + "abcdefghi",
                             std::string("\x00\x00\x01\x01XY", 6) + nameValue("LOST", "no"),
                             std::string("\xff\xff\xff\xff\x01x", 6)})
        EXPECT_EQ(decoded(nameValue("KEEP", "yes") + tail), "KEEP=yes;|") << tail.size();
}

TEST_F(FcgiTest, RecordsSplitAtEveryPositionAreReassembled) {
    std::string body(3000, 'b');
    std::string bytes = request(9, {{"SCRIPT_NAME", "/x"}, {"LONG", std::string(200, 'l')}}, body);
    std::string expected = "LONG=" + std::string(200, 'l') + ";SCRIPT_NAME=/x;|" + body;
    for (size_t split = 1; split < bytes.size(); split += split < 64 ? 1 : 37) {
        ASSERT_EQ(exchange(client(bytes.substr(0, split)), bytes.substr(split)).out, expected)
            << "split at " << split;
        fcgi->cleanup();
    }
}

TEST_F(FcgiTest, FullSizeRecordsWithPaddingAndUnknownTypesKeepTheStreamInStep) {
    std::string body(65535, 'q');
    body[65534] = 'e';
    std::string bytes = beginRequest(2, true) + record(4, 2, nameValue("N", "v")) +
                        record(11, 2, "dropped", 1) + record(200, 2, std::string(65535, 'u'), 255) +
                        record(2, 2, "") + record(9, 2, "GV") + record(5, 2, body, 255) +
                        record(5, 2, "tail", 4) + record(5, 2, "");
    Answer result = exchange(client(), bytes);
    EXPECT_EQ(result.out, "N=v;|" + body + "tail");
    EXPECT_EQ(result.requestId, 2u);
}

TEST_F(FcgiTest, KeptConnectionServesRequestsOneAfterAnother) {
    KmsgReader log;
    int fd = client();
    EXPECT_EQ(exchange(fd, request(1, {{"A", "1"}, {"B", "2"}}, "one", true)).out, "A=1;B=2;|one");
    Request* served = handled.at(0);

    // A second BEGIN_REQUEST starts clean: nothing of the first request's parameters, body, header or streams
    // is left.
    answer = [](Request* request) {
        request->output() << "x";
        echo(request);
    };
    served->errorOutput() << "stale";
    Answer second = exchange(fd, request(5, {{"C", "3"}}, "", false));
    EXPECT_EQ(second.out, Constants::FCGI_DEFAULT_HEADER + std::string("xC=3;|"));
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(handled, (std::vector<Request*>{served, served}));

    // Not kept: the connection ends after the answer and the request goes at the next cleanup.
    EXPECT_EQ(receiveUntilEnd(fd, 1000), "");
    EXPECT_EQ(takeReleased(), std::vector<unsigned>{served->id()});
    EXPECT_EQ(fcgi->connectionCount(), 1u);
    // Answered requests wait for that cleanup but hold no room: more of them than the registry holds do not
    // keep the next one from being served.
    answer = echo;
    for (unsigned i = 0; i <= Constants::FCGI_MAX_REQUESTS; ++i)
        ASSERT_EQ(exchange(client(), request(1, {{"A", "1"}})).out, "A=1;|") << i;
    for (auto const& record : log.records()) // each connection left the poll once
        EXPECT_NE(record.level, "Error       ") << record.message;
    // Ending an answered request again is a mistake its caller hears of.
    EXPECT_TRUE(raises([&] { served->end(); }, "Request is already closed."));
    fcgi->cleanup();
    EXPECT_EQ(fcgi->connectionCount(), 0u);
}

TEST_F(FcgiTest, RequestNumbersRegistryLimitAndCleanup) {
    answer = nullptr; // every request is held
    // The first without BEGIN_REQUEST and with an empty PARAMS record after its pair: the defaults hold.
    client(record(4, 6, nameValue("K", "v")) + record(4, 6, "") + record(5, 6, ""));
    for (unsigned i = 1; i < Constants::FCGI_MAX_REQUESTS; ++i)
        client(request(1, SOME_PARAMS));
    ASSERT_EQ(fcgi->servedCount(), 32u);
    Request* first = handled.at(0);
    EXPECT_EQ(first->params(), (std::map<std::string, std::string>{{"K", "v"}}));
    EXPECT_EQ(first->requestId(), 6);
    EXPECT_TRUE(first->keepsConnection());
    EXPECT_EQ(handled.back()->id(), 31u);

    // A 33rd request, with nothing held that the web API could answer early, is closed unanswered.
    KmsgReader log;
    EXPECT_EQ(receiveUntilEnd(client(request(1, SOME_PARAMS)), 1000), "");
    EXPECT_TRUE(log.waitFor("Connection not served: 32 requests registered"));
    EXPECT_EQ(takeReleased(), std::vector<unsigned>{32});
    EXPECT_EQ(handled.size(), 32u);
    fcgi->cleanup();
    EXPECT_EQ(fcgi->servedCount(), 32u);
}

TEST_F(FcgiTest, PeersThatLeaveAnywhereAreReleasedAndNothingLeaks) {
    int before = openDescriptors();
    int vanishing = -1;
    answer = [&](Request* request) {
        if (request->requestId() == 2)
            close(vanishing); // gone before its answer: the writes fail, nothing is thrown
        request->output() << std::string(16 << 20, 'r');
        request->end();
    };
    int queued = client(request(1, SOME_PARAMS, "", true)); // resets while its answer is queued
    // This one leaves inside a record.
    client(beginRequest(1, false) + record(4, 1, nameValue("A", "b")).substr(0, 10));
    ASSERT_GT(fcgi->queuedBytes(), 0u);
    vanishing = connectTo(PORT);
    ASSERT_TRUE(sendAll(vanishing, request(2, SOME_PARAMS, "", true)));
    pump();
    EXPECT_TRUE(handled.back()->peerGone());
    EXPECT_EQ(takeReleased(), std::vector<unsigned>{2});
    linger reset = {1, 0};
    setsockopt(queued, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    closeAllAndExpectNothingLeft(before);
}

TEST_F(FcgiTest, NewcomersBeyondTheBoundWaitUntilAnIdleConnectionHasIdledPastTheGrace) {
    // Nobody is closed within the grace, newcomers wait in the listen queue. Past the grace the idlest make
    // room (the one idle since its answer before those that have sent nothing), one for each newcomer.
    int before = openDescriptors();
    EXPECT_EQ(exchange(client(), request(1, {{"A", "k"}}, "", true)).out, "A=k;|");
    while (clients.size() < Constants::FCGI_MAX_CONNECTIONS)
        client();
    char byte;
    for (std::string name : {"b", "c"}) {
        int newcomer = client(request(1, {{"A", name}}, "", true)); // kept: still at the bound
        fcgi->cleanup();
        EXPECT_FALSE(fcgi->accepting()) << name;
        EXPECT_EQ(fcgi->connectionCount(), Constants::FCGI_MAX_CONNECTIONS);
        EXPECT_EQ(recv(clients[1], &byte, 1, MSG_DONTWAIT), -1) << "closed within the grace";
        fcgi->expire(std::chrono::steady_clock::now() + Constants::FCGI_IDLE_GRACE);
        fcgi->cleanup();
        EXPECT_EQ(recv(clients[0], &byte, 1, MSG_DONTWAIT), 0) << "the one idle since its answer goes first";
        EXPECT_EQ(exchange(newcomer, "").out, "A=" + name + ";|");
    }
    EXPECT_EQ(recv(clients[1], &byte, 1, MSG_DONTWAIT), 0);
    closeAllAndExpectNothingLeft(before);
}

TEST_F(FcgiTest, StalledReaderGetsEveryByteLaterWhileOthersAreServed) {
    std::vector<std::string> answers = {numbered(24 << 20, 'a'), numbered(5 << 20, 'b'),
                                        numbered(70000, 'c')};
    size_t next = 0;
    answer = [&](Request* request) {
        request->writeHeader("");
        request->output() << (request->params().count("OTHER") ? std::string("other") : answers[next++]);
        request->end();
    };
    std::string asked;
    for (unsigned i = 0; i < answers.size(); ++i)
        asked += request(i + 1, SOME_PARAMS, "", true);
    int stalled = client(asked);
    ASSERT_EQ(next, 1u) << "the next request on the connection waits until the answer before it is sent";
    EXPECT_GT(fcgi->queuedBytes(), 0u);

    // The server is not held: another client is answered at once, and the stalled one is still there a
    // moment before the stall limit.
    EXPECT_EQ(exchange(client(), request(9, {{"OTHER", "1"}})).out, "other");
    fcgi->expire(std::chrono::steady_clock::now() + Constants::FCGI_WRITE_STALL_TIMEOUT -
                 std::chrono::seconds(1));
    EXPECT_FALSE(handled[0]->peerGone());

    std::vector<Record> records = readAnswers(stalled, answers.size());
    ASSERT_EQ(ends(records), answers.size());
    auto first = records.begin();
    for (unsigned i = 0; i < answers.size(); ++i) {
        auto last = std::find_if(first, records.end(), [](Record const& r) { return r.type == 3; }) + 1;
        Answer result;
        ASSERT_EQ(checkAnswer({first, last}, result), "");
        EXPECT_EQ(result.requestId, i + 1);
        EXPECT_TRUE(result.out == answers[i]) << "answer " << i << " differs";
        first = last;
    }
    EXPECT_EQ(fcgi->queuedBytes(), 0u);
}

TEST_F(FcgiTest, StreamedAnswerFollowsThePeersPaceAndAFailingSourceCutsIt) {
    KmsgReader log;
    std::string text = numbered(32 << 20, 's');
    size_t done = 0;
    answer = [&](Request* request) {
        request->writeHeader("");
        done = 0;
        request->streamFrom([&](Request& out) {
            size_t piece = std::min<size_t>(64 << 10, text.size() - done);
            out.output().write(text.data() + done, std::streamsize(piece));
            done += piece;
            if (out.params().count("FAIL") && done > (1 << 20))
                throw std::runtime_error("disk gone");
            return done < text.size();
        });
    };
    int fd = client();
    int small = 64 << 10; // loopback buffers would otherwise hold the whole answer
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(sendAll(fd, request(1, SOME_PARAMS, "", true)));
    pump(10000); // until the socket takes nothing more: the poll no longer reports room
    // Printed as the peer takes it: what the kernel holds and a little more, not the whole answer.
    EXPECT_LT(done, text.size() / 2);
    EXPECT_LE(fcgi->queuedBytes(), Constants::FCGI_STREAM_LOW_WATER + (64u << 10) + 16);
    Answer result;
    ASSERT_EQ(checkAnswer(readAnswers(fd, 1), result), "");
    EXPECT_TRUE(result.out == text);

    int failing = client(request(2, {{"FAIL", "1"}}, "", true));
    for (int round = 0; round < 100000 && fcgi->connectionCount() > 1; ++round) {
        poll.wait(10, true);
        fcgi->cleanup();
        receiveAvailable(failing);
    }
    EXPECT_EQ(fcgi->connectionCount(), 1u);
    EXPECT_TRUE(log.waitFor("Request 1: answer cut, its source failed: disk gone"));
}

TEST_F(FcgiTest, PeersThatStopReadingAreClosedAtTheQueueBoundsOrTheStallLimit) {
    KmsgReader log;
    answer = [&](Request* request) {
        request->writeHeader("");
        for (size_t i = std::stoul(request->param("MB")); i > 0; --i)
            request->output() << std::string(1 << 20, 'x');
        request->end();
    };
    auto ask = [&](size_t megabytes) {
        client(request(1, {{"MB", std::to_string(megabytes)}}, "", true));
        return handled.back();
    };
    // Over the bound of one connection.
    Request* greedy = ask(Constants::FCGI_MAX_QUEUED_PER_CONNECTION / (1 << 20) + 16);
    EXPECT_TRUE(greedy->peerGone());
    EXPECT_LT(receiveUntilEnd(clients.back(), 3000).size(), 64u << 20);
    // Over the bound of all: the one that holds the most goes, not the one printing.
    Request *first = ask(63), *second = ask(50), *third = ask(40);
    auto gone = [&] { return std::vector<bool>{first->peerGone(), second->peerGone(), third->peerGone()}; };
    EXPECT_EQ(gone(), (std::vector<bool>{true, false, false}));
    EXPECT_LE(fcgi->queuedBytes(), Constants::FCGI_MAX_QUEUED_TOTAL);
    // The rest are given up once they have taken nothing for the stall limit.
    fcgi->expire(std::chrono::steady_clock::now() + Constants::FCGI_WRITE_STALL_TIMEOUT);
    EXPECT_EQ(gone(), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(fcgi->queuedBytes(), 0u);
    fcgi->expire(std::chrono::steady_clock::now() + 2 * Constants::FCGI_WRITE_STALL_TIMEOUT);
    fcgi->cleanup();
    EXPECT_EQ(fcgi->connectionCount(), 0u);
    std::vector<std::string> closed;
    for (auto const& line : log.messages())
        if (line.find("connection closed") != line.npos)
            closed.push_back(line);
    EXPECT_EQ(closed, (std::vector<std::string>{
                          "Request 0: connection closed, answer queue over its bound",
                          "Request 1: connection closed, answer queues of all connections over their bound",
                          "Request 2: connection closed, peer read nothing for too long",
                          "Request 3: connection closed, peer read nothing for too long"}));
}

TEST_F(FcgiTest, IdleConnectionsAreClosedAtTheirLimitsButHeldRequestsAreNot) {
    int silent = client(), partial = client(beginRequest(1, true)), answered = client();
    EXPECT_EQ(exchange(answered, request(2, {}, "", true)).out, "|");
    answer = nullptr;
    int held = client(request(3, SOME_PARAMS, "", true));
    using std::chrono::seconds;
    auto now = std::chrono::steady_clock::now();
    auto closedAfter = [&](seconds wait) {
        fcgi->expire(now + wait);
        fcgi->cleanup();
        return takeReleased();
    };
    EXPECT_EQ(closedAfter(Constants::FCGI_REQUEST_TIMEOUT - seconds(1)), std::vector<unsigned>{});
    EXPECT_EQ(closedAfter(Constants::FCGI_REQUEST_TIMEOUT + seconds(1)), (std::vector<unsigned>{0, 1}));
    EXPECT_EQ(closedAfter(Constants::FCGI_KEEP_IDLE_TIMEOUT - seconds(1)), std::vector<unsigned>{});
    EXPECT_EQ(closedAfter(Constants::FCGI_KEEP_IDLE_TIMEOUT + seconds(1)), std::vector<unsigned>{2});
    EXPECT_EQ(closedAfter(seconds(24 * 3600)), std::vector<unsigned>{});
    for (int fd : {silent, partial, answered})
        EXPECT_EQ(receiveUntilEnd(fd, 1000), "");
    EXPECT_EQ(fcgi->connectionCount(), 1u);
    EXPECT_EQ(receiveAvailable(held), "");
}

TEST_F(FcgiTest, RequestsOverTheLimitsAreRefusedAndTheConnectionStaysInStep) {
    answer = [](Request* request) {
        request->writeHeader("");
        request->output() << request->postData().size();
        request->end();
    };
    std::string const refusal =
        Constants::FCGI_DEFAULT_HEADER + std::string("{\"result\": 0, \"error\": \"Request ");
    int late = client();
    std::string params = beginRequest(4, true);
    for (int i = 0; i < 3; ++i)
        params += record(4, 4, nameValue("P" + std::to_string(i), std::string(60000, 'p')));
    EXPECT_EQ(exchange(late, params + record(5, 4, "body", 4) + record(5, 4, "")).out,
              "Status: 431 Request Header Fields Too Large\r\n" + refusal +
                  "parameters larger than 131072 bytes.\" }");
    EXPECT_TRUE(handled.empty());

    // Bodies held at once have one limit for all. The server reads only while the test pumps: large bodies
    // go in pieces the socket holds, all but the empty STDIN record that completes them.
    auto deliver = [&](int fd, std::string const& bytes) {
        for (size_t at = 0; at < bytes.size() - 8; at += 64 << 10) {
            EXPECT_TRUE(sendAll(fd, bytes.substr(at, std::min<size_t>(64 << 10, bytes.size() - 8 - at))));
            pump();
        }
    };
    auto answered = [&](int fd, unsigned id) { return exchange(fd, record(5, id, "")).out; };
    std::string const body(40 << 20, 'b');
    int early = client();
    deliver(early, request(1, SOME_PARAMS, body));
    deliver(late, request(2, SOME_PARAMS, body, true));
    EXPECT_EQ(answered(late, 2), "Status: 413 Payload Too Large\r\n" + refusal +
                                     "bodies held at once larger than 67108864 bytes.\" }");
    EXPECT_EQ(answered(early, 1), std::to_string(body.size()));
    // Once the first is answered its body no longer counts.
    deliver(late, request(3, SOME_PARAMS, body, true));
    EXPECT_EQ(answered(late, 3), std::to_string(body.size()));
}

TEST_F(FcgiTest, DestructionEndsHeldRequestsWithoutWaitingForQueuedAnswers) {
    answer = [](Request* request) {
        request->output() << std::string(16 << 20, 'q');
        request->end();
    };
    int queued = client(request(7, SOME_PARAMS));
    answer = nullptr;
    int fd = client(request(8, SOME_PARAMS));
    ASSERT_EQ(handled.size(), 2u);
    ASSERT_GT(fcgi->queuedBytes(), 0u);
    fcgi.reset();
    EXPECT_EQ(receiveUntilEnd(fd, 1000), record(3, 8, std::string(8, '\0')));
    EXPECT_LT(receiveUntilEnd(queued, 3000).size(), size_t(16 << 20));
}

TEST_F(FcgiTest, ListensAloneOnItsPortOrServesASocketInheritedAsDescriptorZero) {
    EXPECT_TRUE(raises([&] { Fcgi second(PORT, poll, api); }, "bind: Address already in use"));
    fcgi.reset();
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(PORT), {}, {}};
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(listener, 10);
    int input = dup(0);
    dup2(listener, 0);
    close(listener);
    fcgi = std::make_unique<Fcgi>(poll, api);
    EXPECT_EQ(exchange(client(), request(2, {{"A", "1"}})).out, "A=1;|");
    fcgi.reset(); // closes descriptor 0
    dup2(input, 0);
    close(input);
}

} // namespace
