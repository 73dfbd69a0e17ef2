#include "tree.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "introspection.h"
#include "introspection_enum.h"
#include "jsonwriter.h"

namespace {
void printName(std::ostream& stream, char const* name) {
    std::string quoted;
    JsonWriter::appendString(quoted, name);
    stream << quoted;
}
} // namespace

char const* const VariableTree::NO_CHANGES = "\"errors\": [],\r\n\"variables\": {\r\n}\r\n}\r\n";

void VariableTree::printValue(unsigned mem, unsigned var, std::ostream& stream, int index) {
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
        stream << "\"ERROR\": \"" << JsonWriter::text(e.what()) << "\"";
    }
}

void VariableTree::printVariable(unsigned mem, unsigned var, std::ostream& stream) {
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

void VariableTree::createJsonTree(std::ostream& stream) {
    unsigned memCount = Introspection::getMemCount();
    for (unsigned mem = 0; mem < memCount; ++mem) {
        printName(stream, Introspection::getMemName(mem));
        stream << " : {";
        unsigned varCount = Introspection::getVarCount(mem);
        for (unsigned var = 0; var < varCount; ++var) {
            printName(stream, Introspection::getVarName(mem, var));
            stream << " : ";
            printVariable(mem, var, stream);
            if (var + 1 < varCount)
                stream << ',';
        }
        stream << '}';
        if (mem + 1 < memCount)
            stream << ',';
    }
}

std::string VariableTree::changes(std::bitset<EVENT_NAME_SIZE>& changed) {
    std::string errors = "\"errors\": [";
    std::stringstream variables;
    bool firstBlock = true;
    bool firstVariable = true;
    bool firstError = true;
    uint32_t previousBlock = UINT32_MAX;
    for (uint32_t id = 0; id < EVENT_NAME_SIZE; ++id) {
        if (!changed.test(id))
            continue;
        changed.reset(id);
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
                variables << "\r\n  ";
                printName(variables, Introspection::getMemName(mem));
                variables << " : {";
                firstBlock = false;
            }
            variables << "\r\n    ";
            printName(variables, Introspection::getVarName(mem, var));
            variables << " : ";
            printVariable(mem, var, variables);
            firstVariable = false;
            previousBlock = mem;
        } catch (std::runtime_error const& e) {
            if (!firstError)
                errors += ",";
            errors += "\"Backend error for variable with index " + std::to_string(id) + ": ";
            JsonWriter::appendText(errors, e.what());
            errors += "\"\n";
            firstError = false;
        }
    }
    return errors + "],\r\n\"variables\": {" + variables.str() + "\r\n  }\r\n}\r\n}\r\n";
}
