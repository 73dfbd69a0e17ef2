#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/uio.h>
#include <unistd.h>

gen::LogLevel* gComponentLogLevel = nullptr;

namespace {

constexpr unsigned PROGRAM_COLUMN_SIZE = Constants::LOG_PROGRAM_WIDTH + 2;
constexpr unsigned LEVEL_COLUMN_SIZE = 12;
constexpr char LEVEL_COLUMN[8][LEVEL_COLUMN_SIZE + 1] = {
    "DebugAll    ", "DebugMost   ", "DebugLight  ", "LogAll      ",
    "LogMost     ", "LogLight    ", "Warn        ", "Error       ",
};

// Used from the main thread only; the error functions take their exception text from gMessage.
int gLogFd = -1;
char gProgramColumn[PROGRAM_COLUMN_SIZE + 1];
char gMessage[Constants::LOG_BUFFER_SIZE];

void openDevice() {
    gLogFd = ::open(Constants::KMSG_PATH, O_WRONLY | O_CLOEXEC);
    snprintf(gProgramColumn, sizeof gProgramColumn, "%20.20s  ", program_invocation_short_name);
}

char const* baseName(char const* file) {
    char const* slash = strrchr(file, '/');
    return slash ? slash + 1 : file;
}

// Returns where the message starts in gMessage, past the file/line column.
std::size_t writeLine(gen::LogLevel level, char const* file, int line, char const* format, va_list args) {
    if (gLogFd < 0)
        openDevice();
    int column = snprintf(gMessage, sizeof gMessage, "%20s:%4i ", baseName(file), line);
    if (column < 0)
        column = 0;
    if (static_cast<unsigned>(column) < sizeof gMessage - 1)
        vsnprintf(gMessage + column, sizeof gMessage - column, format, args);
    else
        column = int(strlen(gMessage)); // a column that filled the buffer leaves no message

    auto levelIndex = static_cast<unsigned>(level);
    char const* levelText = levelIndex < 8 ? LEVEL_COLUMN[levelIndex] : "            ";
    char newline = '\n';
    iovec pieces[4] = {
        {gProgramColumn, PROGRAM_COLUMN_SIZE},
        {const_cast<char*>(levelText), LEVEL_COLUMN_SIZE},
        {gMessage, strlen(gMessage)},
        {&newline, 1},
    };
    if (::writev(gLogFd, pieces, 4) < 0)
        fprintf(stderr, "FATAL: Logging: Write failed: %s\n", strerror(errno));
    return std::size_t(column);
}

std::size_t writeLine(gen::LogLevel level, char const* file, int line, char const* format, ...)
    __attribute__((format(printf, 4, 5)));
std::size_t writeLine(gen::LogLevel level, char const* file, int line, char const* format, ...) {
    va_list args;
    va_start(args, format);
    std::size_t messageStart = writeLine(level, file, line, format, args);
    va_end(args);
    return messageStart;
}

[[noreturn]] void throwWithErrno(gen::LogLevel level, char const* file, int line, char const* text) {
    int error = errno;
    std::size_t messageStart = writeLine(level, file, line, "%s: %s", text, strerror(error));
    throw Failure(gMessage, messageStart);
}

} // namespace

void logMessageIntern(gen::LogLevel* componentLevel, gen::LogLevel level, char const* file, int line,
                      char const* format, va_list args) {
    if (componentLevel && static_cast<int32_t>(level) < static_cast<int32_t>(*componentLevel))
        return;
    writeLine(level, file, line, format, args);
}

void logMessage(gen::LogLevel* componentLevel, gen::LogLevel level, char const* file, int line,
                char const* format, ...) {
    va_list args;
    va_start(args, format);
    logMessageIntern(componentLevel, level, file, line, format, args);
    va_end(args);
}

void throwError(char const* file, int line, char const* format, ...) {
    va_list args;
    va_start(args, format);
    std::size_t messageStart = writeLine(gen::LogLevel::Error, file, line, format, args);
    va_end(args);
    throw Failure(gMessage, messageStart);
}

void throwErrorNumber(char const* file, int line, char const* text) {
    throwWithErrno(gen::LogLevel::Error, file, line, text);
}

void throwErrorNumberInfo(char const* file, int line, char const* text) {
    throwWithErrno(gen::LogLevel::LogLight, file, line, text);
}

char const* failureMessage(std::exception const& failure) {
    auto const* own = dynamic_cast<Failure const*>(&failure);
    return own ? own->message() : failure.what();
}
