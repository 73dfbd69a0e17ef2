#include "voxapp.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "beneath.h"
#include "constants.h"
#include "hwinfo.h"
#include "introspection_enum.h"
#include "introspection_gen.h"
#include "jsonwriter.h"
#include "log.h"
#include "multipart.h"
#include "setvariable.h"

namespace {
std::string const UNKNOWN_REQUEST = JsonWriter::appResult("Unknown request");

// A text variable of a block, up to its terminator or the end of its room.
template <std::size_t N> std::string text(std::array<char, N> const& field) {
    return std::string(field.data(), strnlen(field.data(), N));
}

bool verbose() {
    return gComponentLogLevel && *gComponentLogLevel == gen::LogLevel::DebugAll;
}

std::string const UPDATE_IN_PROGRESS = JsonWriter::appResult("Update already in progress");
// The app has always been given this one with a line end.
std::string const OPEN_ERROR = JsonWriter::appResult("Open error") + "\r\n";

// The serial number of a DEVICE-SERIAL task: decimal as strtol reads it, within 32 bits.
bool parseSerial(std::string const& text, int& serial) {
    char const* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    serial = int(value);
    return true;
}
} // namespace

VoxApp::VoxApp() {
    HwInfo info;
    info.initialize();
    std::string board;
    info.read(Constants::HWINFO_SERIAL, serialNumber);
    info.read(Constants::HWINFO_BOARD, board);
    deviceId = board + "-" + serialNumber;
    // A file being written when the power went is left under its temporary name; the file itself is whole.
    for (char const* folder : {Constants::TAB_FOLDER, Constants::FOR_FOLDER, Constants::SETUPS_FOLDER})
        Beneath::removeTemporaries((std::string(Constants::LOCAL_FOLDER) + folder).c_str());
}

void VoxApp::unknown(Request& request) {
    request.output() << UNKNOWN_REQUEST;
}

void VoxApp::deviceInfo(Request& request) {
    // Sizes as the device's 32-bit arithmetic forms them: modulo 2^32 whatever this machine's types are.
    uint32_t total = 0, available = 0;
    struct statvfs fs;
    if (statvfs("/", &fs) == 0) {
        total = uint32_t(uint64_t(fs.f_blocks) * uint64_t(fs.f_bsize));
        available = uint32_t(uint64_t(fs.f_bavail) * uint64_t(fs.f_bsize));
    }
    std::ostream& out = request.output();
    // Names and versions are whatever the blocks and the hardware information hold: written as JSON text.
    out << "{\r\n"
        << "  \"_id\": \"" << JsonWriter::text(deviceId) << "\",\r\n"
        << "  \"name\": \"" << JsonWriter::text(text(gMemPersistent->ProductName)) << "\",\r\n"
        << "  \"serialnumber\": \"" << JsonWriter::text(serialNumber) << "\",\r\n"
        << "  \"firmwareversion\": \"" << JsonWriter::text(text(gMemPersistent->ProductVersion)) << "\",\r\n"
        << "  \"space_total\": " << total << ",\r\n"
        << "  \"space_available\": " << available << ",\r\n"
        << "  \"devices\": [\r\n";
    bool written = false;
    for (gen::QbusDevice const& device : gMemExternalDevices->QBusDeviceList) {
        if (!device.QBusDeviceConnected)
            continue;
        if (written)
            out << ", \r\n";
        written = true;
        std::string name = JsonWriter::text(text(device.QBusDeviceName));
        std::string serial = std::to_string(int32_t(device.QBusSerNumber));
        out << "    {\r\n"
            << "      \"_id\": \"" << name << "-" << serial << "\",\r\n"
            << "      \"name\": \"" << name << "\",\r\n"
            << "      \"serialnumber\": \"" << serial << "\",\r\n"
            << "      \"firmwareversion\": \"" << JsonWriter::text(text(device.QBusMainSwVersion)) << "\"\r\n"
            << "    }";
    }
    out << "\r\n  ]\r\n"
        << "}\r\n";
}

void VoxApp::listOperation(Request& request, char const* folder) {
    std::ostream& out = request.output();
    // A folder that is a link lists nothing: what it leads to is not the app's.
    int fd = Beneath::openFolder(folder);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        out << "[]";
        return;
    }
    out << "[";
    bool written = false;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_type != DT_REG)
            continue;
        if (written)
            out << ",";
        written = true;
        out << "\r\n\"" << JsonWriter::text(entry->d_name) << "\"";
    }
    out << "\r\n]";
    closedir(dir);
}

void VoxApp::updateStatus(Request& request) {
    auto& external = *gMemExternalDevices;
    auto& media = *gMemMedia;
    // In 64 bits: the operands are whatever the blocks hold, and the quotient is what the app shows.
    long long progress = 0;
    if (external.QBusUpdateCount != 0)
        progress = (static_cast<long long>(external.QBusUpdateProgress) + 100LL * external.QBusUpdateIndex) /
                   external.QBusUpdateCount;
    gen::UpdateState state;
    if (hostUpdatePending) {
        state = media.HostUpdateFileState;
        progress = 0;
        if (state == gen::UpdateState::FileValid) {
            setVariable(media.HostUpdateStart, gen::notify::MemMedia::HostUpdateStart, true);
            state = gen::UpdateState::Rebooting;
        }
    } else {
        state = external.QBusUpdateState;
        if (state == gen::UpdateState::FileValid)
            setVariable(external.QBusUpdateStart, gen::notify::MemExternalDevices::QBusUpdateStart, true);
    }
    static uint32_t const updateStateEnum = IntrospectionEnum::getEnumIndex("UpdateState");
    // A value outside the enumeration reads as the enumeration getter gives it: "INVALID_VALUE: <number>".
    std::string name = IntrospectionEnum::getEnumText(updateStateEnum, &state);
    LOG(LogLight, "Update Status: %s, %lli%%", name.c_str(), progress);
    std::string answer = "{\"status\": ";
    JsonWriter::appendString(answer, name);
    request.output() << answer << ", \"progress\": " << progress << " }";
}

bool VoxApp::startUpload(Request& request, std::unique_ptr<Upload>& upload) {
    if (Upload::receiving()) {
        LOG(Warn, "Upload refused: another update package is being received");
        request.refuse("409 Conflict", UPDATE_IN_PROGRESS);
        return false;
    }
    upload = Upload::start(request.param("CONTENT_TYPE"));
    return true;
}

void VoxApp::update(Request& request, Upload* upload) {
    std::ostream& out = request.output();
    if (!upload) { // the body was not multipart
        out << JsonWriter::appResult("Invalid content type");
        return;
    }
    std::map<std::string, std::string> const& fields = upload->form().fields;
    if (verbose()) {
        LOG(DebugAll, "Request content:");
        for (auto const& [name, value] : fields)
            LOG(DebugAll, "  \"%s\": \"%s\"", name.c_str(), value.c_str());
    }
    auto task = fields.find("deviceid");
    if (task == fields.end() || !upload->fileReceived()) {
        LOG(Warn, "'deviceid' and 'file' are mandatory, but at least one is missing.");
        out << JsonWriter::appResult("'deviceid' and 'file' are mandatory, but at least one is missing.");
        return;
    }
    std::string const& id = task->second;
    std::size_t dash = id.rfind('-');
    if (dash == std::string::npos) {
        LOG(Warn, "'deviceid' has to be in the form DEVICE-SERIAL, but it is %s.", id.c_str());
        out << JsonWriter::appResult("'deviceid' has to be in the form DEVICE-SERIAL.");
        return;
    }
    LOG(LogLight, "Received update file for device ID %s, our device ID is %s.", id.c_str(),
        deviceId.c_str());
    bool host = id == deviceId;
    char const* package = host ? Constants::SUP_FILE : Constants::CMF_FILE;
    // A package that is not whole on disk is never announced: the update daemon would install what it finds.
    if (int failure = upload->form().writeError()) {
        LOG(Error, "Writing %s failed: %s", Constants::UPLOAD_FILE, strerror(failure));
        unlink(Constants::UPLOAD_FILE);
        out << JsonWriter::appResult("Write error");
        return;
    }
    if (rename(Constants::UPLOAD_FILE, package) != 0) {
        LOG(Error, "Moving %s to %s failed: %s", Constants::UPLOAD_FILE, package, strerror(errno));
        unlink(Constants::UPLOAD_FILE);
        out << JsonWriter::appResult("Write error");
        return;
    }
    // The package's bytes are on disk (the parser synced them); now its name is too, before it is announced.
    Beneath::syncFolder(Constants::UPDATE_FOLDER);
    if (host) {
        setVariable(gMemMedia->HostUpdateFileName, gen::notify::MemMedia::HostUpdateFileName,
                    Constants::SUP_FILE);
        hostUpdatePending = true;
    } else {
        auto& external = *gMemExternalDevices;
        namespace notify = gen::notify::MemExternalDevices;
        std::string deviceName = id.substr(0, dash);
        setVariable(external.QBusUpdateState, notify::QBusUpdateState, gen::UpdateState::NoFileSelected);
        setVariable(external.QBusUpdateProgress, notify::QBusUpdateProgress, 0);
        setVariable(external.QBusUpdateFileName, notify::QBusUpdateFileName, "");
        setVariable(external.QBusUpdateFileName, notify::QBusUpdateFileName, Constants::CMF_FILE);
        int serial = 0;
        if (!parseSerial(id.substr(dash + 1), serial)) {
            LOG(Warn, "'deviceid' %s has no serial number of 32 bits after its last '-'.", id.c_str());
            out << JsonWriter::appResult("'deviceid' has no valid serial number.");
            return;
        }
        setVariable(external.QBusUpdateDeviceSerial, notify::QBusUpdateDeviceSerial, serial);
        setVariable(external.QBusUpdateDeviceName, notify::QBusUpdateDeviceName, deviceName.c_str());
    }
    std::string answer = "{\"taskid\": ";
    JsonWriter::appendString(answer, id);
    out << answer << " }";
}

void VoxApp::fileOperation(Request& request, char const* folder, std::string const& name) {
    std::ostream& out = request.output();
    std::string const& method = request.param("REQUEST_METHOD");
    if (method != "GET" && method != "PUT" && method != "DELETE") {
        out << UNKNOWN_REQUEST;
        return;
    }
    // Nothing outside the folder is ever opened, written or removed: the kernel refuses "..", and a link at
    // any component, the folder itself included.
    auto refused = [&](int error) {
        if (!Beneath::leaves(error))
            return false;
        LOG(Warn, "Refused file name '%s' in %s", name.c_str(), folder);
        out << JsonWriter::appResult("Invalid file name");
        return true;
    };
    if (name.find('\0') != std::string::npos) // the system would read a shorter name than the app sent
        return void(refused(ELOOP));
    if (method == "PUT" && mkdir(folder, 0777) != 0 && errno != EEXIST)
        LOG(Warn, "Could not create directory %s", folder);
    struct Folder {
        int fd;
        ~Folder() {
            if (fd >= 0)
                ::close(fd);
        }
    } const directory{Beneath::openFolder(folder)};
    int folderError = errno;
    if (directory.fd < 0) {
        if (!refused(folderError))
            out << (method == "PUT" ? OPEN_ERROR : JsonWriter::appResult("No such file"));
        return;
    }
    if (method == "GET") {
        // Non-blocking: a FIFO in the folder must not hold the service until someone writes to it.
        int fd = Beneath::open(directory.fd, name, O_RDONLY | O_NONBLOCK);
        struct stat status;
        if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            int error = errno;
            if (fd >= 0)
                ::close(fd);
            if (fd >= 0 || !refused(error))
                out << JsonWriter::appResult("No such file");
            return;
        }
        // Read and sent a piece at a time as the app takes it, never loaded whole.
        auto file = std::shared_ptr<int>(new int(fd), [](int* f) {
            ::close(*f);
            delete f;
        });
        request.streamFrom([file](Request& answer) {
            char buffer[65536];
            ssize_t n = ::read(*file, buffer, sizeof buffer);
            if (n < 0)
                throw std::runtime_error(std::string("Reading the file failed: ") + strerror(errno));
            answer.output().write(buffer, n);
            return n > 0;
        });
    } else if (method == "PUT") {
        bool opened = false;
        if (Beneath::replace(directory.fd, name, request.postData(), opened) == 0)
            out << JsonWriter::appResult("Success");
        else if (opened)
            out << JsonWriter::appResult("Write error");
        else if (!refused(errno))
            out << OPEN_ERROR;
    } else {
        if (Beneath::unlink(directory.fd, name) == 0)
            out << JsonWriter::appResult("Success");
        else if (!refused(errno))
            out << JsonWriter::appResult("No such file");
    }
}
