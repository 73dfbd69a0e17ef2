// The companion app's paths against the running service: the test process plays the device and its update
// daemon (it owns the blocks and sees every event the service posts), and requests arrive over FastCGI as the
// front web server sends them, with "/voxapp/v1" as the script and the rest of the path as PATH_INFO.

#include <algorithm>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "hwinfo.h"
#include "kmsg.h"
#include "servicefixture.h"

namespace {

using namespace servicetest;
using namespace gen::Event;

std::string const UNKNOWN = R"({"result": "Unknown request" })", SUCCESS = R"({"result": "Success" })";
std::string const MISSING = R"({"result": "No such file" })", INVALID = R"({"result": "Invalid file name" })";
std::string const OPEN_ERROR = "{\"result\": \"Open error\" }\r\n";

class App : public Service {
protected:
    void SetUp() override {
        Service::SetUp();
        HwInfo info;
        info.initialize();
        info.write(Constants::HWINFO_BOARD, "BOARD");
        info.write(Constants::HWINFO_SERIAL, "1234");
    }

    std::string app(std::string const& path, std::string const& method = "GET", std::string const& body = "",
                    std::string const& type = "") {
        return ask(appRequest(path, method, type), body);
    }
    std::string upload(std::string const& id, std::string const& file) {
        return ask(UPLOAD, form({{"deviceid", id}, {"file", file}}));
    }

    // Starts the service once the device's own start-up events have come back, so that what is delivered
    // afterwards is the service's.
    void start() {
        delivered();
        startService();
    }
};

TEST_F(App, EveryPathOfTheRouteTable) {
    start();
    ASSERT_EQ(system("mkdir /var/TBX && printf table >/var/TBX/a.tab"), 0);
    std::pair<char const*, std::string> const cases[] = {
        {"/lenstables/list", "[\r\n\"a.tab\"\r\n]"},
        {"/focusrings/list", "[]"}, // no folder
        {"/setups/list", "[]"},
        {"/lenstables/file/a.tab", "table"},
        {"/focusrings/file/a.tab", MISSING},
        {"/device/status/anything", R"({"status": "NoFileSelected", "progress": 0 })"},
        {"/device/update", R"({"result": "Invalid content type" })"}};
    for (auto const& [path, answer] : cases)
        EXPECT_EQ(app(path), answer) << path;
    for (char const* path : {"/device/statu", "/devices", "/device", "/lenstables", "/lenstables/lis",
                             "/setupsXYZ/list", "/other", ""})
        EXPECT_EQ(app(path), UNKNOWN) << path;
}

// Text as clients and file systems may give it: JSON's special characters, control characters, UTF-8 of
// every length, and bytes that belong to no UTF-8 sequence (cut, overlong, surrogate).
std::string generated(std::mt19937& random, bool fileName = false) {
    // Single bytes (printable, JSON's own, control, a cut lead byte, a byte of no UTF-8), then sequences.
    static std::string const bytes = "aZ7 -.'<\"\\/\r\n\t\x01\x1f\x7f\xff\xc3";
    static char const* const sequences[] = {"\xc3\xa9",         "\xe2\x82\xac",     "\xef\xbf\xbd",
                                            "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "\xed\xa0\x80",
                                            "\xc0\xaf"};
    std::string text;
    for (size_t n = random() % 24; n > 0; --n) {
        size_t pick = random() % (bytes.size() + std::size(sequences));
        text += pick < bytes.size() ? std::string(1, bytes[pick]) : sequences[pick - bytes.size()];
    }
    if (fileName) {
        text.erase(std::remove(text.begin(), text.end(), '/'), text.end());
        if (text.find_first_not_of('.') == std::string::npos)
            text += "x";
    }
    return text;
}

// Whether JSON can carry text as it is: dropping what is not UTF-8 and replacing it give the same only then.
bool utf8(std::string const& text) {
    using nlohmann::json;
    return json(text).dump(-1, ' ', false, json::error_handler_t::ignore) ==
           json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

// Every JSON answer of both APIs is one strict JSON document, and text that JSON can carry comes back as it
// was sent.
TEST_F(App, EveryAnswerIsJsonWhateverTheNamesIdsAndBodiesHold) {
    start();
    mkdir("/var/TBX", 0755);
    std::mt19937 random(20261209);
    auto json = [](std::string const& answer, std::string const& what) {
        EXPECT_TRUE(nlohmann::json::accept(answer)) << what << "\n" << answer;
        return nlohmann::json::accept(answer) ? nlohmann::json::parse(answer) : nlohmann::json();
    };
    for (int round = 0; round < 150; ++round) {
        std::string text = generated(random);
        auto unknown = json(ask({{"SCRIPT_NAME", "/api/v1/" + text}}), "unknown script");
        if (utf8(text)) {
            EXPECT_EQ(unknown["error"], "Unknown script: '/api/v1/" + text + "'");
        }
        json(set(R"({"MemPersistent": {"ProductName": ")" + text + "\"}}"), "set");
        json(set(text), "set body");
        json(app("/device/info"), "device information");
        json(app("/" + text), "app path");
        auto task = json(upload(text, "x"), "update");
        if (task.contains("taskid") && utf8(text)) {
            EXPECT_EQ(task["taskid"], text);
        }

        std::string name = generated(random, true);
        std::string const path = "/lenstables/file/" + name;
        json(app(path, "PUT", "[1]"), "put");
        json(app(path), "get");
        auto list = json(app("/lenstables/list"), "list");
        if (utf8(name) && exists("/var/TBX/" + name)) {
            EXPECT_NE(std::find(list.begin(), list.end(), name), list.end()) << name;
        }
        json(app(path, "DELETE"), "delete");
    }
}

TEST_F(App, DeviceInformationWithAndWithoutAccessories) {
    setValue("MemPersistent", "ProductName", "Lens Controller");
    setValue("MemPersistent", "ProductVersion", "3.2.0");
    start();
    struct statvfs fs;
    ASSERT_EQ(statvfs("/", &fs), 0);
    // The sandbox's root is a tmpfs of half the memory; above 4 GiB the device's 32-bit sizes wrap.
    std::string head =
        "{\r\n  \"_id\": \"BOARD-1234\",\r\n  \"name\": \"Lens Controller\",\r\n  \"serialnumber\": "
        "\"1234\",\r\n  \"firmwareversion\": \"3.2.0\",\r\n  \"space_total\": " +
        std::to_string(uint32_t(uint64_t(fs.f_blocks) * fs.f_bsize)) + ",\r\n";
    std::string info = app("/device/info");
    ASSERT_EQ(info.substr(0, head.size()), head);
    EXPECT_TRUE(contains(info, "  \"space_available\": "));
    EXPECT_EQ(info.substr(info.find("  \"devices\"")), "  \"devices\": [\r\n\r\n  ]\r\n}\r\n");

    // Connected entries only, in index order; the list's size variable is not consulted.
    auto& list = gMemExternalDevices->QBusDeviceList;
    auto fill = [](gen::QbusDevice& device, char const* name, int serial, char const* version) {
        device.QBusDeviceConnected = true;
        device.QBusSerNumber = serial;
        snprintf(device.QBusDeviceName.data(), device.QBusDeviceName.size(), "%s", name);
        snprintf(device.QBusMainSwVersion.data(), device.QBusMainSwVersion.size(), "%s", version);
    };
    fill(list[3], "Hand unit", 4100, "2.4.1");
    fill(list[1], "Sensor", -7, "1.0");
    fill(list[5], "Unplugged", 1, "9");
    list[5].QBusDeviceConnected = false;
    info = app("/device/info");
    auto entry = [](std::string const& name, std::string const& serial, char const* version) {
        return "    {\r\n      \"_id\": \"" + name + "-" + serial + "\",\r\n      \"name\": \"" + name +
               "\",\r\n      \"serialnumber\": \"" + serial + "\",\r\n      \"firmwareversion\": \"" +
               version + "\"\r\n    }";
    };
    EXPECT_EQ(info.substr(info.find("  \"devices\"")), "  \"devices\": [\r\n" + entry("Sensor", "-7", "1.0") +
                                                           ", \r\n" + entry("Hand unit", "4100", "2.4.1") +
                                                           "\r\n  ]\r\n}\r\n");
}

TEST_F(App, StatusPollArithmeticAndTheStartOfAnAccessoryUpdate) {
    start();
    auto& external = *gMemExternalDevices;
    external.QBusUpdateState = gen::UpdateState::InProgress;
    external.QBusUpdateIndex = 1;
    // Progress, count and the overall percentage, rounded toward zero.
    for (auto [progress, count, overall] :
         {std::array{50, 4, 37}, std::array{-250, 4, -37}, std::array{-250, 0, 0}}) {
        external.QBusUpdateProgress = progress, external.QBusUpdateCount = count;
        EXPECT_EQ(app("/device/status"),
                  R"({"status": "InProgress", "progress": )" + std::to_string(overall) + " }");
    }
    uint32_t outside = 99;
    memcpy(&external.QBusUpdateState, &outside, sizeof outside);
    EXPECT_EQ(app("/device/status"), R"({"status": "INVALID_VALUE: 99", "progress": 0 })");

    delivered();
    external.QBusUpdateState = gen::UpdateState::FileValid;
    EXPECT_EQ(app("/device/status"), R"({"status": "FileValid", "progress": 0 })");
    EXPECT_TRUE(external.QBusUpdateStart);
    EXPECT_EQ(eventsUntil(VarQBusUpdateStartChanged), "VarQBusUpdateStartChanged");
    EXPECT_EQ(app("/device/status"), R"({"status": "FileValid", "progress": 0 })");
    EXPECT_TRUE(delivered().empty()) << "the second poll starts nothing";
}

TEST_F(App, HostPackageIsMovedAnnouncedAndFollowedThroughTheHostState) {
    start();
    std::string package = std::string("\x00\r\n\x1b", 4) + "\r\n\r\n--" + BOUNDARY.substr(0, 6) + "\n\r" +
                          std::string(70000, 'p') + "\r";
    EXPECT_EQ(upload("BOARD-1234", package), R"({"taskid": "BOARD-1234" })");
    EXPECT_EQ(fileText("/update/host.swu"), package);
    EXPECT_FALSE(exists("/update/file-from-app"));
    EXPECT_STREQ(gMemMedia->HostUpdateFileName.data(), "/update/host.swu");
    EXPECT_EQ(eventsUntil(VarHostUpdateFileNameChanged), "VarHostUpdateFileNameChanged");

    gMemMedia->HostUpdateFileState = gen::UpdateState::CheckingFile;
    gMemExternalDevices->QBusUpdateState = gen::UpdateState::Success; // the host's is reported now
    EXPECT_EQ(app("/device/status"), R"({"status": "CheckingFile", "progress": 0 })");
    gMemMedia->HostUpdateFileState = gen::UpdateState::FileValid;
    EXPECT_EQ(app("/device/status"), R"({"status": "Rebooting", "progress": 0 })");
    EXPECT_TRUE(gMemMedia->HostUpdateStart);
    EXPECT_EQ(eventsUntil(VarHostUpdateStartChanged), "VarHostUpdateStartChanged");

    // Still the host's update after an accessory package.
    EXPECT_EQ(upload("ACC-9", "x"), R"({"taskid": "ACC-9" })");
    EXPECT_EQ(app("/device/status"), R"({"status": "Rebooting", "progress": 0 })");
}

TEST_F(App, AccessoryPackageSetsTheVariablesInOrder) {
    start();
    auto& external = *gMemExternalDevices;
    external.QBusUpdateState = gen::UpdateState::Success;
    external.QBusUpdateProgress = 100;
    EXPECT_EQ(upload("ACC-ONE-77", "bytes"), R"({"taskid": "ACC-ONE-77" })");
    EXPECT_EQ(eventsUntil(VarQBusUpdateDeviceNameChanged),
              "VarQBusUpdateStateChanged VarQBusUpdateProgressChanged VarQBusUpdateFileNameChanged "
              "VarQBusUpdateDeviceSerialChanged VarQBusUpdateDeviceNameChanged");
    EXPECT_EQ(fileText("/update/client.cmf"), "bytes");
    EXPECT_STREQ(external.QBusUpdateDeviceName.data(), "ACC-ONE");
    EXPECT_EQ(external.QBusUpdateDeviceSerial, 77);
    EXPECT_STREQ(external.QBusUpdateFileName.data(), "/update/client.cmf");

    // Again: the file name is announced twice (empty, then the path); state and progress are already reset.
    EXPECT_EQ(upload(std::string(60, 'N') + "-78", "more"),
              R"({"taskid": ")" + std::string(60, 'N') + R"(-78" })");
    EXPECT_EQ(eventsUntil(VarQBusUpdateDeviceNameChanged),
              "VarQBusUpdateFileNameChanged VarQBusUpdateFileNameChanged VarQBusUpdateDeviceSerialChanged "
              "VarQBusUpdateDeviceNameChanged");
    EXPECT_EQ(std::string(external.QBusUpdateDeviceName.data()), std::string(49, 'N'));
}

TEST_F(App, UploadsThatAreRefused) {
    start();
    std::string const missing =
        R"({"result": "'deviceid' and 'file' are mandatory, but at least one is missing." })";
    std::string const badType = R"({"result": "Invalid content type" })";
    std::tuple<std::string, std::string, std::string> const refused[] = {
        {MULTIPART, form({{"deviceid", "NODASH"}, {"file", "x"}}),
         R"({"result": "'deviceid' has to be in the form DEVICE-SERIAL." })"},
        {MULTIPART, form({{"deviceid", "BOARD-1234"}}), missing},
        {MULTIPART, form({{"file", "x"}}), missing},
        {"multipart/form-data", form({{"deviceid", "A-1"}, {"file", "x"}}), badType},
        {"application/json", "{}", badType}};
    for (auto const& [type, body, answer] : refused)
        EXPECT_EQ(app("/device/update", "POST", body, type), answer) << body;
    EXPECT_FALSE(exists("/update/host.swu") || exists("/update/client.cmf"));
    // Serial numbers that are not 32-bit decimals: the package is in place, the target is not changed.
    for (char const* id : {"ACC-x1", "ACC-", "ACC-2147483648"}) {
        delivered();
        EXPECT_EQ(upload(id, "x"), R"({"result": "'deviceid' has no valid serial number." })") << id;
        EXPECT_FALSE(contains(eventsUntil(VarQBusUpdateFileNameChanged), "VarQBusUpdateDeviceSerialChanged"))
            << id;
    }
    EXPECT_EQ(upload("ACC- +2147483647x", "x"), R"({"taskid": "ACC- +2147483647x" })");
    EXPECT_EQ(gMemExternalDevices->QBusUpdateDeviceSerial, INT32_MAX);
}

// A package that is not whole on disk is never announced, and nothing of it stays: with nowhere to move it,
// and with the disk full (writes to /dev/full fail as a full file system's do).
TEST_F(App, APackageThatCannotBeWrittenWholeIsRemovedAndNeverAnnounced) {
    start();
    EXPECT_EQ(upload("ACC-2", "old"), R"({"taskid": "ACC-2" })");
    std::string const before = fileText("/update/client.cmf");
    std::pair<char const*, size_t> const cases[] = {
        {"cd /update && mkdir aside && mv client.cmf aside/ && mkdir client.cmf", 1},
        {"cd /update && rmdir client.cmf && mv aside/client.cmf . && ln -s /dev/full file-from-app",
         3 << 20}};
    for (auto const& [setup, size] : cases) {
        ASSERT_EQ(system(setup), 0) << setup;
        delivered();
        KmsgReader kmsg;
        EXPECT_EQ(upload("ACC-1", std::string(size, 'p')), R"({"result": "Write error" })");
        EXPECT_TRUE(kmsg.waitFor("/update/file-from-app")) << setup;
        EXPECT_FALSE(contains(eventsUntil(), "VarQBusUpdateFileNameChanged")) << setup;
    }
    EXPECT_FALSE(exists("/update/aside/client.cmf"));
    EXPECT_EQ(fileText("/update/client.cmf"), before);
}

// An upload in two: up to its first body record (which holds the start of the file), and the rest; the test
// sends the two when it chooses.
std::pair<std::string, std::string> cutUpload(Params const& params, std::string const& id,
                                              std::string const& file) {
    std::string const whole = fcgiclient::request(1, params, form({{"deviceid", id}, {"file", file}}));
    std::vector<fcgiclient::Record> records;
    EXPECT_TRUE(fcgiclient::parse(whole, records));
    size_t cut = 0;
    for (auto const& r : records) {
        cut += 8 + r.content.size() + r.padding;
        if (r.type == 5)
            break;
    }
    return {whole.substr(0, cut), whole.substr(cut)};
}

TEST_F(App, OneUploadAtATimeAndThePackageOnDiskIsTheOneAnswered) {
    start();
    std::string const first(3 << 20, 'a'), second(1 << 20, 'b');
    auto [head, rest] = cutUpload(UPLOAD, "ACC-1", first);
    int receiving = sendBytes(head);
    ASSERT_TRUE(waitUntil([] { return exists("/update/file-from-app"); }));
    // Refused at its first body record, its body drained and not stored; the first goes on untouched.
    std::string const conflict =
        "Status: 409 Conflict\r\n" + JSON_HEADER + R"({"result": "Update already in progress" })";
    EXPECT_EQ(raw(UPLOAD, form({{"deviceid", "ACC-2"}, {"file", second}})), conflict);
    EXPECT_EQ(raw(UPLOAD), conflict) << "empty body";
    ASSERT_TRUE(fcgiclient::sendAll(receiving, rest));
    EXPECT_EQ(answerOf(receiving).out, JSON_HEADER + R"({"taskid": "ACC-1" })");
    EXPECT_EQ(fileText("/update/client.cmf"), first);
    // An upload whose peer leaves half-way frees the place for the next.
    int leaving = sendBytes(head);
    served();
    close(leaving);
    served();
    EXPECT_EQ(upload("ACC-3", second), R"({"taskid": "ACC-3" })");
    EXPECT_EQ(fileText("/update/client.cmf"), second);
}

TEST_F(App, AnUploadFromAnotherSitesPageIsRefusedBeforeAnyOfItIsWritten) {
    start();
    Params params = UPLOAD;
    params.insert({{"HTTP_HOST", "192.168.4.1"},
                   {"HTTP_ORIGIN", "http://attacker.example"},
                   {"HTTP_SEC_FETCH_SITE", "cross-site"}});
    auto [head, rest] = cutUpload(params, "BOARD-1234", "package");
    KmsgReader kmsg;
    int fd = sendBytes(head);
    served();
    EXPECT_FALSE(exists("/update/file-from-app"));
    ASSERT_TRUE(fcgiclient::sendAll(fd, rest));
    EXPECT_EQ(answerOf(fd).out,
              "Status: 403 Forbidden\r\n" + JSON_HEADER + R"({"result": "Cross-origin request refused" })");
    EXPECT_TRUE(kmsg.waitFor("Cross-origin request refused: POST /voxapp/v1/device/update from origin "
                             "'http://attacker.example'"));
    EXPECT_FALSE(exists("/update/file-from-app") || exists("/update/host.swu"));
    EXPECT_TRUE(delivered().empty()) << "the refusal posts nothing";
}

TEST_F(App, PackagesAndDownloadsStreamAndAreNeverHeldInMemory) {
    // Far below the 1 GiB package and the 256 MiB download either way; wider under AddressSanitizer, whose
    // quarantine keeps freed records resident for a while.
#ifdef __SANITIZE_ADDRESS__
    long const heldKb = 64 * 1024;
#else
    long const heldKb = 16 * 1024;
#endif
    start();
    long idle = statusKb(service, "VmHWM:");
    size_t const size = (size_t(1) << 30) - 4096; // with the form, the largest body a request may have
    // Every STDIN record of the package is one pattern (CR and LF among its bytes) stamped with its number,
    // so that a lost, repeated or reordered piece shows.
    std::string pattern(65528, '\0');
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = char((i * 2654435761u) >> 13);
    auto piece = [&](size_t n, size_t length) { return (std::to_string(n) + pattern).substr(0, length); };
    std::string head = form({{"deviceid", "ACC-7"}, {"file", ""}});
    std::string const tail = head.substr(head.rfind("\r\n--" + BOUNDARY + "--"));
    head.erase(head.size() - tail.size());

    std::string const start = fcgiclient::request(1, UPLOAD, head);
    int fd = sendBytes(start.substr(0, start.size() - 8)); // without the end of the input
    for (size_t at = 0; at < size; at += pattern.size())
        ASSERT_TRUE(fcgiclient::sendAll(
            fd, fcgiclient::record(5, 1, piece(at / pattern.size(), std::min(pattern.size(), size - at)))));
    ASSERT_TRUE(fcgiclient::sendAll(fd, fcgiclient::record(5, 1, tail) + fcgiclient::record(5, 1, "")));
    EXPECT_EQ(answerOf(fd, 60000).out, JSON_HEADER + R"({"taskid": "ACC-7" })");
    EXPECT_LT(statusKb(service, "VmHWM:") - idle, heldKb) << "the package went through memory";
    std::ifstream written("/update/client.cmf", std::ios::binary);
    std::string block(pattern.size(), '\0');
    size_t same = 0;
    while (same < size && written.read(&block[0], std::streamsize(std::min(block.size(), size - same))) &&
           block.compare(0, size_t(written.gcount()),
                         piece(same / pattern.size(), size_t(written.gcount()))) == 0)
        same += size_t(written.gcount());
    EXPECT_EQ(same, size);
    EXPECT_EQ(written.peek(), EOF);

    // A download goes out as the peer takes it.
    unlink("/update/client.cmf");
    mkdir("/var/TBX", 0755);
    std::ofstream("/var/TBX/big.tab");
    ASSERT_EQ(truncate("/var/TBX/big.tab", 256 << 20), 0);
    std::string downloaded = answerOf(send(appRequest("/lenstables/file/big.tab")), 60000).out;
    EXPECT_EQ(downloaded.size(), JSON_HEADER.size() + (256 << 20));
    EXPECT_LT(statusKb(service, "VmHWM:") - idle, heldKb) << "the download went through memory";
}

// A table is replaced whole or not at all: written under a temporary name, synced, renamed over the old one.
// What a power cut leaves under the temporary name the service removes when it starts.
TEST_F(App, APutReplacesATableWholeAndWhatACutOneLeftIsRemovedAtStart) {
    ASSERT_EQ(
        system("mkdir -p /var/TBX/sub && printf old >/var/TBX/a.tab && printf cut >/var/TBX/.~put.a.tab"), 0);
    start();
    EXPECT_EQ(app("/lenstables/list"), "[\r\n\"a.tab\"\r\n]");
    EXPECT_EQ(app("/lenstables/file/a.tab"), "old");
    EXPECT_EQ(app("/lenstables/file/a.tab", "PUT", "new"), SUCCESS);
    EXPECT_EQ(fileText("/var/TBX/a.tab"), "new");
    // A FIFO left under the temporary name (subfolders are not cleaned at start) holds no PUT, nor stops one.
    ASSERT_EQ(mkfifo("/var/TBX/sub/.~put.b.tab", 0600), 0);
    EXPECT_EQ(app("/lenstables/file/sub/b.tab", "PUT", "b"), SUCCESS);
    EXPECT_EQ(fileText("/var/TBX/sub/b.tab"), "b");
    EXPECT_FALSE(exists("/var/TBX/sub/.~put.b.tab"));
}

TEST_F(App, FilesArePutReadAndDeletedInsideTheirFolders) {
    start();
    std::string const file = "/lenstables/file/new.tab", body = std::string("line\r\nnext\n\0end", 15);
    EXPECT_EQ(app(file, "PUT", body), SUCCESS);
    EXPECT_EQ(fileText("/var/TBX/new.tab"), body);
    // Then, in turn and without a body: an empty PUT empties the file, a method's name is in capitals only.
    std::pair<char const*, std::string> const steps[] = {
        {"GET", body},    {"PUT", SUCCESS},    {"GET", ""},         {"POST", UNKNOWN},
        {"get", UNKNOWN}, {"DELETE", SUCCESS}, {"DELETE", MISSING}, {"GET", MISSING}};
    for (auto const& [method, answer] : steps)
        EXPECT_EQ(app(file, method), answer) << method;

    // Listings show regular files only.
    app("/setups/file/one.stp", "PUT", "1");
    app("/setups/file/two.stp", "PUT", "2");
    mkdir("/var/SETUPS/folder", 0755);
    ASSERT_EQ(symlink("/etc/passwd", "/var/SETUPS/link"), 0);
    std::string listing = app("/setups/list");
    EXPECT_TRUE(listing == "[\r\n\"one.stp\",\r\n\"two.stp\"\r\n]" ||
                listing == "[\r\n\"two.stp\",\r\n\"one.stp\"\r\n]")
        << listing;
    EXPECT_EQ(app("/setups/file/folder", "DELETE"), MISSING);

    // The folder cannot be made: the warning, then the open fails.
    ASSERT_EQ(system("rm -rf /var/FOR && touch /var/FOR"), 0);
    EXPECT_EQ(app("/focusrings/file/r.for", "PUT", "x"), OPEN_ERROR);
    unlink("/var/FOR");

    // No name leaves its folder: not through "..", nor through a link at any component, the folder itself
    // included. Names inside it are served, also in subfolders and after the plain prefix "/file".
    std::ofstream("/var/secret") << "keep";
    ASSERT_EQ(system("mkdir -p /var/TBX/sub && ln -s /var/secret /var/TBX/link && ln -s /var /var/TBX/up && "
                     "mkfifo /var/TBX/pipe && rm -rf /var/FOR && ln -s /var/TBX /var/FOR"),
              0);
    struct Case {
        std::string path;
        std::string get, put, del; // answers, in the order PUT, GET, DELETE are sent
    } const cases[] = {
        {"/lenstables/file/../secret", INVALID, INVALID, INVALID},
        {"/lenstables/file/..", INVALID, INVALID, INVALID},
        {"/lenstables/file/sub/../../secret", INVALID, INVALID, INVALID},
        {"/lenstables/file/link", INVALID, INVALID, INVALID},
        {"/lenstables/file/up/secret", INVALID, INVALID, INVALID},
        {"/focusrings/file/r.for", INVALID, INVALID, INVALID},
        {std::string("/lenstables/file/a\0b", 21), INVALID, INVALID, INVALID},
        {"/lenstables/file/sub/x.tab", "body", SUCCESS, SUCCESS},
        {"/lenstables/filex.tab", "body", SUCCESS, SUCCESS},
        {"/lenstables/file", MISSING, OPEN_ERROR, MISSING},
        {"/lenstables/file/", MISSING, OPEN_ERROR, MISSING},
        // A FIFO nobody writes to or reads from must not hold the service.
        {"/lenstables/file/pipe", MISSING, OPEN_ERROR, SUCCESS},
    };
    for (Case const& c : cases) {
        EXPECT_EQ(app(c.path, "PUT", "body"), c.put) << c.path;
        EXPECT_EQ(app(c.path), c.get) << c.path;
        EXPECT_EQ(app(c.path, "DELETE"), c.del) << c.path;
    }
    EXPECT_EQ(app("/focusrings/list"), "[]");
    EXPECT_EQ(fileText("/var/secret"), "keep");

    // Downloads on a kept connection, as nginx may send them: each answered once, whole.
    std::ofstream("/var/TBX/small.tab") << "small";
    Params get = appRequest("/lenstables/file/small.tab");
    int kept = sendBytes(fcgiclient::request(1, get, "", true) + fcgiclient::request(2, get, "", false));
    std::vector<fcgiclient::Record> records;
    ASSERT_TRUE(fcgiclient::parse(fcgiclient::receiveUntilEnd(kept), records));
    close(kept);
    auto second = std::find_if(records.begin(), records.end(), [](auto const& r) { return r.type == 3; });
    ASSERT_NE(second++, records.end());
    fcgiclient::Answer one, two;
    EXPECT_EQ(fcgiclient::checkAnswer({records.begin(), second}, one), "");
    EXPECT_EQ(fcgiclient::checkAnswer({second, records.end()}, two), "");
    EXPECT_EQ(one.out + two.out, JSON_HEADER + "small" + JSON_HEADER + "small");
    EXPECT_EQ(two.requestId, 2u);
    EXPECT_FALSE(exists("/var/TBX/sub/x.tab") || exists("/var/TBX/x.tab") || exists("/var/a"));
    EXPECT_TRUE(exists("/var/TBX/link") && exists("/var/TBX/up"));
}

} // namespace
