// The listener behind a real FastCGI client, nginx (driven with curl), with the test responder standing in
// for the web API. Every case runs in a sandbox of its own with a private loopback.

#include <gtest/gtest.h>
#include <string>

#include "process.h"

namespace {

std::string answerPattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_"[i % 64];
    return text;
}

class FcgiPeers : public ::testing::Test {
protected:
    void SetUp() override {
        responder = spawnProcess({RESPONDER});
        ASSERT_TRUE(waitUntil([] { return portOpen(9000); }));
    }
    void TearDown() override {
        if (nginx > 0)
            stopProcess(nginx);
        EXPECT_EQ(stopProcess(responder), 0) << "the responder ends cleanly on SIGTERM";
    }
    pid_t responder = -1;
    pid_t nginx = -1;
};

TEST_F(FcgiPeers, NginxGetsWholeAnswersOverNewAndKeptConnections) {
    nginx = spawnProcess({"nginx", "-c", NGINX_CONF, "-g", "daemon off;"});
    ASSERT_TRUE(waitUntil([] { return portOpen(8080); }));
    auto curl = [](std::string const& path) {
        std::string response = commandOutput("curl -s -i 'http://127.0.0.1:8080" + path + "'");
        size_t end = response.find("\r\n\r\n");
        return std::make_pair(response.substr(0, response.find("\r\n")),
                              end == std::string::npos ? "" : response.substr(end + 4));
    };
    for (std::string way : {"", "/keep"}) {
        for (size_t size : {0, 1, 8191, 8193, 65528, 65529, 200000, 3000000}) {
            auto answer = curl(way + "/size?n=" + std::to_string(size));
            EXPECT_EQ(answer.first, "HTTP/1.1 200 OK") << size;
            EXPECT_TRUE(answer.second == answerPattern(size))
                << way << ": answer of " << size << " bytes differs";
        }
    }
    // Kept: the next request comes on the connection of the one before.
    EXPECT_EQ(curl("/keep/id").second, curl("/keep/id").second);
    EXPECT_NE(curl("/id").second, curl("/id").second);
    EXPECT_EQ(curl("/stderr").second, "out");
    EXPECT_EQ(curl("/nothing"), std::make_pair(std::string("HTTP/1.1 404 Not Found"),
                                               std::string("unknown script /nothing\n")));
}

} // namespace
