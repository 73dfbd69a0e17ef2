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
#include <unistd.h>
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
inline std::string const SET_DONE = R"({"result": 1 })";
inline std::string const SERVER_ERROR = "Status: 500 Internal Server Error\r\n";
inline std::string const BOUNDARY = "----form7MA4YWxk";
inline std::string const MULTIPART = "multipart/form-data; boundary=" + BOUNDARY;

// A multipart body as browsers and the app send it; the part named "file" carries a file name and type.
inline std::string form(std::vector<std::pair<std::string, std::string>> const& parts) {
    std::string body;
    for (auto const& [name, content] : parts) {
        body += "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
        if (name == "file")
            body += "; filename=\"package.swu\"\r\nContent-Type: application/octet-stream";
        body += "\r\n\r\n" + content + "\r\n";
    }
    return body + "--" + BOUNDARY + "--\r\n";
}

// A request of the companion app's API: the front web server passes the path after the script as PATH_INFO.
inline Params appRequest(std::string const& path, std::string const& method = "GET",
                         std::string const& type = "") {
    Params params{{"SCRIPT_NAME", "/voxapp/v1"}, {"PATH_INFO", path}, {"REQUEST_METHOD", method}};
    if (!type.empty())
        params["CONTENT_TYPE"] = type;
    return params;
}
inline Params const UPLOAD = appRequest("/device/update", "POST", MULTIPART);

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

    static bool exists(std::string const& path) { return access(path.c_str(), F_OK) == 0; }
    static bool contains(std::string const& text, char const* part) { return text.find(part) != text.npos; }

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

    // Sends a request, or a part of one, on a connection of its own; the answer is read later.
    static int sendBytes(std::string const& bytes) {
        int fd = fcgiclient::connectTo(9000);
        EXPECT_TRUE(fd >= 0 && fcgiclient::sendAll(fd, bytes));
        return fd;
    }
    static int send(Params const& params, std::string const& body = "", unsigned requestId = 1) {
        return sendBytes(fcgiclient::request(requestId, params, body));
    }
    static Params logFrom(std::string const& query) {
        return {{"SCRIPT_NAME", "/api/v1/log.cgi"}, {"QUERY_STRING", query}};
    }

    // The bound only ends a wait for an answer that never comes; under an emulator on a busy machine a large
    // body takes seconds.
    static fcgiclient::Answer answerOf(int fd, int timeoutMs = 15000) {
        std::vector<fcgiclient::Record> records;
        fcgiclient::Answer answer;
        EXPECT_TRUE(fcgiclient::parse(fcgiclient::receiveUntilEnd(fd, timeoutMs), records));
        close(fd);
        EXPECT_EQ(fcgiclient::checkAnswer(records, answer), "");
        return answer;
    }
    // The answer's whole standard output, header included.
    std::string raw(Params const& p, std::string const& body = "") { return answerOf(send(p, body)).out; }

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

    // The same events as names, in the order they were posted.
    std::string eventsUntil(uint32_t wanted = UINT32_MAX, long times = 1) {
        std::string names;
        for (Notify const& event : delivered(wanted, times))
            names += (names.empty() ? "" : " ") + std::string(EVENT_NAME[event.event]);
        return names;
    }

    void handleEvent(Notify const& event) override { events.push_back(event); }

    pid_t broker = -1;
    pid_t service = -1;
    std::vector<Notify> events;
};

} // namespace servicetest
