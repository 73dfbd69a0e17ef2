#pragma once

// The service actions that program accessories' 1-Wire memories: a modem's type, and a pre-marked focus ring
// through the 1-Wire tool. Their progress is in MemServiceMode's variables; on success the request ends with
// no answer at all.

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "request.h"

namespace Constants {
// The shell command that writes a focus ring's 1-Wire memory, and the room it is formatted into.
constexpr char const* ONEWIRE_RING_COMMAND = "echo '%s' | onewire-tool.py -e -m knob >/dev/kmsg 2>&1";
constexpr std::size_t ONEWIRE_COMMAND_SIZE = 128;
} // namespace Constants

namespace OneWire {
void writeModemData(Request& request);
void writeRingData(Request& request);
// The focus-ring command for the two input lines, with the value kept as data for the shell; throws when it
// does not fit the command's room.
std::string ringCommand(std::string const& input);
// The string member key of an object and a line feed; "Key: '<key>' is missing" otherwise.
void appendJsonKey(nlohmann::json const& document, std::string const& key, std::string& out);
} // namespace OneWire
