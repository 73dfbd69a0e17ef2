// The simulated device's own processes in one: creates the 18 blocks, fills them with a plausible state, and
// keeps a few values moving (battery, motor positions, a clip's time code) as the device's daemons would,
// posting each change through the broker, and draws a live picture of them on the stand-in framebuffer.
// Everything is written through the dictionary's setters by variable name and value text, so the picture
// stays right whatever the layout of the blocks becomes.
//
// Runs inside the device sandbox after the broker; ends on SIGTERM or SIGINT and removes its blocks. Its log
// follows MemApp's AppHwControllerLogLevel, the level of the device's own hardware daemons, from LogLight.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fb-linux.h"
#include "gen_init.h"
#include "hwinfo.h"
#include "introspection.h"
#include "log.h"
#include "setvariable.h"
#include "standin.h"
#include "updatedaemon.h"

namespace {

struct Location {
    uint32_t mem;
    uint32_t var;
};

Location find(char const* block, char const* name) {
    uint32_t mem = Introspection::getMemIndex(block);
    return {mem, Introspection::getVarIndex(mem, name)};
}

// Posts what the dictionary stored, as the device's daemons do.
void post(Change const& change) {
    if (change.changed)
        postEvent(change.notify);
}

// A refused value is a mistake in the tables below: the device does not start with it.
void set(char const* block, char const* name, std::string const& text) {
    Location at = find(block, name);
    Change change = Introspection::setVarValue(at.mem, at.var, text.c_str());
    if (!change.error.empty())
        throw std::runtime_error(std::string(block) + "." + name + " = " + text + ": " + change.error);
    post(change);
}

// One field of a record, or of element index of an array of records, as a set request carries it.
void setField(char const* block, char const* name, int index, char const* field, std::string const& text) {
    Location at = find(block, name);
    bool known = false;
    for (StructInfo const& info : *Introspection::getVarInfo(at.mem, at.var).fields)
        known = known || strcmp(info.name, field) == 0;
    if (!known)
        throw std::runtime_error(std::string(block) + "." + name + " has no field " + field);
    std::vector<std::pair<std::string, Json::ObjectValue>> pairs = {{block, {"{}", true}},
                                                                    {name, {"{}", true}},
                                                                    {"Index", {std::to_string(index), false}},
                                                                    {field, {text, false}}};
    Change change = Introspection::setVarValueJson(at.mem, at.var, pairs, index);
    if (!change.error.empty())
        throw std::runtime_error(std::string(block) + "." + name + "." + field + ": " + change.error);
    post(change);
}

// A whole record through the raw-image setter; for records that hold lists of records of their own.
template <typename Record> void setImage(char const* block, char const* name, Record const& record) {
    Location at = find(block, name);
    if (Introspection::getVarInfo(at.mem, at.var).size != sizeof record)
        throw std::runtime_error(std::string(block) + "." + name + " is not of this record type");
    std::string image(reinterpret_cast<char const*>(&record), sizeof record);
    post(Introspection::setVarValue(at.mem, at.var, image.data()));
}

struct Value {
    char const* block;
    char const* name;
    char const* text;
};

Value const STATE[] = {
    {"MemPersistent", "ProductName", "Lens Controller"},
    {"MemPersistent", "ProductVersion", "3.2.0-sim"},
    {"MemPersistent", "RadioPower", "true"},
    {"MemPersistent", "FocusTorque", "2"},
    {"MemPersistent", "IrisTorque", "3"},
    {"MemPersistent", "ZoomTorque", "2"},
    {"MemPersistent", "AUXTorque", "1"},
    {"MemPersistent", "DisplayBrightness", "7"},
    {"MemPersistent", "KnobAssignment", "Focus"},
    {"MemPersistent", "SliderAssignment", "Iris"},
    {"MemPersistent", "ForcePadAssignment", "Zoom"},
    {"MemPersistent", "UserButton1", "FocusTracking"},
    {"MemPersistent", "DisplayUnit", "Meter"},
    {"MemPersistent", "Language", "English"},
    {"MemStatic", "ProductSerial", "SIM-000042"},
    {"MemStatic", "ProductRevision", "C"},
    {"MemStatic", "ModemVersionString", "modem 1.8.4"},
    {"MemStatic", "EnableRadioPower", "true"},
    {"MemDynamic", "PowerState", "SmartBattery"},
    {"MemDynamic", "BattPercent", "87"},
    {"MemDynamic", "BattTemperature", "31.5"},
    {"MemDynamic", "BattVoltage", "15.2"},
    {"MemDynamic", "RadioChannel", "12"},
    {"MemDynamic", "RadioRegion", "Europe"},
    {"MemDynamic", "RadioState", "Operating"},
    {"MemCamera", "CamState", "Standby"},
    {"MemCamera", "CamType", "CameraModel01"},
    {"MemCamera", "CamFWVersion", "7.1"},
    {"MemCamera", "CamSpeedAct", "25"},
    {"MemCamera", "CamShutterAct", "180"},
    {"MemCamera", "CamSpeedListSize", "5"},
    {"MemCamera", "CamShutterListSize", "4"},
    {"MemCamera", "CamClipListNumber", "3"},
    {"MemCamera", "CamClipList0MediumName", "CARD A"},
    {"MemCamera", "CamClipList0Size", "3"},
    {"MemCamera", "CamLensType", "OwnLensDataSmart"},
    {"MemLens", "ActivateLensFileName", "Prime 50mm"},
    {"MemLens", "LensFileListSize", "2"},
    {"MemExternalDevices", "QBusDeviceListSize", "2"},
    {"MemBluetooth", "BluetoothAdapterAvailable", "true"},
    {"MemBluetooth", "BluetoothDeviceListSize", "1"},
    {"MemApp", "AppServiceLogLevel", "LogLight"},
    {"MemApp", "AppGuiLogLevel", "Warn"},
    {"MemApp", "AppIntrospectLogLevel", "Warn"},
    {"MemApp", "AppHwControllerLogLevel", "LogLight"},
};

void fill() {
    for (Value const& value : STATE)
        set(value.block, value.name, value.text);

    char const* speeds[] = {"23.976", "24", "25", "29.97", "50"};
    for (int i = 0; i < 5; ++i)
        setField("MemCamera", "CamSpeedList", i, "CamSpeed", speeds[i]);
    char const* shutters[] = {"45", "90", "180", "270"};
    for (int i = 0; i < 4; ++i)
        setField("MemCamera", "CamShutterList", i, "CamShutter", shutters[i]);
    for (int i = 0; i < 3; ++i) {
        setField("MemCamera", "CamClipList0", i, "CamClipPlayable", "true");
        setField("MemCamera", "CamClipList0", i, "CamClipFramerate", "25");
        setField("MemCamera", "CamClipList0", i, "CamClipName", "A001C00" + std::to_string(i + 1));
        setField("MemCamera", "CamClipList0", i, "CamClipTimeCode", "10:0" + std::to_string(i) + ":00:00");
        setField("MemCamera", "CamClipList0", i, "CamClipLength", "00:00:4" + std::to_string(i) + ":12");
        setField("MemCamera", "CamClipList0", i, "CamClipCodec", "ProRes 422 HQ");
    }

    char const* motors[] = {"FocusMotor", "IrisMotor", "ZoomMotor", "AUXMotor"};
    char const* axes[] = {"Focus", "Iris", "Zoom", "AUX"};
    for (int i = 0; i < 4; ++i) {
        setField("MemMotors", motors[i], 0, "State", "Present");
        setField("MemMotors", motors[i], 0, "ConnectState", "ConnectedToCable");
        setField("MemMotors", motors[i], 0, "MotorAxis", axes[i]);
        setField("MemMotors", motors[i], 0, "ActPosValid", "true");
        setField("MemMotors", motors[i], 0, "CalFinished", "true");
        setField("MemMotors", motors[i], 0, "BndUpper", "65535");
        setField("MemMotors", motors[i], 0, "ActPosition", "32768");
    }

    setField("MemLens", "LensFileList", 0, "LensFileName", "Prime 50mm");
    setField("MemLens", "LensFileList", 1, "LensFileName", "Zoom 24-70mm");
    setField("MemLens", "LensTableDescription", 0, "TableActive", "true");
    setField("MemLens", "LensTableDescription", 0, "FocalLength", "50");
    setField("MemLens", "LensTableDescription", 0, "LensText", "Prime 50mm");
    setField("MemLens", "LensTableDescription", 0, "LensBrandName", "Custom");
    setField("MemLens", "LensTableDescription", 0, "SerialNumber", "L-5011");
    // The focus scale in metres: the engraved distances and where the motor finds them.
    gen::LensTable focus{};
    focus.TableActive = true;
    focus.LensTableUpperBound = 65535;
    float const distances[] = {0.45f, 0.6f, 1.0f, 2.0f, 5.0f};
    focus.LensTableValueListSize = 5;
    for (int i = 0; i < 5; ++i) {
        gen::ScaleValues& scale = focus.LensTableValueList[size_t(i)];
        scale.EncoderValue = i * 16000;
        scale.EngravedValue = distances[i];
        scale.InterpolEngravedVal = distances[i];
        snprintf(scale.PrimaryEngravedValueAsString.data(), scale.PrimaryEngravedValueAsString.size(), "%g m",
                 double(distances[i]));
    }
    setImage("MemLens", "LensTableFocusMeter", focus);

    char const* accessories[][2] = {{"Hand unit", "2.4.1"}, {"Distance sensor", "1.2.0"}};
    for (int i = 0; i < 2; ++i) {
        setField("MemExternalDevices", "QBusDeviceList", i, "QBusDeviceConnected", "true");
        setField("MemExternalDevices", "QBusDeviceList", i, "QBusId", std::to_string(i + 1));
        setField("MemExternalDevices", "QBusDeviceList", i, "QBusSerNumber", std::to_string(4100 + i));
        setField("MemExternalDevices", "QBusDeviceList", i, "QBusDeviceName", accessories[i][0]);
        setField("MemExternalDevices", "QBusDeviceList", i, "QBusMainSwVersion", accessories[i][1]);
    }
    setField("MemBluetooth", "BluetoothDeviceList", 0, "BluetoothDeviceAddress", "00:11:22:33:44:55");
    setField("MemBluetooth", "BluetoothDeviceList", 0, "BluetoothDeviceName", "Remote");
    setField("MemBluetooth", "BluetoothDeviceList", 0, "BluetoothDeviceState", "Connected");
}

// One step of the live device, tick by tick at five a second.
void move(unsigned tick) {
    set("MemDynamic", "BattPercent", std::to_string(100 - int(tick / 25 % 96)));
    // The voltage sags and recovers with the motors' load.
    set("MemDynamic", "BattVoltage",
        formatFloat(16.8f - float(tick / 25 % 96) * 0.03f - 0.2f * float(std::fabs(std::sin(tick * 0.3)))));
    double phase = double(tick) * 0.05;
    char const* positions[] = {"FocusActPosNorm", "IrisActPosNorm", "ZoomActPosNorm"};
    for (int i = 0; i < 3; ++i)
        set("MemDynamic", positions[i], formatFloat(float(0.5 + 0.5 * std::sin(phase + i))));
    setField("MemMotors", "FocusMotor", 0, "ActPosition",
             std::to_string(int(32767.5 + 32767.5 * std::sin(phase))));
    unsigned frames = tick * 5; // 25 frames a second
    set("MemCamera", "CamFootage", std::to_string(frames));
    // The clip list is 500 records: its change event sends all of them to every update request, so the time
    // code moves once a second rather than at every tick.
    if (tick % 5 == 0) {
        char timeCode[32];
        snprintf(timeCode, sizeof timeCode, "10:%02u:%02u:%02u", frames / 1500 % 60, frames / 25 % 60,
                 frames % 25);
        setField("MemCamera", "CamClipList0", 0, "CamClipTimeCode", timeCode);
    }
}

// A still picture until the device's GUI draws: dark grey with a lighter band, the display's size.
uint32_t screenPixel(uint32_t, uint32_t y) {
    return y / 40 % 2 ? 0xff303030u : 0xff202020u;
}

// The device's display as its GUI draws it, reduced to what a capture needs to show that it is live: a bar
// each for focus, iris, zoom and battery, filled to the value. Drawn into the hidden buffer, which is then
// panned onto the display at the next vertical blank, so a capture never sees a half-drawn picture.
class Display {
public:
    static constexpr uint32_t WIDTH = 800, HEIGHT = 480;

    Display() : fb("/dev/fb0", 2) {
        writeStandInFramebuffer("/dev/fb0", WIDTH, HEIGHT, screenPixel, 2);
        fb.init();
    }

    void draw() {
        auto* pixels = reinterpret_cast<uint32_t*>(fb.backbufferAddress());
        std::fill(pixels, pixels + size_t(WIDTH) * HEIGHT, 0xff202020u);
        struct Bar {
            float fraction;
            uint32_t colour;
        } const bars[] = {
            {gMemDynamic->FocusActPosNorm, 0xff40c040u},
            {gMemDynamic->IrisActPosNorm, 0xffe0c040u},
            {gMemDynamic->ZoomActPosNorm, 0xff4080e0u},
            {float(gMemDynamic->BattPercent) / 100.0f,
             gMemDynamic->BattPercent > 20 ? 0xff60d060u : 0xffe04040u},
        };
        uint32_t top = 60;
        for (Bar const& bar : bars) {
            rectangle(pixels, 40, top, WIDTH - 80, 60, 0xff505050u);
            float fraction =
                std::min(1.0f, std::max(0.0f, std::isfinite(bar.fraction) ? bar.fraction : 0.0f));
            rectangle(pixels, 44, top + 4, uint32_t(float(WIDTH - 88) * fraction), 52, bar.colour);
            top += 100;
        }
        fb.waitVSync();
        fb.show();
    }

private:
    static void rectangle(uint32_t* pixels, uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                          uint32_t colour) {
        for (uint32_t row = y; row < y + height && row < HEIGHT; ++row)
            std::fill(pixels + size_t(row) * WIDTH + x,
                      pixels + size_t(row) * WIDTH + std::min(x + width, WIDTH), colour);
    }

    FbLinux fb;
};

// The hardware unit's identity, as the factory writes it: a valid block with a board and serial of this
// simulated unit (the service's device identifier is then "SIM-000042"). The stand-ins are grown to the
// areas' length first, for a sandbox that did not.
void provisionHardware() {
    struct Area {
        char const* path;
        off_t length;
    } const areas[] = {{HwInfo::MMC_DEVICE, HwInfo::MMC_OFFSET + HwInfo::MMC_SIZE},
                       {HwInfo::REGISTER_DEVICE, off_t(HwInfo::REGISTER_ADDRESS + 4)}};
    for (Area const& area : areas) {
        int fd = open(area.path, O_RDWR | O_CLOEXEC);
        struct stat status;
        if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size < area.length)
            if (ftruncate(fd, area.length) != 0)
                throw std::runtime_error(std::string("cannot grow ") + area.path);
        if (fd >= 0)
            close(fd);
    }
    HwInfo info;
    info.initialize();
    info.write(Constants::HWINFO_BOARD, "SIM");
    info.write(Constants::HWINFO_SERIAL, "000042");
    info.write(Constants::HWINFO_REVISION, "2.1");
}

} // namespace

int main() {
    // Until the blocks hold the device's own level, the one it starts them with.
    gen::LogLevel startLevel = gen::LogLevel::LogLight;
    gComponentLogLevel = &startLevel;
    std::unique_ptr<Display> display;
    UpdateDaemon updates;
    try {
        // Screen and identity first: once the blocks exist the service may start, and it needs both.
        provisionHardware();
        // A real framebuffer (the emulated board's) is the device GUI's to draw; only the stand-in is drawn.
        struct stat screen;
        if (stat("/dev/fb0", &screen) != 0 || !S_ISCHR(screen.st_mode))
            display = std::make_unique<Display>();
        gen::mapBlocks(true);
        gServerConnection = new ServerConnection(gen::getEventPoll());
        gServerConnection->setHandler(&updates);
        for (Notify const& event : UpdateDaemon::WATCHED)
            gServerConnection->subscribe(event);
        fill();
        gComponentLogLevel = &gMemApp->AppHwControllerLogLevel;
        if (display)
            display->draw();
    } catch (std::exception const& e) {
        fprintf(stderr, "sim-device: %s\n", e.what());
        return 1;
    }
    LOG(LogLight, "Simulated device ready: %u blocks", Introspection::getMemCount());
    EventPoll& poll = gen::getEventPoll();
    unsigned tick = 0;
    bool paused = false;
    auto next = std::chrono::steady_clock::now();
    while (poll.wait(50, false) != EventPoll::TERMINATE) {
        if (std::chrono::steady_clock::now() < next)
            continue;
        next += std::chrono::milliseconds(200);
        try {
            move(++tick);
            updates.tick();
            paused = false;
        } catch (std::exception const& e) {
            // A change that cannot be posted (the broker is restarting) stops this tick, not the device: the
            // connection comes back by itself and the next tick posts again.
            if (!paused)
                LOG(Warn, "Changes not posted, the device waits for the broker: %s", e.what());
            paused = true;
        }
        try {
            if (display)
                display->draw();
        } catch (std::exception const& e) {
            // Only the picture stops; the blocks go on moving.
            LOG(Error, "Display not drawn: %s", e.what());
        }
    }
    LOG(LogLight, "Simulated device stopped");
    gen::closeServerConnection();
    return 0;
}
