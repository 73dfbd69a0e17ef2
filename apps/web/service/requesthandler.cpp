#include "requesthandler.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <sys/wait.h>

#include "constants.h"
#include "introspection.h"
#include "introspection_enum.h"
#include "json.h"
#include "jsonwriter.h"
#include "log.h"
#include "setvariable.h"

namespace {
// A request that failed before the endpoint could do its work: an HTTP error status and the reason.
void sendFailure(Request* request, char const* status, std::string const& message) {
    std::string header = std::string("Status: ") + status + "\r\n" + Constants::FCGI_DEFAULT_HEADER;
    request->writeHeader(header.c_str());
    request->output() << "{\"result\": 0, \"error\": \"" << RequestHandler::encodeString(message) << "\" }";
    request->end();
}

// The number after "offset=". A value that is no number, negative or beyond an int reads as 0, the whole log:
// a client that lost its place gets everything again rather than nothing.
long logOffset(std::string const& query) {
    static std::string const key = "offset=";
    if (query.compare(0, key.size(), key) != 0)
        return 0;
    char const* text = query.c_str() + key.size();
    char* end = nullptr;
    errno = 0;
    long offset = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || offset < 0 || offset > INT_MAX)
        return 0;
    return offset;
}
} // namespace

RequestHandler::RequestHandler(EventPoll& poll, Fcgi& fcgi)
    : fcgi(fcgi), changedEvents(), voxApp(), kernelLog(poll), screenCapture() {
    lastPeriodic = std::chrono::steady_clock::now();
    try {
        kernelLog.init();
    } catch (std::exception const&) {
        LOG(Error, "Logging to web gui will not be available");
    }
}

void RequestHandler::handleRequest(Request* request) {
    try {
        route(request);
    } catch (std::exception const& e) {
        answerFailure(request, failureMessage(e));
    }
}

void RequestHandler::answerFailure(Request* request, char const* reason) {
    // Whatever went wrong, the request is answered and released and the service goes on; an answer already
    // on its way can only be cut.
    LOG(Error, "Request %u to %s failed: %s", request->id, request->param("SCRIPT_NAME").c_str(), reason);
    request->context.reset();
    if (request->fd == -1 || request->peerGone() || !request->handedOver())
        return;
    try {
        if (!request->restartAnswer()) {
            request->drop("its answer failed half-way");
            return;
        }
        sendFailure(request, "500 Internal Server Error", reason);
    } catch (std::exception const&) {
        request->drop("its failure could not be answered");
    }
}

void RequestHandler::admit(Request* request) {
    std::string const& host = request->param("HTTP_HOST");
    std::string const& origin = request->param("HTTP_ORIGIN");
    std::string const& method = request->param("REQUEST_METHOD");
    std::string const& script = request->param("SCRIPT_NAME");
    auto verdict = sites.check(method, host, origin, request->param("HTTP_SEC_FETCH_SITE"));
    if (verdict == SitePolicy::Verdict::Serve)
        return;
    // Each path answers in its own error form, so that its client reads the refusal as it reads any other.
    auto answer = [&](char const* status, char const* message) {
        request->refuse(status, script == "/voxapp/v1"
                                    ? std::string("{\"result\": \"") + message + "\" }"
                                    : std::string("{\"result\": 0, \"error\": \"") + message + "\" }");
    };
    if (verdict == SitePolicy::Verdict::UnknownHost) {
        LOG(Warn,
            "Request %u for host '%s' refused: not an address, localhost, a .local name or listed in %s",
            request->id, host.c_str(), Constants::SITES_FILE);
        answer("421 Misdirected Request", "Host not served");
    } else {
        LOG(Warn, "Cross-origin request refused: %s %s%s from origin '%s'", method.c_str(), script.c_str(),
            request->param("PATH_INFO").c_str(), origin.c_str());
        answer("403 Forbidden", "Cross-origin request refused");
    }
}

bool RequestHandler::releaseHeld() {
    Request* longest = nullptr;
    for (auto const& entry : fcgi.requests) {
        int const* mark = std::any_cast<int>(&entry.second->context);
        if (mark && (!longest || entry.second->handedOverAt() < longest->handedOverAt()))
            longest = entry.second;
    }
    if (!longest)
        return false;
    // As if its pass had come with nothing new: an update with no variables, or the log's size line alone.
    int mark = std::any_cast<int>(longest->context);
    longest->context.reset();
    LOG(DebugLight, "Held request %u answered early to make room", longest->id);
    if (mark == Constants::HELD_UPDATE)
        longest->output() << "{\r\n\"id\": " << unsigned(longest->requestId())
                          << ",\r\n\"errors\": [],\r\n\"variables\": {\r\n}\r\n}\r\n";
    longest->end();
    return true;
}

std::unique_ptr<Request::BodySink> RequestHandler::takeBody(Request* request) {
    if (request->param("SCRIPT_NAME") == "/voxapp/v1")
        return voxApp.takeBody(request);
    return nullptr;
}

void RequestHandler::route(Request* request) {
    std::string const& script = request->param("SCRIPT_NAME");
    LOG(DebugMost, "REQUEST handle(%i, %i, %s)", int(request->id), int(request->requestId()), script.c_str());
    if (script == "/api/v1/all.cgi") {
        sendTree(request);
    } else if (script == "/api/v1/update.cgi") {
        request->context = Constants::HELD_UPDATE;
    } else if (script == "/api/v1/set.cgi") {
        sendSetResult(request);
    } else if (script == "/api/v1/log.cgi") {
        sendLog(request);
    } else if (script == "/api/v1/screen.cgi") {
        sendScreen(request);
    } else if (script == "/voxapp/v1") {
        voxApp.handleRequest(request);
    } else if (script == "/api/v1/modemdata.cgi") {
        writeModemData(request);
    } else if (script == "/api/v1/premarkeddata.cgi") {
        writeRingData(request);
    } else {
        sendUnknownScript(request, script);
    }
}

void RequestHandler::sendTree(Request* request) {
    LOG(LogLight, "Request %s from %s to %s by %s", request->param("SCRIPT_FILENAME").c_str(),
        request->param("REMOTE_ADDR").c_str(), request->param("SERVER_ADDR").c_str(),
        request->param("HTTP_USER_AGENT").c_str());
    // Printed straight into the records that carry it: it leaves in records of the largest size as it is
    // printed, and is never held whole.
    std::ostream& out = request->output();
    out << "{\r\n\"id\": " << unsigned(request->requestId()) << ",\r\n\"variables\": {";
    createJsonTree(out);
    request->output() << "}}\r\n";
    request->end();
}

void RequestHandler::sendSetResult(Request* request) {
    std::stringstream errors;
    bool ok = setVars(request->postData, errors);
    std::ostream& out = request->output();
    out << "{\"result\": " << (ok ? 1 : 0);
    if (!ok)
        out << ", \"error\": \"" << encodeString(errors.str()) << "\"";
    out << " }";
    request->end();
}

void RequestHandler::sendUnknownScript(Request* request, std::string const& script) {
    LOG(Warn, "Unknown script: '%s'", script.c_str());
    std::string message = "Unknown script: '" + script + "'";
    request->output() << "{\"result\": " << 0 << ", \"error\": \"" << encodeString(message) << "\" }";
    request->end();
}

void RequestHandler::sendLog(Request* request) {
    request->writeHeader(Constants::LOG_HEADER);
    request->output() << kernelLog.size() << "\r\n";
    request->context = Constants::HELD_LOG;
    appendLogOutput(request);
}

void RequestHandler::appendLogOutput(Request* request) {
    std::string const& kept = kernelLog.text();
    std::size_t size = kernelLog.size();
    long offset = logOffset(request->param("QUERY_STRING"));
    std::size_t from = 0; // in the kept text
    if (offset != 0 && size >= std::size_t(offset)) {
        // The log will not grow any more once dmesg has ended: answered with nothing new, not held for good.
        if (size == std::size_t(offset) && !kernelLog.ended())
            return; // up to date: held until more arrives
        LOG(DebugLight, "Sending log data with offset %i/%u to request %i", int(offset), unsigned(size),
            int(request->id));
        // An offset older than what is kept is answered from the oldest byte kept.
        from = std::max(std::size_t(offset), kernelLog.oldest()) - kernelLog.oldest();
    } else {
        LOG(DebugLight, "Sending all log data to request %i", int(request->id));
    }
    request->context.reset();
    request->output().write(kept.data() + from, std::streamsize(kept.size() - from));
    request->end();
}

void RequestHandler::sendLogging() {
    for (auto const& entry : fcgi.requests) {
        Request* request = entry.second;
        int const* mark = std::any_cast<int>(&request->context);
        if (!mark || *mark != Constants::HELD_LOG)
            continue;
        try {
            appendLogOutput(request);
        } catch (std::exception const&) {
            LOG(Error, "Could not send logging to request %i", int(request->id));
        }
    }
}

void RequestHandler::sendScreen(Request* request) {
    // Encoded whole before anything is sent: a capture that fails half-way must not reach the browser as a
    // broken picture under a success status.
    std::ostringstream png;
    try {
        png << screenCapture;
    } catch (std::exception const& e) {
        sendFailure(request, "500 Internal Server Error", failureMessage(e));
        return;
    }
    std::string const& bytes = png.str();
    request->writeHeader(Constants::PNG_HEADER);
    request->output().write(bytes.data(), std::streamsize(bytes.size()));
    request->end();
}

void RequestHandler::writeModemData(Request* request) {
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(request->postData);
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
            request->end();
            return;
        }
        setVariable(block.ServiceModeConnectedModemType, notify::ServiceModeConnectedModemType, modem);
    } catch (std::exception const&) {
        LOG(Error, "Writing to the modem's 1Wire failed");
    }
    request->end();
}

std::string RequestHandler::ringCommand(std::string const& input) {
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

void RequestHandler::writeRingData(Request* request) {
    auto& block = *gMemServiceMode;
    namespace notify = gen::notify::MemServiceMode;
    char const* failure = nullptr;
    std::string reason;
    try {
        setVariable(block.ServiceModeWritingToRing1Wire, notify::ServiceModeWritingToRing1Wire, true);
        setVariable(block.ServiceMode1WireRingLabel, notify::ServiceMode1WireRingLabel, "-");
        nlohmann::json document;
        try {
            document = nlohmann::json::parse(request->postData);
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
        request->end();
}

void RequestHandler::printValue(unsigned mem, unsigned var, std::ostream& stream, int index) {
    try {
        switch (Introspection::getVarBaseType(mem, var)) {
        case Struct:
            stream << Introspection::getVarValue(mem, var, index);
            break;
        case Enum:
            stream << IntrospectionEnum::printEnum(Introspection::getVarValue(mem, var, 0),
                                                   Introspection::getVarType(mem, var));
            break;
        case Bool:
            stream << Introspection::printBool(Introspection::getVarValue(mem, var, 0) == "true");
            break;
        case Buffer:
            stream << Introspection::printValue(Introspection::getVarValue(mem, var, 0), "string",
                                                Introspection::getVarMin(mem, var),
                                                Introspection::getVarMax(mem, var));
            break;
        default:
            stream << Introspection::printValue(
                Introspection::getVarValue(mem, var, 0), Introspection::getVarType(mem, var),
                Introspection::getVarMin(mem, var), Introspection::getVarMax(mem, var));
            break;
        }
    } catch (std::exception const& e) {
        stream << "\"ERROR\": \"" << e.what() << "\"";
    }
}

void RequestHandler::printVariable(unsigned mem, unsigned var, std::ostream& stream) {
    int32_t base = Introspection::getVarBaseType(mem, var);
    if (Introspection::isArray(mem, var) && base != String && base != Buffer) {
        char const* lengthText = Introspection::getVarArrayLen(mem, var);
        long length = lengthText ? strtol(lengthText, nullptr, 10) : 0;
        stream << '[';
        for (long i = 0; i < length; ++i) {
            if (i > 0)
                stream << ',';
            printValue(mem, var, stream, int(i));
        }
        stream << ']';
    } else {
        printValue(mem, var, stream, 0);
    }
}

void RequestHandler::createJsonTree(std::ostream& stream) {
    unsigned memCount = Introspection::getMemCount();
    for (unsigned mem = 0; mem < memCount; ++mem) {
        stream << '"' << Introspection::getMemName(mem) << "\" : {";
        unsigned varCount = Introspection::getVarCount(mem);
        for (unsigned var = 0; var < varCount; ++var) {
            stream << '"' << Introspection::getVarName(mem, var) << "\" : ";
            printVariable(mem, var, stream);
            if (var + 1 < varCount)
                stream << ',';
        }
        stream << '}';
        if (mem + 1 < memCount)
            stream << ',';
    }
}

std::string RequestHandler::encodeString(std::string const& text) {
    return JsonWriter::text(text);
}

void RequestHandler::appendJsonKey(nlohmann::json const& document, std::string const& key, std::string& out) {
    if (!document.is_object() || !document.contains(key))
        THROW_ERROR("Key: '%s' is missing", key.c_str());
    out += document[key].get<std::string>();
    out += '\n';
}

bool RequestHandler::setVars(std::string const& body, std::stringstream& errors) {
    Json reader;
    // Of all the pairs read, only the first (the block), the last (the variable and its value) and every
    // "Index" count; the others are dropped as they are read, and the text of an object is given up once it
    // has been read in turn, so that a body costs about its own size whatever its shape.
    int index = 0;
    bool indexRead = true;
    size_t pairsRead = 0;
    reader.keep = [&](std::string const& key, Json::ObjectValue const& value) {
        if (key == "Index") {
            try {
                index = std::stoi(value.value);
            } catch (std::exception const&) {
                indexRead = false;
            }
        }
        if (reader.pairs.size() > 1)
            reader.pairs.pop_back();
        ++pairsRead;
        return true;
    };
    if (!reader.parse(body)) {
        errors << "JSON parse error at " << reader.errorPosition << ".\r\n";
        return false;
    }
    if (reader.pairs.empty())
        return false;
    std::string blockName = reader.pairs.front().first;
    std::string variableName;
    for (unsigned level = 1; reader.pairs.back().second.isObject; ++level) {
        if (level >= Constants::SET_MAX_LEVELS) {
            errors << "Body nested deeper than " << Constants::SET_MAX_LEVELS << " levels.";
            return false;
        }
        std::string text = std::move(reader.pairs.back().second.value);
        size_t before = pairsRead;
        if (!reader.parse(text)) {
            errors << "JSON parse error at " << reader.errorPosition << ".\r\n";
            return false;
        }
        // An empty nested object adds nothing and would be read again forever: the descent ends there,
        // without a variable name unless an outer level gave one.
        if (pairsRead == before) {
            reader.pairs.back().second.value = std::move(text);
            break;
        }
        if (variableName.empty())
            variableName = reader.pairs.back().first;
    }
    if (!indexRead)
        return false;
    try {
        uint32_t mem = Introspection::getMemIndex(blockName);
        uint32_t var;
        if (!Introspection::findVarIndex(mem, variableName, var))
            return false;
        Change change = Introspection::getVarBaseType(mem, var) == Struct
                            ? Introspection::setVarValueJson(mem, var, reader.pairs, index)
                            : Introspection::setVarValue(mem, var, reader.pairs.back().second.value.c_str());
        try {
            if (change.changed)
                postEvent(change.notify);
        } catch (std::exception const&) {
            // Logged where it failed. The value is stored, so the set is answered as done.
        }
        return true;
    } catch (std::exception const&) {
        // Failures of the dictionary have been logged where they were raised; the answer only says 0.
    }
    return false;
}

void RequestHandler::handleEvent(Notify const& event) {
    if (event.event >= EVENT_NAME_SIZE)
        return;
    if (gMemStatic && gMemStatic->VariableLogging) {
        uint32_t mem = 0;
        uint32_t var = 0;
        Introspection::getVarLocation(event, mem, var);
        std::stringstream line;
        line << Introspection::getMemName(mem) << "." << Introspection::getVarName(mem, var) << ": ";
        printVariable(mem, var, line);
        LOG(LogLight, "%s", line.str().c_str());
    }
    changedEvents.set(event.event);
}

void RequestHandler::periodic() {
    // Answered and hung-up requests stay in the registry until they are deleted, and the registry's limit of
    // 32 refuses new connections: deleting them only every period would refuse the front web server's
    // connections once it opens more than 32 in one period. Between two waits no callback and no walk of the
    // registry holds a request, so deleting them after every wake-up is safe.
    fcgi.cleanup();
    auto now = std::chrono::steady_clock::now();
    if (now - lastPeriodic <= Constants::PERIODIC_INTERVAL)
        return;
    lastPeriodic = now;
    fcgi.expire(now);
    sendUpdate();
    sendLogging();
    fcgi.cleanup();
}

void RequestHandler::sendUpdate() {
    if (changedEvents.none())
        return;
    std::string errorText = "\"errors\": [";
    std::stringstream variables;
    bool firstBlock = true;
    bool firstVariable = true;
    bool firstError = true;
    uint32_t previousBlock = UINT32_MAX;
    for (uint32_t id = 0; id < EVENT_NAME_SIZE; ++id) {
        if (!changedEvents.test(id))
            continue;
        changedEvents.reset(id);
        try {
            uint32_t mem = 0;
            uint32_t var = 0;
            Introspection::getVarLocation(Notify{id, 0, 0}, mem, var);
            if (mem == previousBlock) {
                if (!firstVariable)
                    variables << ", ";
            } else {
                if (!firstBlock)
                    variables << "\r\n  }, ";
                variables << "\r\n  \"" << Introspection::getMemName(mem) << "\" : {";
                firstBlock = false;
            }
            variables << "\r\n    \"" << Introspection::getVarName(mem, var) << "\" : ";
            printVariable(mem, var, variables);
            firstVariable = false;
            previousBlock = mem;
        } catch (std::runtime_error const& e) {
            if (!firstError)
                errorText += ",";
            errorText += "\"Backend error for variable with index " + std::to_string(id) + ": " +
                         JsonWriter::text(e.what()) + "\"\n";
            firstError = false;
        }
    }
    std::string update = errorText + "],\r\n\"variables\": {" + variables.str() + "\r\n  }\r\n}\r\n}\r\n";
    for (auto const& entry : fcgi.requests) {
        Request* request = entry.second;
        int const* mark = std::any_cast<int>(&request->context);
        if (!mark || *mark != Constants::HELD_UPDATE)
            continue;
        request->context.reset();
        try {
            request->output() << "{\r\n\"id\": " << unsigned(request->requestId()) << ",\r\n" << update;
            request->end();
        } catch (std::exception const&) {
            LOG(Error, "Could not send updates to request %i", int(request->id));
        }
    }
}
