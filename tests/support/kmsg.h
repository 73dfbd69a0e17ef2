#pragma once

// Reads back the kernel-log records that the sandbox collects in place of /dev/kmsg.

#include <string>
#include <vector>

struct KmsgRecord {
    std::string level; // the 12-character level column, after the 22-character program column
    std::string message;
    std::string raw; // the whole record without its newline
};

class KmsgReader {
public:
    // Only records written after construction are returned. The path is /dev/kmsg (the sandbox's regular
    // file) or, where SANDBOX_KMSG_LOG names one, the log the sandbox drains its kernel-log pipe into.
    KmsgReader();

    std::vector<KmsgRecord> records() const;
    std::vector<std::string> messages() const;
    // Waits up to timeoutMs for a record whose message contains text; for logs written by other processes.
    bool waitFor(std::string const& text, int timeoutMs = 3000) const;

private:
    std::string mPath;
    long mStart;
};
