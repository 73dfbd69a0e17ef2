#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

#include "kmsg.h"
#include "log.h"

namespace {

using gen::LogLevel;

// The binary is log_test: right-aligned in 20 columns, then two spaces.
std::string const PROGRAM = "            log_test  ";

TEST(LogRecord, CarriesProgramLevelLocationAndMessageInOneRecord) {
    KmsgReader kmsg;
    logMessage(nullptr, LogLevel::Warn, "/some/folder/somefile.cpp", 42, "value %d of %s", 7, "seven");
    auto records = kmsg.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].raw, PROGRAM + "Warn        " + "        somefile.cpp:  42 value 7 of seven");
}

TEST(LogRecord, EveryLevelHasItsPaddedColumn) {
    char const* columns[] = {"DebugAll    ", "DebugMost   ", "DebugLight  ", "LogAll      ",
                             "LogMost     ", "LogLight    ", "Warn        ", "Error       "};
    KmsgReader kmsg;
    for (int level = 0; level < 8; ++level)
        logMessage(nullptr, static_cast<LogLevel>(level), "f.cpp", 1, "x");
    auto records = kmsg.records();
    ASSERT_EQ(records.size(), 8u);
    for (int level = 0; level < 8; ++level)
        EXPECT_EQ(records[level].level, columns[level]) << "level " << level;
}

TEST(LogRecord, LongLocationAndLineNumbersWidenTheColumn) {
    KmsgReader kmsg;
    logMessage(nullptr, LogLevel::Error, "dir/a_rather_long_file_name.cpp", 123456, "m");
    auto records = kmsg.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].raw, PROGRAM + "Error       " + "a_rather_long_file_name.cpp:123456 m");
}

TEST(LogFilter, ComponentLevelSuppressesLowerLevels) {
    struct Case {
        int component;
        std::string written; // the levels, as digits, that pass
    } const cases[] = {
        {int(LogLevel::Warn), "67"},
        {int(LogLevel::DebugAll), "01234567"},
        {int(LogLevel::Error), "7"},
        {-1, "01234567"}, // a signed comparison: a negative level lets everything through
        {8, ""},
    };
    for (auto const& c : cases) {
        auto component = static_cast<LogLevel>(c.component);
        KmsgReader kmsg;
        for (int level = 0; level < 8; ++level)
            logMessage(&component, static_cast<LogLevel>(level), "f.cpp", 1, "%d", level);
        std::string written;
        for (auto const& message : kmsg.messages())
            written += message;
        EXPECT_EQ(written, c.written) << "component level " << c.component;
    }
}

TEST(LogFilter, NullLevelPointerWritesEverything) {
    KmsgReader kmsg;
    logMessage(nullptr, LogLevel::DebugAll, "f.cpp", 1, "debug");
    EXPECT_EQ(kmsg.messages(), std::vector<std::string>{"debug"});
}

TEST(LogBuffer, LongMessageIsCutAndStillEndsWithNewline) {
    KmsgReader kmsg;
    logMessage(nullptr, LogLevel::Warn, "f.cpp", 1, "%s", std::string(2000, 'x').c_str());
    auto records = kmsg.records();
    ASSERT_EQ(records.size(), 1u);
    // 512 bytes of buffer less the terminator, after the program and level columns.
    EXPECT_EQ(records[0].raw.size(), 22u + 12u + 511u);
    EXPECT_EQ(records[0].message, std::string(511 - 26, 'x'));
}

TEST(ErrorFunctions, ThrowErrorLogsAtErrorWhateverTheComponentLevel) {
    LogLevel silent = static_cast<LogLevel>(100);
    gen::LogLevel* saved = gComponentLogLevel;
    gComponentLogLevel = &silent;
    KmsgReader kmsg;
    try {
        throwError("src/part.cpp", 77, "bad %s %i", "thing", 3);
        FAIL() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "            part.cpp:  77 bad thing 3");
    }
    gComponentLogLevel = saved;
    auto records = kmsg.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].raw, PROGRAM + "Error       " + "            part.cpp:  77 bad thing 3");
}

TEST(ErrorFunctions, ThrowErrorNumberAddsTheSystemErrorText) {
    struct Case {
        void (*call)(char const*, int, char const*);
        char const* level;
    } const cases[] = {{throwErrorNumber, "Error       "}, {throwErrorNumberInfo, "LogLight    "}};
    for (auto const& c : cases) {
        KmsgReader kmsg;
        try {
            errno = EADDRINUSE;
            c.call("net.cpp", 9, "bind");
            FAIL() << "no exception";
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "             net.cpp:   9 bind: Address already in use");
        }
        auto records = kmsg.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, c.level);
        EXPECT_EQ(records[0].message, "bind: Address already in use");
    }
}

TEST(ErrorFunctions, MacrosPassTheCallSite) {
    KmsgReader kmsg;
    int line = __LINE__ + 2;
    try {
        THROW_ERROR("at %s", "call site");
    } catch (std::runtime_error const& e) {
        char expected[64];
        snprintf(expected, sizeof expected, "%20s:%4i at call site", "log_test.cpp", line);
        EXPECT_STREQ(e.what(), expected);
    }
}

TEST(ErrorFunctions, FailureMessageLeavesTheLocationOut) {
    auto messageOf = [](auto raise) {
        try {
            raise();
        } catch (std::exception const& e) {
            return std::string(failureMessage(e));
        }
        return std::string("nothing thrown");
    };
    EXPECT_EQ(messageOf([] { THROW_ERROR("Unit has an invalid value: %s", "x: 1"); }),
              "Unit has an invalid value: x: 1");
    EXPECT_EQ(messageOf([] { throwError("a_source_file_name_longer_than_twenty.cpp", 123456, "wide"); }),
              "wide");
    // Not from throwError: the text is the message.
    EXPECT_EQ(messageOf([] { throw std::runtime_error("key: 5 missing"); }), "key: 5 missing");
    EXPECT_EQ(messageOf([] { throw std::runtime_error("plain"); }), "plain");
}

} // namespace
