#pragma once

// What the whole program agrees on: where the device keeps its files, and where the web server finds the
// service.

namespace Constants {
// The FastCGI port the web server forwards the interface's requests to.
constexpr int FCGI_PORT = 9000;

// The app's folders: the lens tables, focus rings and setups, each beneath LOCAL_FOLDER.
constexpr char const* LOCAL_FOLDER = "/var/";
constexpr char const* TAB_FOLDER = "/TBX/";
constexpr char const* FOR_FOLDER = "/FOR/";
constexpr char const* SETUPS_FOLDER = "/SETUPS/";
// The update daemon's packages: the host's and an accessory's.
constexpr char const* SUP_FILE = "/update/host.swu";
constexpr char const* CMF_FILE = "/update/client.cmf";
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
