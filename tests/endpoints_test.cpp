// The kernel log, screen capture and 1-Wire endpoints of the running service. Stand-ins of the test's own for
// dmesg and the 1-Wire tool come first on the PATH the service inherits, in the sandbox's /tmp.

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <png.h>
#include <sstream>
#include <sys/stat.h>

#include "fb-file.h"
#include "fb-linux.h"
#include "kmsg.h"
#include "pngdecode.h"
#include "requesthandler.h"
#include "servicefixture.h"

void processPreInit() {}
void processPostInit() {}

namespace {

using namespace servicetest;

bool fileExists(char const* path) {
    struct stat status {};
    return stat(path, &status) == 0;
}

std::string readFile(char const* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Endpoints : public Service {
protected:
    // The answer's whole standard output, header included.
    std::string raw(Params const& params, std::string const& body = "") {
        return answerOf(send(params, body)).out;
    }
};

// --- kernel log ---

class LogEndpoint : public Endpoints {
protected:
    void SetUp() override {
        Endpoints::SetUp();
        // The kernel's log so far, then whatever the test writes into the pipe.
        ASSERT_EQ(mkfifo("/tmp/more-log", 0600), 0);
        script("/tmp/bin/dmesg", "printf '\\033[31mError\\033[0m plain\\n'\nexec cat /tmp/more-log");
        putOnPath("/tmp/bin");
        startService();
        more = open("/tmp/more-log", O_RDWR);
        ASSERT_GE(more, 0);
        ASSERT_TRUE(waitUntil([&] { return log("").find("plain") != std::string::npos; }));
    }
    void TearDown() override {
        close(more);
        Endpoints::TearDown();
    }
    std::string log(std::string const& query) {
        return raw({{"SCRIPT_NAME", "/api/v1/log.cgi"}, {"QUERY_STRING", query}});
    }
    void write(std::string const& text) {
        ASSERT_EQ(::write(more, text.data(), text.size()), ssize_t(text.size()));
    }

    std::string const header = "Content-type: text/html\r\n\r\n";
    std::string const first = "<span style='color: #AA0000'>Error</span> plain\n";
    int more = -1;
};

TEST_F(LogEndpoint, OffsetsChooseWhatIsSent) {
    std::string size = std::to_string(first.size()) + "\r\n";
    EXPECT_EQ(log(""), header + size + first);
    EXPECT_EQ(log("offset=5"), header + size + first.substr(5));
    // No place in the text, or a place it does not have: everything.
    for (char const* query : {"offset=0", "offset=5000", "x=1&offset=5", "offset=-3", "offset=abc",
                              "offset=99999999999999999999", "offset="})
        EXPECT_EQ(log(query), header + size + first) << query;
}

TEST_F(LogEndpoint, AnUpToDateRequestIsHeldUntilNewTextArrives) {
    std::string offset = std::to_string(first.size());
    int held = send({{"SCRIPT_NAME", "/api/v1/log.cgi"}, {"QUERY_STRING", "offset=" + offset}});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(fcgiclient::receiveAvailable(held), "") << "nothing new yet";
    // A colour cut between two writes is no new text until its end arrives.
    write("\x1b[3");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(fcgiclient::receiveAvailable(held), "");
    write("3mX\n");
    EXPECT_EQ(answerOf(held).out, header + offset + "\r\n<span style='color: #AAAA00'>X\n");
}

// --- screen capture ---

void setDepth(uint32_t bits) {
    int fd = open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    FbFile::FileRecord record{};
    off_t at = lseek(fd, 0, SEEK_END) - off_t(sizeof record);
    ASSERT_EQ(pread(fd, &record, sizeof record, at), ssize_t(sizeof record));
    record.bitsPerPixel = bits;
    ASSERT_EQ(pwrite(fd, &record, sizeof record, at), ssize_t(sizeof record));
    close(fd);
}

TEST_F(Endpoints, ScreenIsThePictureOnDisplayAndAFailedCaptureIsAnError) {
    constexpr unsigned W = 64, H = 48;
    writeStandInFramebuffer(
        "/dev/fb0", W, H, [](uint32_t, uint32_t) { return 0u; }, 2);
    // The device's GUI draws a picture into each buffer and shows the second.
    FbLinux gui("/dev/fb0", 2);
    gui.init();
    auto paint = [&](uint32_t salt) {
        auto* pixels = reinterpret_cast<uint32_t*>(gui.backbufferAddress());
        for (uint32_t i = 0; i < W * H; ++i)
            pixels[i] = (i * 2654435761u) ^ salt; // bytes blue, green, red, alpha
        gui.show();
    };
    paint(0);
    paint(0x5a5a5a5au);
    startService();

    std::string answer = raw({{"SCRIPT_NAME", "/api/v1/screen.cgi"}});
    std::string const header = "Content-type: image/png\r\n\r\n";
    ASSERT_EQ(answer.substr(0, header.size() + 8), header + "\x89PNG\r\n\x1a\n");
    unsigned width = 0, height = 0;
    auto pixels = decodePng(answer.substr(header.size()), width, height);
    ASSERT_EQ(width, W);
    ASSERT_EQ(height, H);
    auto const* shown = reinterpret_cast<unsigned char const*>(gui.frontbufferAddress());
    size_t wrong = 0;
    for (size_t i = 0; i < size_t(W) * H; ++i) {
        unsigned char const* in = shown + i * 4;
        unsigned char const* out = pixels.data() + i * 4;
        wrong += !(out[0] == in[2] && out[1] == in[1] && out[2] == in[0] && out[3] == in[3]);
    }
    EXPECT_EQ(wrong, 0u) << "pixels differ from the buffer on display";

    // Another depth is refused with an error status and nothing of a picture; the next capture works again.
    KmsgReader kmsg;
    setDepth(16);
    EXPECT_EQ(raw({{"SCRIPT_NAME", "/api/v1/screen.cgi"}}),
              "Status: 500 Internal Server Error\r\nContent-type: application/json\r\n\r\n"
              R"({"result": 0, "error": "Screen capture needs 32 bits per pixel, the framebuffer has 16" })");
    EXPECT_TRUE(kmsg.waitFor("Screen capture needs 32 bits per pixel"));
    setDepth(32);
    EXPECT_EQ(raw({{"SCRIPT_NAME", "/api/v1/screen.cgi"}}).substr(0, header.size() + 4), header + "\x89PNG");
}

// --- 1-Wire ---

class OneWire : public Endpoints {
protected:
    void SetUp() override {
        Endpoints::SetUp();
        // Records its arguments and input, and exits with the status the test leaves in a file.
        script("/tmp/bin/onewire-tool.py", "echo \"$@\" >/tmp/onewire.args\ncat >/tmp/onewire.in\nexit $(cat "
                                           "/tmp/onewire.status 2>/dev/null || "
                                           "echo 0)");
        putOnPath("/tmp/bin");
        startService();
    }
    std::string post(char const* script, std::string const& body) {
        return raw({{"SCRIPT_NAME", script}}, body);
    }
    std::string ring(std::string const& body) { return post("/api/v1/premarkeddata.cgi", body); }
    std::string modem(std::string const& body) { return post("/api/v1/modemdata.cgi", body); }
    static std::string label(std::array<char, 64> const& text) { return text.data(); }
    static size_t count(std::vector<Notify> const& events, uint32_t id) {
        return size_t(
            std::count_if(events.begin(), events.end(), [&](Notify const& e) { return e.event == id; }));
    }
};

TEST_F(OneWire, ModemTypeComesFromTheFirstLetter) {
    KmsgReader kmsg;
    struct Case {
        char const* body;
        gen::ModemType type;
    } const cases[] = {{R"({"devType": "Apple"})", gen::ModemType::Tarn},
                       {R"({"devType": "B"})", gen::ModemType::P2400},
                       {R"({"devType": "C-900"})", gen::ModemType::P900}};
    for (auto const& c : cases) {
        EXPECT_EQ(modem(c.body), "") << "answered without output: " << c.body;
        EXPECT_EQ(gMemServiceMode->ServiceModeConnectedModemType, c.type) << c.body;
        EXPECT_EQ(label(gMemServiceMode->ServiceMode1WireModemLabel), "Modem encryption started ...");
    }
    modem(R"({"devType": ""})");
    EXPECT_EQ(label(gMemServiceMode->ServiceMode1WireModemLabel), "Unknown Modem type connected");
    EXPECT_EQ(gMemServiceMode->ServiceModeConnectedModemType, gen::ModemType::P900);

    modem(R"({"type": "A"})");
    EXPECT_TRUE(kmsg.waitFor("Key: 'devType' is missing"));
    EXPECT_TRUE(kmsg.waitFor("Writing to the modem's 1Wire failed"));
    modem(R"({"devType": 5})");
    EXPECT_TRUE(kmsg.waitFor("Writing to the modem's 1Wire failed"));
    EXPECT_EQ(gMemServiceMode->ServiceModeConnectedModemType, gen::ModemType::P900);
    std::string refused = modem("devType: A");
    EXPECT_EQ(refused.substr(0, 24), "Status: 400 Bad Request\r") << refused;
}

TEST_F(OneWire, RingWriteRunsTheToolWithTheTwoLines) {
    gMemPersistent->PreMarkedRingAutoDet = true;
    delivered();
    EXPECT_EQ(ring(R"({"unit": "metric", "focusCloseValue": "0.45"})"), "");
    EXPECT_EQ(readFile("/tmp/onewire.args"), "-e -m knob\n");
    EXPECT_EQ(readFile("/tmp/onewire.in"), "1\n0.45\n\n"); // echo adds its own line feed
    auto events = delivered(gen::Event::VarPreMarkedRingAutoDetChanged);
    EXPECT_EQ(count(events, gen::Event::VarPreMarkedRingAutoDetChanged), 2u) << "already true: posted twice";
    EXPECT_EQ(count(events, gen::Event::VarServiceModeWritingToRing1WireChanged), 2u) << "raised and lowered";
    EXPECT_TRUE(gMemPersistent->PreMarkedRingAutoDet);
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
    EXPECT_EQ(label(gMemServiceMode->ServiceMode1WireRingLabel), "-");

    ring(R"({"unit": "imperial", "focusCloseValue": "1.5"})");
    EXPECT_EQ(readFile("/tmp/onewire.in"), "2\n1.5\n\n");
    ring(R"({"unit": "custom", "focusCloseValue": "7"})");
    EXPECT_EQ(readFile("/tmp/onewire.in"), "3\n7\n\n");
}

TEST_F(OneWire, AFailedOrRefusedWriteClearsTheFlagAndRunsNothing) {
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
    ring(R"({"unit": "Metric", "focusCloseValue": "0.45"})");
    EXPECT_TRUE(kmsg.waitFor("Unit has an invalid value: Metric"));
    ring(R"({"unit": "metric"})");
    EXPECT_TRUE(kmsg.waitFor("Key: 'focusCloseValue' is missing"));
    ring(R"({"focusCloseValue": "0.45"})");
    EXPECT_TRUE(kmsg.waitFor("Key: 'unit' is missing"));
    ring(R"({"unit": "metric", "focusCloseValue": ")" + std::string(200, '9') + "\"}");
    EXPECT_TRUE(kmsg.waitFor("Command for onewire-tool.py does not fit"));
    EXPECT_FALSE(fileExists("/tmp/onewire.in"));
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);

    std::string refused = ring("{unit: metric}");
    EXPECT_EQ(refused.substr(0, 24), "Status: 400 Bad Request\r") << refused;
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
    EXPECT_FALSE(fileExists("/tmp/onewire.in"));
}

TEST_F(OneWire, AValueIsDataForTheShellNeverSyntax) {
    char const* hostile[] = {"'; touch /tmp/ran; echo '",
                             "$(touch /tmp/ran)",
                             "`touch /tmp/ran`",
                             "0.45; touch /tmp/ran",
                             "0.45\ntouch /tmp/ran",
                             "' | touch /tmp/ran #",
                             "''",
                             "'\"'\"'"};
    for (char const* value : hostile) {
        nlohmann::json body = {{"unit", "metric"}, {"focusCloseValue", value}};
        ring(body.dump());
        EXPECT_FALSE(fileExists("/tmp/ran")) << value;
        EXPECT_EQ(readFile("/tmp/onewire.in"), std::string("1\n") + value + "\n\n") << value;
        EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
    }
}

TEST_F(OneWire, WithTheBrokerGoneTheRingWriteFailsAndTheFlagComesDown) {
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    std::this_thread::sleep_for(200ms); // the service sees the hang-up
    std::string answer = ring(R"({"unit": "metric", "focusCloseValue": "0.45"})");
    EXPECT_EQ(answer.substr(0, 35), "Status: 500 Internal Server Error\r\n") << answer;
    EXPECT_NE(answer.find("Could not send message to server"), std::string::npos) << answer;
    EXPECT_FALSE(gMemServiceMode->ServiceModeWritingToRing1Wire);
    EXPECT_FALSE(fileExists("/tmp/onewire.in"));
    // The service goes on serving.
    EXPECT_EQ(modem(R"({"devType": "A"})"), "");
}

TEST_F(Endpoints, TheSimulatedToolChecksWhatItIsGiven) {
    startService(); // with the sandbox's own onewire-tool.py
    KmsgReader kmsg;
    // The tool's lines are its own, not in the service's columns.
    auto toolSaid = [&](std::string const& text) {
        return waitUntil([&] {
            for (auto const& record : kmsg.records())
                if (record.raw.find(text) != std::string::npos)
                    return true;
            return false;
        });
    };
    gMemPersistent->PreMarkedRingAutoDet = false;
    raw({{"SCRIPT_NAME", "/api/v1/premarkeddata.cgi"}}, R"({"unit": "imperial", "focusCloseValue": "1.5"})");
    EXPECT_TRUE(toolSaid("onewire-tool: ring written: unit imperial, close focus 1.5"));
    EXPECT_TRUE(kmsg.waitFor("Premarked-ring encryption successful"));
    EXPECT_TRUE(gMemPersistent->PreMarkedRingAutoDet);
    raw({{"SCRIPT_NAME", "/api/v1/premarkeddata.cgi"}}, R"({"unit": "metric", "focusCloseValue": "near"})");
    EXPECT_TRUE(toolSaid("close-focus value 'near' is not a number"));
    EXPECT_TRUE(kmsg.waitFor("Error during calling onewire-tool.py"));
}

TEST(RingCommand, QuotesAreEscapedAndTheRoomIsCountedAfterQuoting) {
    std::string format = Constants::ONEWIRE_RING_COMMAND;
    size_t room = Constants::ONEWIRE_COMMAND_SIZE - 1 - (format.size() - 2); // for the text in place of %s
    std::string fits = "1\n" + std::string(room - 2, '9');
    EXPECT_EQ(RequestHandler::ringCommand(fits).size(), Constants::ONEWIRE_COMMAND_SIZE - 1);
    EXPECT_THROW(RequestHandler::ringCommand(fits + "9"), std::runtime_error);
    // A quote takes four characters once quoted.
    EXPECT_THROW(RequestHandler::ringCommand(fits.substr(0, fits.size() - 3) + "'"), std::runtime_error);
    EXPECT_NO_THROW(RequestHandler::ringCommand(fits.substr(0, fits.size() - 4) + "'"));
    EXPECT_EQ(RequestHandler::ringCommand("1\nit's\n"),
              "echo '1\nit'\\''s\n' | onewire-tool.py -e -m knob >/dev/kmsg 2>&1");
}

} // namespace
