#include <cerrno>
#include <cstdarg>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

#include "failure.h"
#include "kmsg.h"
#include "log.h"

namespace {

using gen::LogLevel;

// The binary is log_test: right-aligned in 20 columns, then two spaces.
std::string const PROGRAM = "            log_test  ";

TEST(LogRecord, CarriesProgramLevelLocationAndMessageInOneRecord) {
    KmsgReader kmsg;
    logMessage(nullptr, LogLevel::Warn, "/some/folder/somefile.cpp", 42, "value %d of %s", 7, "seven");
    // A long location and line number widen the column.
    logMessage(nullptr, LogLevel::Error, "dir/a_rather_long_file_name.cpp", 123456, "m");
    // 512 bytes of buffer less the terminator, after the program and level columns.
    logMessage(nullptr, LogLevel::Warn, "f.cpp", 1, "%s", std::string(2000, 'x').c_str());
    // Without a component level (nullptr) every level is written, each in its padded column.
    char const* columns[] = {"DebugAll    ", "DebugMost   ", "DebugLight  ", "LogAll      ",
                             "LogMost     ", "LogLight    ", "Warn        ", "Error       "};
    for (int level = 0; level < 8; ++level)
        logMessage(nullptr, static_cast<LogLevel>(level), "f.cpp", 1, "x");
    auto records = kmsg.records();
    ASSERT_EQ(records.size(), 11u);
    EXPECT_EQ(records[0].raw, PROGRAM + "Warn        " + "        somefile.cpp:  42 value 7 of seven");
    EXPECT_EQ(records[1].raw, PROGRAM + "Error       " + "a_rather_long_file_name.cpp:123456 m");
    EXPECT_EQ(records[2].raw.size(), 22u + 12u + 511u);
    EXPECT_EQ(records[2].message, std::string(511 - 26, 'x'));
    for (int level = 0; level < 8; ++level)
        EXPECT_EQ(records[3 + level].level, columns[level]) << "level " << level;
}

// The filter of the va_list form, which other formatting front ends call.
void logThroughList(gen::LogLevel* component, LogLevel level, char const* format, ...) {
    va_list args;
    va_start(args, format);
    logMessageIntern(component, level, "f.cpp", 1, format, args);
    va_end(args);
}

TEST(LogFilter, ComponentLevelSuppressesLowerLevels) {
    // Component levels and the levels, as digits, that pass. A signed comparison: a negative level lets
    // everything through.
    std::pair<int, std::string> const cases[] = {{int(LogLevel::Warn), "67"},
                                                 {int(LogLevel::DebugAll), "01234567"},
                                                 {int(LogLevel::Error), "7"},
                                                 {-1, "01234567"},
                                                 {8, ""}};
    for (auto const& [level, passed] : cases) {
        auto component = static_cast<LogLevel>(level);
        KmsgReader kmsg;
        for (int l = 0; l < 8; ++l) {
            logMessage(&component, static_cast<LogLevel>(l), "f.cpp", 1, "%d", l);
            logThroughList(&component, static_cast<LogLevel>(l), "%d", l);
        }
        std::string written;
        for (auto const& message : kmsg.messages())
            written += message;
        std::string twice;
        for (char c : passed)
            twice += std::string(2, c);
        EXPECT_EQ(written, twice) << "component level " << level;
    }
}

TEST(ErrorFunctions, ThrowErrorLogsAtErrorWhateverTheComponentLevelAndCarriesTheMessageApart) {
    LogLevel silent = static_cast<LogLevel>(100);
    gen::LogLevel* saved = gComponentLogLevel;
    gComponentLogLevel = &silent;
    KmsgReader kmsg;
    EXPECT_EQ(failure([] { throwError("src/part.cpp", 77, "bad %s %i", "thing", 3); }),
              "            part.cpp:  77 bad thing 3");
    gComponentLogLevel = saved;
    auto records = kmsg.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].raw, PROGRAM + "Error       " + "            part.cpp:  77 bad thing 3");

    char expected[64];
    snprintf(expected, sizeof expected, "%20s:%4i at call site", "log_test.cpp", __LINE__ + 1);
    EXPECT_EQ(failure([] { THROW_ERROR("at %s", "call site"); }), expected);

    auto messageOf = [](auto raise) {
        try {
            raise();
        } catch (std::exception const& e) {
            return std::string(failureMessage(e));
        }
        return std::string("nothing thrown");
    };
    EXPECT_EQ(messageOf([] { throwError("a_source_file_name_longer_than_twenty.cpp", 123456, "wide: 1"); }),
              "wide: 1");
    // Not from throwError: the text is the message.
    EXPECT_EQ(messageOf([] { throw std::runtime_error("key: 5 missing"); }), "key: 5 missing");
}

TEST(ErrorFunctions, ThrowErrorNumberAddsTheSystemErrorText) {
    std::pair<void (*)(char const*, int, char const*), char const*> const cases[] = {
        {throwErrorNumber, "Error       "}, {throwErrorNumberInfo, "LogLight    "}};
    for (auto const& [call, level] : cases) {
        KmsgReader kmsg;
        errno = EADDRINUSE;
        EXPECT_EQ(failure([f = call] { f("net.cpp", 9, "bind"); }),
                  "             net.cpp:   9 bind: Address already in use");
        auto records = kmsg.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, level);
        EXPECT_EQ(records[0].message, "bind: Address already in use");
    }
}

} // namespace
