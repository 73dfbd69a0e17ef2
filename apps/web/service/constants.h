#pragma once

// What the whole program agrees on: where the device keeps its files and devices, and where the web server
// finds the service.

namespace Constants {
// The FastCGI port the web server forwards the interface's requests to.
constexpr int FCGI_PORT = 9000;

// The device's file system layout and devices.
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
// Where the packages are, and where an upload's file part is written before it is moved to its package path.
constexpr char const* UPDATE_FOLDER = "/update";
constexpr char const* UPLOAD_FILE = "/update/file-from-app";
// The raw body of an upload, kept only at the most verbose log level.
constexpr char const* POST_DATA_COPY = "/tmp/post-data";
} // namespace Constants
