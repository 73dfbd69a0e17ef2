// Runs in a sandbox without /dev/kmsg: logging costs the line and a FATAL text, never the program.

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "log.h"

TEST(LogWithoutKernelLog, EveryLinePrintsFatalAndTheProgramGoesOn) {
    ASSERT_NE(access("/dev/kmsg", F_OK), 0) << "this test needs a sandbox without /dev/kmsg";
    testing::internal::CaptureStderr();
    logMessage(nullptr, gen::LogLevel::Warn, "f.cpp", 1, "first");
    logMessage(nullptr, gen::LogLevel::Error, "f.cpp", 2, "second");
    std::string what;
    try {
        throwError("f.cpp", 3, "third");
    } catch (std::runtime_error const& e) {
        what = e.what();
    }
    std::string const printed = testing::internal::GetCapturedStderr();

    std::string const fatal = "FATAL: Logging: Write failed: Bad file descriptor\n";
    EXPECT_EQ(printed, fatal + fatal + fatal);
    EXPECT_EQ(what, "               f.cpp:   3 third");
}
