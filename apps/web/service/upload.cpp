#include "upload.h"

#include <unistd.h>

#include "constants.h"
#include "log.h"

namespace {
Upload const* gReceiving = nullptr; // the one being received, if any
} // namespace

std::unique_ptr<Upload> Upload::start(std::string const& contentType) {
    std::unique_ptr<Upload> upload(new Upload);
    if (!upload->mParser.start(contentType, Constants::UPLOAD_FILE))
        return nullptr;
    gReceiving = upload.get();
    if (gComponentLogLevel && *gComponentLogLevel == gen::LogLevel::DebugAll)
        upload->mCopy.open(Constants::POST_DATA_COPY, std::ios::binary | std::ios::trunc);
    return upload;
}

bool Upload::receiving() {
    return gReceiving != nullptr;
}

void Upload::take(std::string_view bytes) {
    if (mCopy.is_open())
        mCopy.write(bytes.data(), std::streamsize(bytes.size()));
    mParser.feed(bytes);
}

void Upload::finish() {
    mParser.finish();
    mFinished = true;
    if (gReceiving == this)
        gReceiving = nullptr;
}

Upload::~Upload() {
    if (!mFinished && mParser.fileOpened())
        unlink(Constants::UPLOAD_FILE);
    if (gReceiving == this)
        gReceiving = nullptr;
}
