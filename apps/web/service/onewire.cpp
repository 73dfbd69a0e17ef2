#include "onewire.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>

#include "constants.h"
#include "introspection_gen.h"
#include "log.h"
#include "router.h"
#include "setvariable.h"

void OneWire::writeModemData(Request& request) {
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(request.postData());
    } catch (std::exception const& e) {
        LOG(Error, "Modem data is not JSON: %s", e.what());
        sendFailure(request, "400 Bad Request", failureMessage(e));
        return;
    }
    try {
        std::string type;
        appendJsonKey(document, "devType", type);
        auto& block = *gMemServiceMode;
        namespace notify = gen::notify::MemServiceMode;
        setVariable(block.ServiceMode1WireModemLabel, notify::ServiceMode1WireModemLabel,
                    "Modem encryption started ...");
        gen::ModemType modem;
        if (type[0] == Constants::TARN_400[0]) {
            modem = gen::ModemType::Tarn;
        } else if (type[0] == Constants::UHARD_2400_MODEM[0]) {
            modem = gen::ModemType::P2400;
        } else if (type[0] == Constants::UHARD_900_MODEM[0]) {
            modem = gen::ModemType::P900;
        } else {
            setVariable(block.ServiceMode1WireModemLabel, notify::ServiceMode1WireModemLabel,
                        "Unknown Modem type connected");
            request.end();
            return;
        }
        setVariable(block.ServiceModeConnectedModemType, notify::ServiceModeConnectedModemType, modem);
    } catch (std::exception const&) {
        LOG(Error, "Writing to the modem's 1Wire failed");
    }
    request.end();
}

std::string OneWire::ringCommand(std::string const& input) {
    // Between single quotes the shell takes every character as it is except the quote itself, which closes
    // them: each one becomes quote, escaped quote, quote.
    std::string quoted;
    for (char c : input) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    char command[Constants::ONEWIRE_COMMAND_SIZE];
    int length = snprintf(command, sizeof command, Constants::ONEWIRE_RING_COMMAND, quoted.c_str());
    // Cut short, the closing quote or the redirection would be lost and the shell would run something else.
    if (length < 0 || std::size_t(length) >= sizeof command)
        THROW_ERROR("Command for onewire-tool.py does not fit: %i bytes", length);
    return command;
}

void OneWire::writeRingData(Request& request) {
    auto& block = *gMemServiceMode;
    namespace notify = gen::notify::MemServiceMode;
    char const* failure = nullptr;
    std::string reason;
    try {
        setVariable(block.ServiceModeWritingToRing1Wire, notify::ServiceModeWritingToRing1Wire, true);
        setVariable(block.ServiceMode1WireRingLabel, notify::ServiceMode1WireRingLabel, "-");
        nlohmann::json document;
        try {
            document = nlohmann::json::parse(request.postData());
        } catch (std::exception const& e) {
            LOG(Error, "Ring data is not JSON: %s", e.what());
            failure = "400 Bad Request";
            reason = failureMessage(e);
        }
        if (!failure) {
            try {
                std::string unit;
                std::string input;
                appendJsonKey(document, "unit", unit);
                if (unit == "metric\n")
                    input = "1\n";
                else if (unit == "imperial\n")
                    input = "2\n";
                else if (unit == "custom\n")
                    input = "3\n";
                else
                    THROW_ERROR("Unit has an invalid value: %s", unit.c_str());
                appendJsonKey(document, "focusCloseValue", input);
                int status = system(ringCommand(input).c_str());
                if ((status >> 8) & 0xff)
                    THROW_ERROR("Error during calling onewire-tool.py");
                LOG(LogLight, "Premarked-ring encryption successful");
                namespace persistent = gen::notify::MemPersistent;
                setVariable(gMemPersistent->PreMarkedRingAutoDet, persistent::PreMarkedRingAutoDet, false);
                setVariable(gMemPersistent->PreMarkedRingAutoDet, persistent::PreMarkedRingAutoDet, true);
            } catch (std::exception const&) {
                LOG(Error, "Writing to the premarked ring's 1Wire failed");
            }
        }
    } catch (std::exception const& e) {
        // Posting an event failed (the broker is gone): the write did not happen as the GUI would see it.
        failure = "500 Internal Server Error";
        reason = failureMessage(e);
    }
    // setVariable stores before it posts, so the flag is down even when its event cannot be posted.
    try {
        setVariable(block.ServiceModeWritingToRing1Wire, notify::ServiceModeWritingToRing1Wire, false);
    } catch (std::exception const& e) {
        if (!failure) {
            failure = "500 Internal Server Error";
            reason = failureMessage(e);
        }
    }
    if (failure)
        sendFailure(request, failure, reason);
    else
        request.end();
}

void OneWire::appendJsonKey(nlohmann::json const& document, std::string const& key, std::string& out) {
    if (!document.is_object() || !document.contains(key))
        THROW_ERROR("Key: '%s' is missing", key.c_str());
    out += document[key].get<std::string>();
    out += '\n';
}
