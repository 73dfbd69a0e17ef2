// Runs in a sandbox without /dev/kmsg: logging costs the line and a FATAL text, never the program.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "log.h"

TEST(LogWithoutKernelLog, EveryLinePrintsFatalAndTheProgramGoesOn) {
    ASSERT_NE(access("/dev/kmsg", F_OK), 0) << "this test needs a sandbox without /dev/kmsg";
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    int savedStderr = dup(2);
    dup2(pipeFds[1], 2);

    logMessage(nullptr, gen::LogLevel::Warn, "f.cpp", 1, "first");
    logMessage(nullptr, gen::LogLevel::Error, "f.cpp", 2, "second");
    std::string what;
    try {
        throwError("f.cpp", 3, "third");
    } catch (std::runtime_error const& e) {
        what = e.what();
    }

    dup2(savedStderr, 2);
    close(pipeFds[1]);
    std::string printed;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        printed.append(buffer, n);
    close(pipeFds[0]);

    std::string const fatal = "FATAL: Logging: Write failed: Bad file descriptor\n";
    EXPECT_EQ(printed, fatal + fatal + fatal);
    EXPECT_EQ(what, "               f.cpp:   3 third");
}
