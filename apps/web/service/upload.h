#pragma once

// An update package on its way to disk: the form is parsed as the body arrives and its file part written to
// UPLOAD_FILE, so that a package costs disk, not memory. At DebugAll the body is also copied to
// POST_DATA_COPY as it comes. A package whose request never completes is removed.
//
// Every upload is written to the same UPLOAD_FILE before it is moved to its package: a second one at the same
// time would write under the first's package, and the task announced for one would install the other's bytes.
// So there is one being received at a time (receiving()).

#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "multipart.h"

class Upload {
public:
    // The upload of a body of that content type; null when it is not multipart/form-data with a boundary.
    static std::unique_ptr<Upload> start(std::string const& contentType);
    // Whether an upload's body is being received now.
    static bool receiving();

    ~Upload();
    void take(std::string_view bytes);
    void finish(); // the body is complete: the file is closed (and synced)

    Multipart::FormParser const& form() const { return mParser; }
    bool fileReceived() const { return mParser.fields.count("file") > 0; } // a part named "file" came

private:
    Upload() = default;

    Multipart::FormParser mParser;
    std::ofstream mCopy;
    bool mFinished = false;
};
