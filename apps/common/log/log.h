#pragma once

// Diagnostics go to the kernel log, one record per line:
//   program column (20 columns + 2 spaces), level column (12), "%20s:%4i " file/line column, message.
// The error functions log at a fixed level whatever the component level and then throw a Failure carrying the
// file/line column and the message.

#include <cstdarg>
#include <cstddef>
#include <exception>
#include <stdexcept>

#include "loglevel.h"

// This program's level; null until start-up binds it to AppServiceLogLevel. While null every line is written.
extern gen::LogLevel* gComponentLogLevel;

namespace Constants {
constexpr char const* KMSG_PATH = "/dev/kmsg";
constexpr unsigned LOG_BUFFER_SIZE = 512;  // file/line column + message, terminator included
constexpr unsigned LOG_PROGRAM_WIDTH = 20; // the program name is right-aligned and cut to this
} // namespace Constants

// Writes the line when componentLevel is null or level >= *componentLevel (signed comparison).
void logMessage(gen::LogLevel* componentLevel, gen::LogLevel level, char const* file, int line,
                char const* format, ...) __attribute__((format(printf, 5, 6)));
void logMessageIntern(gen::LogLevel* componentLevel, gen::LogLevel level, char const* file, int line,
                      char const* format, va_list args) __attribute__((format(printf, 5, 0)));

// Logs at Error, then throws.
[[noreturn]] void throwError(char const* file, int line, char const* format, ...)
    __attribute__((format(printf, 3, 4)));
// Logs "<text>: <strerror(errno)>" at Error, then throws.
[[noreturn]] void throwErrorNumber(char const* file, int line, char const* text);
// As throwErrorNumber, but the line is written at LogLight.
[[noreturn]] void throwErrorNumberInfo(char const* file, int line, char const* text);

// What the error functions throw: what() is the line as logged from the file/line column on, message() the
// message alone, for texts that go to a user rather than into the log.
class Failure : public std::runtime_error {
public:
    Failure(char const* line, std::size_t messageStart)
        : std::runtime_error(line), messageStart(messageStart) {}
    char const* message() const noexcept { return what() + messageStart; }

private:
    std::size_t messageStart;
};

// A Failure's message; other exceptions' texts whole.
char const* failureMessage(std::exception const& failure);

#define LOG(level, ...)                                                                                      \
    ::logMessage(gComponentLogLevel, ::gen::LogLevel::level, __FILE__, __LINE__, __VA_ARGS__)
#define THROW_ERROR(...) ::throwError(__FILE__, __LINE__, __VA_ARGS__)
#define THROW_ERROR_NUMBER(text) ::throwErrorNumber(__FILE__, __LINE__, text)
#define THROW_ERROR_NUMBER_INFO(text) ::throwErrorNumberInfo(__FILE__, __LINE__, text)
