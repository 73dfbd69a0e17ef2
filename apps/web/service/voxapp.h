#pragma once

// The companion app's side of the web interface, behind /voxapp/v1: device information, update packages and
// their progress, and the lens-table, focus-ring and setup files. Answers are texts written piece by piece in
// the app's own layout (CR LF inside documents, no line end after one-line results). Each operation answers
// without ending the request: its route ends it, unless the answer streams.

#include <memory>
#include <string>

#include "request.h"
#include "upload.h"

class VoxApp {
public:
    // Reads the device's identity from the hardware-information block (which may be reset to defaults
    // there); raises when the block cannot be opened or mapped.
    VoxApp();

    void deviceInfo(Request& request);
    void listOperation(Request& request, char const* folder);
    void updateStatus(Request& request);
    // An upload on the update path, taken once its parameters are complete: false when it is refused (409,
    // while another is being received); upload stays null for another content type than multipart (answered
    // as such once complete).
    bool startUpload(Request& request, std::unique_ptr<Upload>& upload);
    // The complete upload (null: the body was not multipart) moved to its package and announced.
    void update(Request& request, Upload* upload);
    void fileOperation(Request& request, char const* folder, std::string const& name);
    void unknown(Request& request);

private:
    std::string deviceId;
    std::string serialNumber;
    bool hostUpdatePending = false;
};
