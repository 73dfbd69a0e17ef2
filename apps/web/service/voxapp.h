#pragma once

// The companion app's side of the web interface, behind /voxapp/v1: device information, update packages and
// their progress, and the lens-table, focus-ring and setup files. Answers are texts written piece by piece in
// the app's own layout (CR LF inside documents, no line end after one-line results).

#include <map>
#include <memory>
#include <string>

#include "request.h"

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
