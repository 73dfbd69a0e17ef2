#pragma once

// The running service end to end: the test process plays the device (it fills the blocks and posts changes
// through the broker stand-in), the service runs as on the device, requests reach it over FastCGI as the
// front web server sends them. Every case runs in a sandbox of its own.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "fcgi_client.h"
#include "gen_init.h"
#include "introspection.h"
#include "process.h"
#include "standin.h"

namespace servicetest {

using namespace std::chrono_literals;
using Params = std::map<std::string, std::string>;

inline std::string const JSON_HEADER =
    "Content-type: application/json\r\nX-Content-Type-Options: nosniff\r\n\r\n";

// A "VmHWM:"-like field of /proc/<pid>/status, in kB; -1 when there is none.
inline long statusKb(pid_t pid, char const* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return strtol(line.c_str() + strlen(field) + 1, nullptr, 10);
    return -1;
}

class Service : public ::testing::Test, public ServerConnection::EventHandler {
protected:
    void SetUp() override {
        // The service does not start without a screen to capture.
        writeStandInFramebuffer("/dev/fb0", 64, 48, [](uint32_t, uint32_t) { return 0u; });
        broker = spawnProcess({BROKER_PATH});
        ASSERT_TRUE(waitUntil(brokerReady));
        gen::mapBlocks(true);
        gServerConnection = new ServerConnection(gen::getEventPoll());
        gServerConnection->setHandler(this);
        gServerConnection->subscribeAll();
        setValue("MemPersistent", "ProductName", "Controller \"Demo\"");
        setValue("MemPersistent", "FocusTorque", "2");
    }

    void TearDown() override {
        EXPECT_EQ(service > 0 ? stopProcess(service) : 0, 0);
        gen::closeServerConnection();
        stopProcess(broker);
    }

    void startService() {
        service = spawnProcess({SERVICE_PATH});
        ASSERT_TRUE(waitUntil([] { return portOpen(9000); })) << "the service never listened";
    }

    // The device's own write: stores the value and posts its event.
    void setValue(char const* block, char const* name, char const* text) {
        uint32_t mem = Introspection::getMemIndex(block);
        Change change = Introspection::setVarValue(mem, Introspection::getVarIndex(mem, name), text);
        ASSERT_EQ(change.error, "") << name;
        if (change.changed)
            postEvent(change.notify);
    }

    // Sends one request on a connection of its own and leaves the answer to be read later.
    int send(Params const& params, std::string const& body = "", unsigned requestId = 1) {
        int fd = fcgiclient::connectTo(9000);
        EXPECT_TRUE(fd >= 0 && fcgiclient::sendAll(fd, fcgiclient::request(requestId, params, body)));
        return fd;
    }

    // The bound only ends a wait for an answer that never comes; under an emulator on a busy machine a large body
    // takes seconds.
    static fcgiclient::Answer answerOf(int fd, int timeoutMs = 15000) {
        std::vector<fcgiclient::Record> records;
        fcgiclient::Answer answer;
        EXPECT_TRUE(fcgiclient::parse(fcgiclient::receiveUntilEnd(fd, timeoutMs), records));
        close(fd);
        EXPECT_EQ(fcgiclient::checkAnswer(records, answer), "");
        return answer;
    }

    // The body of one answered request, its header checked.
    std::string ask(Params const& params, std::string const& body = "") {
        std::string out = answerOf(send(params, body)).out;
        EXPECT_EQ(out.substr(0, JSON_HEADER.size()), JSON_HEADER);
        return out.size() < JSON_HEADER.size() ? "" : out.substr(JSON_HEADER.size());
    }

    // Requests sent before it have been read once this one is answered: connections are taken in order.
    void served() { EXPECT_NE(ask({{"SCRIPT_NAME", "/api/v1/none.cgi"}}), ""); }

    std::string set(std::string const& body) { return ask({{"SCRIPT_NAME", "/api/v1/set.cgi"}}, body); }

    // Events the broker delivered to the device since the last call, waiting up to 5 s until wanted has come
    // that many times. Without one, until a marker posted now comes back: the broker keeps the order of
    // what it took, so whatever was posted before it has been delivered by then.
    std::vector<Notify> delivered(uint32_t wanted = UINT32_MAX, long times = 1) {
        if (wanted == UINT32_MAX) // an event beyond the device's: the service ignores it
            gServerConnection->postEvent({wanted = EVENT_NAME_SIZE, 0, 0});
        auto is = [](uint32_t event) { return [event](Notify n) { return n.event == event; }; };
        for (auto end = std::chrono::steady_clock::now() + 5s;
             std::count_if(events.begin(), events.end(), is(wanted)) < times &&
             std::chrono::steady_clock::now() < end;)
            gen::getEventPoll().wait(10, true);
        events.erase(std::remove_if(events.begin(), events.end(), is(EVENT_NAME_SIZE)), events.end());
        return std::exchange(events, {});
    }

    void handleEvent(Notify const& event) override { events.push_back(event); }

    pid_t broker = -1;
    pid_t service = -1;
    std::vector<Notify> events;
};

} // namespace servicetest
