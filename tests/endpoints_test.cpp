// The kernel log, screen capture and 1-Wire endpoints of the running service. Stand-ins of the test's own for
// dmesg and the 1-Wire tool come first on the PATH the service inherits, in the sandbox's /tmp.

#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "kmsg.h"
#include "onewire.h"
#include "pngdecode.h"
#include "requesthandler.h"
#include "servicefixture.h"
#include "standin.h"

namespace {

using namespace servicetest;

using Endpoints = Service;

TEST_F(Endpoints, KernelLogOffsetsChooseWhatIsSentAndAnUpToDateRequestWaitsForNewText) {
    // The kernel's log so far, then whatever the test writes into the pipe.
    ASSERT_EQ(mkfifo("/tmp/more-log", 0600), 0);
    script("/tmp/bin/dmesg", "printf '\\033[31mError\\033[0m plain\\n'\nexec cat /tmp/more-log");
    putOnPath("/tmp/bin");
    startService();
    int more = open("/tmp/more-log", O_RDWR);
    auto log = [&](std::string const& query) { return raw(logFrom(query)); };
    ASSERT_TRUE(waitUntil([&] { return log("").find("plain") != std::string::npos; }));
    std::string const header = "Content-type: text/html\r\n"
                               "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\r\n"
                               "X-Content-Type-Options: nosniff\r\n\r\n";
    std::string const first = "<span style='color: #AA0000'>Error</span> plain\n";
    std::string const size = std::to_string(first.size());
    EXPECT_EQ(log(""), header + size + "\r\n" + first);
    EXPECT_EQ(log("offset=5"), header + size + "\r\n" + first.substr(5));
    // No place in the text, or a place it does not have: everything.
    for (char const* query : {"offset=0", "offset=5000", "x=1&offset=5", "offset=-3", "offset=abc",
                              "offset=99999999999999999999", "offset="})
        EXPECT_EQ(log(query), header + size + "\r\n" + first) << query;

    // Held while there is nothing new; a colour cut between two writes is no new text until its end arrives.
    int held = send(logFrom("offset=" + size));
    ASSERT_EQ(write(more, "\x1b[3", 3), 3);
    served(); // the pipe was readable before this request came, so it has been read by its answer
    EXPECT_EQ(fcgiclient::receiveAvailable(held), "");
    ASSERT_EQ(write(more, "3mX\n", 4), 4);
    EXPECT_EQ(answerOf(held).out, header + size + "\r\n<span style='color: #AAAA00'>X\n");
    close(more);
}

TEST_F(Endpoints, ScreenIsAPictureOfTheScreenAndAFailedCaptureIsAnError) {
    // The pixels themselves are the capture unit's to check; here the picture and the error reach the client.
    auto screenOf = [](uint32_t depth) {
        writeStandInFramebuffer("/dev/fb0", {64, 48, 2, 0, depth},
                                [](uint32_t, uint32_t, uint32_t) { return 0u; });
    };
    screenOf(32);
    startService();
    auto screen = [&] { return raw({{"SCRIPT_NAME", "/api/v1/screen.cgi"}}); };
    std::string const header = Constants::PNG_HEADER;
    std::string answer = screen();
    ASSERT_EQ(answer.substr(0, header.size()), header);
    unsigned width = 0, height = 0;
    decodePng(answer.substr(header.size()), width, height);
    EXPECT_TRUE(width == 64 && height == 48) << width << "x" << height;

    // Another depth is refused with an error status and nothing of a picture; the next capture works again.
    KmsgReader kmsg;
    screenOf(16);
    std::string const refusal = "Screen capture needs 32 bits per pixel, the framebuffer has 16";
    EXPECT_EQ(screen(), SERVER_ERROR + JSON_HEADER + R"({"result": 0, "error": ")" + refusal + "\" }");
    EXPECT_TRUE(kmsg.waitFor(refusal));
    screenOf(32);
    EXPECT_EQ(screen().substr(0, header.size() + 4), header + "\x89PNG");
}

class OneWire : public Endpoints {
protected:
    void SetUp() override {
        Endpoints::SetUp();
        // Records its arguments and input, and exits with the status the test leaves in a file.
        std::string const tool = "echo \"$@\" >/tmp/onewire.args\ncat >/tmp/onewire.in\n";
        script("/tmp/bin/onewire-tool.py", tool + "exit $(cat /tmp/onewire.status 2>/dev/null || echo 0)");
        putOnPath("/tmp/bin");
        startService();
    }
    std::string ring(std::string const& b) { return raw({{"SCRIPT_NAME", "/api/v1/premarkeddata.cgi"}}, b); }
    std::string modem(std::string const& b) { return raw({{"SCRIPT_NAME", "/api/v1/modemdata.cgi"}}, b); }
    static std::string label(std::array<char, 64> const& text) { return text.data(); }
};

TEST_F(OneWire, ModemTypeComesFromTheFirstLetterAndABadBodyChangesNothing) {
    std::pair<char const*, gen::ModemType> const cases[] = {
        {R"({"devType": "Apple"})", gen::ModemType::Tarn},
        {R"({"devType": "B"})", gen::ModemType::P2400},
        {R"({"devType": "C-900"})", gen::ModemType::P900}};
    for (auto const& [body, type] : cases) {
        EXPECT_EQ(modem(body), "") << "answered without output: " << body;
        EXPECT_EQ(gMemServiceMode->ServiceModeConnectedModemType, type) << body;
        EXPECT_EQ(label(gMemServiceMode->ServiceMode1WireModemLabel), "Modem encryption started ...");
    }
    modem(R"({"devType": ""})");
    EXPECT_EQ(label(gMemServiceMode->ServiceMode1WireModemLabel), "Unknown Modem type connected");
    for (auto [body, said] : {std::pair{R"({"type": "A"})", "Key: 'devType' is missing"},
                              {R"({"devType": 5})", "Writing to the modem's 1Wire failed"}}) {
        KmsgReader kmsg;
        modem(body);
        EXPECT_TRUE(kmsg.waitFor(said) && kmsg.waitFor("Writing to the modem's 1Wire failed")) << body;
    }
    EXPECT_EQ(modem("devType: A").substr(0, 24), "Status: 400 Bad Request\r");
    EXPECT_EQ(gMemServiceMode->ServiceModeConnectedModemType, gen::ModemType::P900);
}

TEST_F(OneWire, RingWriteRunsTheToolWithTheTwoLines) {
    gMemPersistent->PreMarkedRingAutoDet = true;
    delivered();
    EXPECT_EQ(ring(R"({"unit": "metric", "focusCloseValue": "0.45"})"), "");
    EXPECT_EQ(fileText("/tmp/onewire.args"), "-e -m knob\n");
    EXPECT_EQ(fileText("/tmp/onewire.in"), "1\n0.45\n\n"); // echo adds its own line feed
    // The writing flag brackets the write; the detection flag, already true, is posted twice all the same.
    EXPECT_EQ(eventsUntil(gen::Event::VarServiceModeWritingToRing1WireChanged, 2),
              "VarServiceModeWritingToRing1WireChanged VarServiceMode1WireRingLabelChanged "
              "VarPreMarkedRingAutoDetChanged VarPreMarkedRingAutoDetChanged "
              "VarServiceModeWritingToRing1WireChanged");
    EXPECT_TRUE(gMemPersistent->PreMarkedRingAutoDet);
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
    EXPECT_EQ(label(gMemServiceMode->ServiceMode1WireRingLabel), "-");

    // Each unit's digit, and values that are data for the shell, never syntax: quotes, substitutions, a line.
    char const* const units[] = {"metric", "imperial", "custom"};
    char const* const values[] = {
        "1.5", "'; touch /tmp/x; echo '", "$(touch /tmp/x)", "`touch /tmp/x`", "1\ntouch /tmp/x", "'\"'\"'"};
    for (size_t i = 0; i < std::size(values); ++i) {
        ring(nlohmann::json{{"unit", units[i % 3]}, {"focusCloseValue", values[i]}}.dump());
        EXPECT_EQ(fileText("/tmp/onewire.in"), std::to_string(i % 3 + 1) + "\n" + values[i] + "\n\n")
            << values[i];
    }
    EXPECT_FALSE(exists("/tmp/x"));
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
}

TEST_F(OneWire, AFailedOrRefusedWriteClearsTheFlagAndRunsNothingAlsoWithTheBrokerGone) {
    KmsgReader kmsg;
    gMemPersistent->PreMarkedRingAutoDet = false;
    std::ofstream("/tmp/onewire.status") << "1\n";
    ring(R"({"unit": "metric", "focusCloseValue": "0.45"})");
    EXPECT_TRUE(kmsg.waitFor("Error during calling onewire-tool.py"));
    EXPECT_TRUE(kmsg.waitFor("Writing to the premarked ring's 1Wire failed"));
    EXPECT_FALSE(gMemPersistent->PreMarkedRingAutoDet) << "untouched when the tool fails";
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
    unlink("/tmp/onewire.status");
    unlink("/tmp/onewire.in");

    // Nothing here reaches the tool.
    std::pair<std::string, char const*> const refusals[] = {
        {R"({"unit": "Metric", "focusCloseValue": "0.45"})", "Unit has an invalid value: Metric"},
        {R"({"unit": "metric"})", "Key: 'focusCloseValue' is missing"},
        {R"({"focusCloseValue": "0.45"})", "Key: 'unit' is missing"},
        {R"({"unit": "metric", "focusCloseValue": ")" + std::string(200, '9') + "\"}",
         "Command for onewire-tool.py does not fit"}};
    for (auto const& [body, said] : refusals) {
        ring(body);
        EXPECT_TRUE(kmsg.waitFor(said)) << body;
    }
    std::string refused = ring("{unit: metric}");
    EXPECT_EQ(refused.substr(0, 24), "Status: 400 Bad Request\r") << refused;

    // With the broker gone the write fails as well; the service goes on serving.
    stopProcess(broker);
    std::string answer = ring(R"({"unit": "metric", "focusCloseValue": "0.45"})");
    EXPECT_EQ(answer.substr(0, SERVER_ERROR.size()), SERVER_ERROR) << answer;
    EXPECT_TRUE(contains(answer, "Could not send message to server")) << answer;
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
    EXPECT_FALSE(exists("/tmp/onewire.in"));
    EXPECT_EQ(modem(R"({"devType": "A"})"), "");
}

TEST(RingCommand, QuotesAreEscapedAndTheRoomIsCountedAfterQuoting) {
    std::string format = Constants::ONEWIRE_RING_COMMAND;
    size_t room = Constants::ONEWIRE_COMMAND_SIZE - 1 - (format.size() - 2); // for the text in place of %s
    std::string fits = "1\n" + std::string(room - 2, '9');
    EXPECT_EQ(::OneWire::ringCommand(fits).size(), Constants::ONEWIRE_COMMAND_SIZE - 1);
    EXPECT_THROW(::OneWire::ringCommand(fits + "9"), std::runtime_error);
    // A quote takes four characters once quoted.
    EXPECT_THROW(::OneWire::ringCommand(fits.substr(0, fits.size() - 3) + "'"), std::runtime_error);
    EXPECT_NO_THROW(::OneWire::ringCommand(fits.substr(0, fits.size() - 4) + "'"));
    EXPECT_EQ(::OneWire::ringCommand("1\nit's\n"),
              "echo '1\nit'\\''s\n' | onewire-tool.py -e -m knob >/dev/kmsg 2>&1");
}

} // namespace
