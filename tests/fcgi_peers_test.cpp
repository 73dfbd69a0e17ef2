// The listener against real FastCGI clients: nginx (driven with curl) and cgi-fcgi, with the test responder
// standing in for the web API. Every case runs in a sandbox of its own with a private loopback.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "fcgi_client.h"
#include "process.h"

namespace {

std::string answerPattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"[i % 64];
    return text;
}

bool waitForPort(int port) {
    for (int i = 0; i < 200; ++i) {
        int fd = fcgiclient::connectTo(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string body(std::string const& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

class FcgiPeers : public ::testing::Test {
protected:
    void SetUp() override {
        mResponder = spawnProcess({RESPONDER});
        ASSERT_TRUE(waitForPort(9000));
    }
    void TearDown() override {
        for (pid_t pid : {mNginx, mResponder}) {
            if (pid <= 0)
                continue;
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
            // The responder ends cleanly on SIGTERM: nothing thrown, nothing leaked.
            if (pid == mResponder) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            }
        }
    }
    void startNginx() {
        mNginx = spawnProcess({"nginx", "-c", NGINX_CONF, "-g", "daemon off;"});
        ASSERT_TRUE(waitForPort(8080));
    }
    std::string curl(std::string const& arguments) { return commandOutput("curl -s -i " + arguments); }

    pid_t mResponder = -1;
    pid_t mNginx = -1;
};

TEST_F(FcgiPeers, NginxGetsWholeAnswersOfEverySize) {
    startNginx();
    for (size_t size : {0, 1, 8191, 8193, 65528, 65529, 200000, 3000000}) {
        std::string response = curl("'http://127.0.0.1:8080/size?n=" + std::to_string(size) + "'");
        EXPECT_EQ(response.compare(0, 15, "HTTP/1.1 200 OK"), 0) << size;
        EXPECT_TRUE(body(response) == answerPattern(size)) << "answer of " << size << " bytes differs";
    }
    EXPECT_EQ(body(curl("http://127.0.0.1:8080/stderr")), "out");
    std::string unknown = curl("http://127.0.0.1:8080/nothing");
    EXPECT_EQ(unknown.compare(0, 22, "HTTP/1.1 404 Not Found"), 0);
    EXPECT_EQ(body(unknown), "unknown script /nothing\n");
}

TEST_F(FcgiPeers, NginxPassesParametersAndLargeBodies) {
    startNginx();
    std::string upload(3 << 20, '\0');
    std::mt19937 random(7);
    for (char& byte : upload)
        byte = char(random());
    { std::ofstream("/tmp/upload", std::ios::binary) << upload; }
    std::string echoed =
        body(curl("-H 'X-Probe: yes' --data-binary @/tmp/upload 'http://127.0.0.1:8080/echo?a=1&b=2'"));
    size_t end = echoed.find("\n\n");
    ASSERT_NE(end, std::string::npos);
    std::string params = echoed.substr(0, end + 1);
    for (char const* line : {"REQUEST_METHOD=POST\n", "QUERY_STRING=a=1&b=2\n", "SCRIPT_NAME=/echo\n",
                             "CONTENT_LENGTH=3145728\n", "HTTP_X_PROBE=yes\n"})
        EXPECT_NE(params.find(line), std::string::npos) << line;
    EXPECT_TRUE(echoed.substr(end + 2) == upload) << "body differs";
}

TEST_F(FcgiPeers, NginxKeepsConnectionsAndHeldRequestsDoNotBlockOthers) {
    startNginx();
    // One kept FastCGI connection serves both requests, so both answers name the same request number.
    std::string kept = commandOutput(
        "curl -s 'http://127.0.0.1:8080/keep/hold?ms=0' 'http://127.0.0.1:8080/keep/hold?ms=0'");
    ASSERT_EQ(kept.size() % 2, 0u);
    EXPECT_EQ(kept.compare(0, 5, "held "), 0) << kept;
    EXPECT_EQ(kept.substr(0, kept.size() / 2), kept.substr(kept.size() / 2));

    auto start = std::chrono::steady_clock::now();
    std::string held;
    std::thread waiting([&] { held = body(curl("'http://127.0.0.1:8080/hold?ms=300'")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(body(curl("'http://127.0.0.1:8080/size?n=10'")), "0123456789");
    waiting.join();
    EXPECT_EQ(held.compare(0, 5, "held "), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    // Clients that give up on held requests leave nothing behind that stops the next one.
    for (int i = 0; i < 5; ++i)
        commandOutput("curl -s --max-time 0.1 'http://127.0.0.1:8080/hold?ms=100000'");
    EXPECT_EQ(body(curl("'http://127.0.0.1:8080/keep/size?n=5'")), "01234");
}

TEST_F(FcgiPeers, CgiFcgiClientTalksToTheListener) {
    std::string answer =
        commandOutput("printf hello | env -i SCRIPT_NAME=/echo REQUEST_METHOD=POST CONTENT_LENGTH=5 "
                      "QUERY_STRING=x=y cgi-fcgi -bind -connect 127.0.0.1:9000");
    EXPECT_EQ(answer,
              "Content-type: text/plain\r\n\r\nCONTENT_LENGTH=5\nQUERY_STRING=x=y\nREQUEST_METHOD=POST\n"
              "SCRIPT_NAME=/echo\n\nhello");
}

TEST_F(FcgiPeers, ResponderStartedWithInheritedListeningSocket) {
    // cgi-fcgi -start opens the socket and starts the program with it as descriptor 0.
    commandOutput("cgi-fcgi -start -connect :9100 " + executablePath(RESPONDER));
    ASSERT_TRUE(waitForPort(9100));
    std::string answer = commandOutput(
        "env -i SCRIPT_NAME=/size QUERY_STRING=n=20000 cgi-fcgi -bind -connect 127.0.0.1:9100 </dev/null");
    EXPECT_TRUE(answer == "Content-type: text/plain\r\n\r\n" + answerPattern(20000)) << answer.size();
}

} // namespace
