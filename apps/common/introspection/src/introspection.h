#pragma once

// Access to the dictionary of every variable in every block, by block index and variable index, and the texts
// in which values cross the web API.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "introspection_gen.h"
#include "json.h"

class Introspection {
public:
    static uint32_t getMemCount();
    static char const* getMemName(uint32_t mem);
    static uint32_t getMemIndex(std::string const& name); // exact name; "Unknown memory" otherwise
    static uint32_t getVarCount(uint32_t mem);
    // The variable of that exact name: getVarIndex raises "Unknown variable" for any other, findVarIndex
    // gives false without a word (a set request naming no variable is answered, not logged).
    static uint32_t getVarIndex(uint32_t mem, std::string const& name);
    static bool findVarIndex(uint32_t mem, std::string const& name, uint32_t& var);
    static char const* getVarName(uint32_t mem, uint32_t var);
    static char const* getVarType(uint32_t mem, uint32_t var);
    static int32_t getVarBaseType(uint32_t mem, uint32_t var);
    static char const* getVarArrayLen(uint32_t mem, uint32_t var); // null when the variable has no length
    static bool isArray(uint32_t mem, uint32_t var);
    static Notify getVarEvent(uint32_t mem, uint32_t var);
    static VariableInfo const& getVarInfo(uint32_t mem, uint32_t var);

    // The value as text, or "n/a" while the block is not mapped.
    static std::string getVarValue(uint32_t mem, uint32_t var, int index);
    // The value from text; the error "n/a" while the block is not mapped. The caller posts the Change's
    // notify when it says changed.
    static Change setVarValue(uint32_t mem, uint32_t var, char const* text);
    // One field of element index of a record variable; the Change's notify names the element (param2).
    static Change setVarValueJson(uint32_t mem, uint32_t var,
                                  std::vector<std::pair<std::string, Json::ObjectValue>> const& pairs,
                                  int index);

    // The block and variable of an event; ids no variable carries give (0, 0).
    static void getVarLocation(Notify const& notify, uint32_t& mem, uint32_t& var);
    static void genEventToVar();

    // Limits as texts, and the JSON objects of values.
    static std::string getVarMin(uint32_t mem, uint32_t var);
    static std::string getVarMax(uint32_t mem, uint32_t var);
    static bool checkMinMax(uint32_t mem, uint32_t var, char const* text, std::string& error);
    static std::string printValue(std::string const& value, std::string const& type, std::string const& min,
                                  std::string const& max);
    static std::string_view printBool(bool value); // a constant text: record getters print it without a copy

    // The same value objects appended to out, for the record getters that print hundreds of fields at a time.
    // valuePrefix is the object up to its value, {"max":...,"min":...,"type":...,"value":, serialised once
    // per distinct (type, min, max); the value text follows as a JSON string and then the closing brace.
    static std::string const& valuePrefix(std::string const& type, std::string const& min,
                                          std::string const& max);
    static void appendValueText(std::string& out, char const* text, std::size_t length);
    static void appendInt(std::string& out, std::string const& prefix, int32_t value);
    static void appendFloat(std::string& out, std::string const& prefix, float value);

private:
    static void check(uint32_t mem);
    static void check(uint32_t mem, uint32_t var);
};

// "%f" of a float widened to double, as every float value text is written.
std::string formatFloat(float value);
constexpr std::size_t FLOAT_TEXT_SIZE = 64;                          // room for "%f" of any float
std::size_t formatFloat(float value, char (&text)[FLOAT_TEXT_SIZE]); // the length; text is terminated
