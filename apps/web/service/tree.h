#pragma once

// The variable tree as JSON, printed straight from shared memory through the dictionary's codecs: the whole
// tree for all.cgi, and the variables that changed for update.cgi.

#include <bitset>
#include <ostream>
#include <string>

#include "introspection_gen.h"

class VariableTree {
public:
    // One value of a variable as JSON; a failure is written in its place as "ERROR": "<message>".
    static void printValue(unsigned mem, unsigned var, std::ostream& stream, int index);
    // A variable; arrays of records as a JSON array of their elements.
    static void printVariable(unsigned mem, unsigned var, std::ostream& stream);
    // Every variable of every block, in dictionary order.
    static void createJsonTree(std::ostream& stream);
    // The body of an update answer after its id: the errors and every variable whose event is set in changed,
    // block by block in event order; the bits are cleared.
    static std::string changes(std::bitset<EVENT_NAME_SIZE>& changed);
    // The body of an update answer with no changes.
    static char const* const NO_CHANGES;
};
