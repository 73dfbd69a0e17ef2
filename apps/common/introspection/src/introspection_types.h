#pragma once

// The shapes of the generated dictionary: one VariableInfo per variable, one MemoryInfo per block, one
// StructInfo per record field, all constant; and the Change a setter reports.

#include <cstdint>
#include <string>
#include <vector>

#include "notify.h"

enum BaseType : int32_t { Int = 0, Float = 1, Bool = 2, String = 3, Buffer = 4, Enum = 5, Struct = 6 };

// What a setter did. The dictionary posts nothing: whoever sets a variable posts notify when changed says so,
// so that the dictionary needs no broker and a caller decides what a failed post means to it.
struct Change {
    std::string error; // empty on success; nothing was stored (a buffer may hold the bytes before the fault)
    bool changed;      // notify is due: the stored bytes changed, or a string or buffer was written at all
    Notify notify;     // the variable's event; param2 the element of a record set from a request
};

// Text of the value at address (element index for arrays of records).
using Getter = std::string (*)(void const* address, int index);
// Parses text into the variable (block, variable) of the block at blockBase; notify selects the element of an
// array (param1 1: element param2) and comes back in the Change.
using Setter = Change (*)(char* blockBase, uint32_t block, uint32_t variable, Notify notify,
                          char const* text);

struct StructInfo {
    char const* name;          // the field name, its JSON key
    uint32_t offset;           // within one record
    int32_t baseType;          // BaseType of the field
    std::string type;          // "int", "float", "bool", "string", or the enumeration or record name
    StructInfo const* members; // unused: null for every field
};

struct VariableInfo {
    Notify notify; // its change event; param1 1 for an array of records, param2 0
    char const* name;
    char* (
        *memory)();   // the block's data, read from its process-wide pointer on every call (null: not mapped)
    uint32_t offset;  // within the block data
    char const* type; // "int", "float", "bool", "string", "buffer", or the enumeration or record name
    int32_t baseType; // BaseType
    Getter get;
    Setter set;
    char const* min; // limit texts: int, float and buffer variables only
    char const* max;
    char const* length; // string capacity, buffer byte count or element count of an array of records
    bool isArray;       // strings and arrays of records
    std::vector<StructInfo> const* fields; // record variables only
    uint32_t size;                         // size of one record, record variables only
};

struct MemoryInfo {
    char const* name; // of the block, and after a slash of its shared-memory object
    VariableInfo const* variables;
    uint32_t count;
    uint32_t size; // of the block's data, the size word before it not counted
    void* pointer; // the address of the block's process-wide data pointer g<Block>, which start-up sets
};
