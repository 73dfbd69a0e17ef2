#pragma once

#include <cstdint>

namespace gen {

// Shared by every component of the device; the stored form in the MemApp block is this 32-bit value.
enum class LogLevel : int32_t {
    DebugAll = 0,
    DebugMost = 1,
    DebugLight = 2,
    LogAll = 3,
    LogMost = 4,
    LogLight = 5,
    Warn = 6,
    Error = 7,
};

} // namespace gen
