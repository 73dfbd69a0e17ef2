#include "setrequest.h"

#include <exception>

#include "introspection.h"
#include "json.h"
#include "jsonwriter.h"
#include "setvariable.h"

bool SetRequest::apply(std::string const& body, std::stringstream& errors) {
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

void SetRequest::answer(Request& request) {
    std::stringstream errors;
    bool ok = apply(request.postData(), errors);
    request.output() << (ok ? JsonWriter::result(true) : JsonWriter::error(errors.str()));
    request.end();
}
