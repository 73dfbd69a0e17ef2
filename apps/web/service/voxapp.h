#pragma once

// The companion app's side of the web interface, behind /voxapp/v1: device information, update packages and
// their progress, and the lens-table, focus-ring and setup files. Answers are texts written piece by piece in
// the app's own layout (CR LF inside documents, no line end after one-line results).

#include <map>
#include <memory>
#include <string>

#include "request.h"

namespace Constants {
// The device's file system layout and devices, for the whole program.
constexpr char const* LOCAL_FOLDER = "/var/";
constexpr char const* TAB_FOLDER = "/TBX/";
constexpr char const* FOR_FOLDER = "/FOR/";
constexpr char const* SETUPS_FOLDER = "/SETUPS/";
constexpr char const* SUP_FILE = "/update/host.swu";
constexpr char const* CMF_FILE = "/update/client.cmf";
constexpr char const* SUP_FILE_LAST_GOOD = "/update/host-last-good.swu";
constexpr char const* SUP_FILE_LAST_APPLIED = "/update/host-last-applied.swu";
constexpr char const* QBUS_SUP_FILE = "/update/qbus.cmf";
constexpr char const* CAN_MSG_FIFO = "/tmp/can-msg";
constexpr char const* VOX_FOLDER = "/VOX/";
constexpr char const* LOG_FOLDER = "/LOG/";
constexpr char const* SUP_FOLDER = "/SUP/";
constexpr char const* VEMA_FOLDER = "VEMA/";
constexpr char const* DATA_PARTITION_FOLDER = "/data/";
constexpr char const* USB_FOLDER = "/media/usb/";
constexpr char const* ADC_DEV = "2198000.adc";
constexpr char const* VIBRATION_DEVICE_MISC = "/dev/drv260x";
constexpr char const* VIBRATION_DEVICE = "/dev/input/event4";
constexpr char const* SLIDER_SPI = "/dev/spidev2.0";
constexpr char const* KNOB_SPI = "/dev/spidev0.0";
constexpr char const* LAST_USED_SETTINGS = "lastusedsettings.bin";
constexpr char const* CURRENT_USERSETTINGS_FILE = ".current";
constexpr char const* TAB_EXTENSION = ".tab";
constexpr char const* SETUPS_EXTENSION = ".stp";
// The first letter of a modem's devType names its kind.
constexpr char const* UHARD_900_MODEM = "C";
constexpr char const* UHARD_2400_MODEM = "B";
constexpr char const* TARN_400 = "A";
// Where an upload's file part is written before it is moved to its package path.
constexpr char const* UPLOAD_FILE = "/update/file-from-app";
// The raw body of an upload, kept only at the most verbose log level.
constexpr char const* POST_DATA_COPY = "/tmp/post-data";
} // namespace Constants

class VoxApp {
public:
    // Reads the device's identity from the hardware-information block (which may be reset to defaults
    // there); raises when the block cannot be opened or mapped.
    VoxApp();

    // Answers and ends the request; nothing for a null one.
    void handleRequest(Request* request);
    void deviceInfo(Request* request);
    void listOperation(Request* request, char const* folder);
    void updateStatus(Request* request);
    void update(Request* request);
    // For the update path: what parses the form as the body arrives and writes the package to disk; null for
    // every other path, and for a body that is not multipart.
    std::unique_ptr<Request::BodySink> takeBody(Request* request);
    void fileOperation(Request* request, char const* folder, std::string const& name);
    bool parseFormData(Request* request, std::map<std::string, std::string>& fields, char const* filePath);
    void splitHeaderLine(std::map<std::string, std::string>& fields, std::string const& line);

private:
    std::string deviceId;
    std::string serialNumber;
    bool hostUpdatePending = false;
};
