#!/usr/bin/env python3
"""Writes the C++ code of the device definition.

    generate.py DEFINITION OUTPUT_DIR

reads DEFINITION (device.def) and writes into OUTPUT_DIR the dictionary (introspection_gen.h/.cpp), the start-up
layer (gen_init.h/.cpp) and, in OUTPUT_DIR/events, the event names and identifiers (event_names_gen.h/.cpp), which
the event layer and the broker use without the dictionary.

The definition is line-oriented: a leading keyword per line, '#' starts a comment. Each keyword has a parser that
collects its lines into the model, and each part of the model an emitter that adds text to the header and the source;
a new kind of line is a new entry in PARSERS and, if it produces code, in EMITTERS.

Generated names:
  EVENT_NAME[EVENT_NAME_SIZE]   the event names, indexed by identifier
  gen::Event::<name>            the identifier of each event, e.g. gen::Event::VarFocusTargetValueChanged == 7
  gen::<Enum>                   each enumeration as an enum class over uint32_t (gen::LogLevel is the log
                                library's own, checked entry by entry against the definition)
  <ENUM>_NAME_ARRAY, <ENUM>_NAME_ARRAY_SIZE, ENUM_ARRAY, ENUM_ARRAY_SIZE   the entry names
  gen::<Record>                 each record type as a struct, fields in order, every offset and size checked
  gen::<Block>Data              each block's data as a struct; regions no variable describes are padding
  g<Block>                      the typed data pointer of each block, null until the block is mapped
                                (e.g. gMemServiceMode->ServiceMode1WireModemLabel)
The generator refuses (exit status 1, with file and line) a definition that breaks what the device relies on.
"""
import os
import re
import sys

EVENT_COUNT = 932
# Identifiers that the other processes of the device are known to use for these names: a shifted list is caught.
# The first four are the broker's own requests.
EVENT_ANCHORS = {0: "Invalid", 1: "Subscribe", 2: "Unsubscribe", 3: "SubscribeAll", 4: "UnsubscribeAll",
                 7: "VarFocusTargetValueChanged", 915: "VarAppServiceLogLevelChanged", 931: "VarAppDofCalculationLogLevelChanged"}
GENERATED = "// Generated from device.def by generate.py: do not edit."
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*$")


class DefinitionError(Exception):
    pass


BLOCK_COUNT, VARIABLE_COUNT, ENUM_COUNT, RECORD_COUNT = 18, 795, 70, 30
# Offsets known outside the definition: a variable list that shifts them cannot build.
KNOWN_OFFSETS = {("MemLens", "LensFileList"): 4180, ("MemLens", "LensFileSave"): 61200,
                 ("MemHwControl", "VibrationTicLength"): 7224, ("MemMedia", "ExportSettings"): 5284}
# Enumerations that other code already declares; the generator checks them instead of declaring them again.
DECLARED_ENUMS = {"LogLevel": "loglevel.h"}


class Type:
    """A stored value: its base type, C++ type, size, alignment and the texts the dictionary keeps."""

    def __init__(self, base, cpp, size, align, minimum=None, maximum=None, length=None, count=None, name=None):
        self.base, self.cpp, self.size, self.align = base, cpp, size, align
        self.minimum, self.maximum, self.length, self.count, self.name = minimum, maximum, length, count, name


class Model:
    def __init__(self):
        self.events = []  # (identifier, name, line number)
        self.enums = []  # (name, [entries], line)
        self.records = []  # (name, size, [(field, offset, words, line)], line)
        self.blocks = []  # (index, name, size, [(variable, words, line)], line)


def parse_event(model, words, line):
    if len(words) != 3 or not words[1].isdigit() or not IDENTIFIER.match(words[2]):
        raise DefinitionError(f"line {line}: expected 'event <id> <name>'")
    model.events.append((int(words[1]), words[2], line))


def parse_enum(model, words, line):
    if len(words) < 3 or not all(IDENTIFIER.match(w) for w in words[1:]):
        raise DefinitionError(f"line {line}: expected 'enum <name> <entry> ...'")
    model.enums.append((words[1], words[2:], line))


def parse_record(model, words, line):
    if len(words) != 3 or not IDENTIFIER.match(words[1]) or not words[2].isdigit():
        raise DefinitionError(f"line {line}: expected 'record <name> <size>'")
    model.records.append((words[1], int(words[2]), [], line))


def parse_field(model, words, line):
    if not model.records or len(words) < 4 or not IDENTIFIER.match(words[1]) or not words[2].isdigit():
        raise DefinitionError(f"line {line}: expected 'field <name> <offset> <type>' after a record")
    model.records[-1][2].append((words[1], int(words[2]), words[3:], line))


def parse_block(model, words, line):
    if len(words) != 4 or not words[1].isdigit() or not IDENTIFIER.match(words[2]) or not words[3].isdigit():
        raise DefinitionError(f"line {line}: expected 'block <index> <name> <size>'")
    model.blocks.append((int(words[1]), words[2], int(words[3]), [], line))


def parse_var(model, words, line):
    if not model.blocks or len(words) < 3 or not IDENTIFIER.match(words[1]):
        raise DefinitionError(f"line {line}: expected 'var <name> <type>' after a block")
    model.blocks[-1][3].append((words[1], words[2:], line))


PARSERS = {"event": parse_event, "enum": parse_enum, "record": parse_record, "field": parse_field,
           "block": parse_block, "var": parse_var}


def align(offset, alignment):
    return (offset + alignment - 1) // alignment * alignment


def number(text, line):
    try:
        float(text)
    except ValueError:
        raise DefinitionError(f"line {line}: '{text}' is not a number")
    return text


def resolve(model, words, line, in_record):
    """The Type of a variable's or field's type words."""
    enums = {name for name, _, _ in model.enums}
    records = {name: size for name, size, _, _ in model.records}
    kind, rest = words[0], words[1:]
    if kind in ("int", "float"):
        if rest and len(rest) != 2:
            raise DefinitionError(f"line {line}: {kind} takes no limits or both")
        low, high = ((number(rest[0], line), number(rest[1], line)) if rest else
                     (("-2147483648", "2147483647") if kind == "int" else ("-1e+38", "1e+38")))
        return Type(0 if kind == "int" else 1, "int32_t" if kind == "int" else "float", 4, 4, low, high)
    if kind == "bool" and not rest:
        return Type(2, "bool", 1, 1)
    if kind in ("string", "buffer") and len(rest) == 1 and rest[0].isdigit() and int(rest[0]) > 0:
        n = int(rest[0])
        if kind == "string":
            return Type(3, f"std::array<char, {n}>", n, 1, length=str(n))
        return Type(4, f"std::array<uint8_t, {n}>", n, 1, "0", str(n), length=str(n))
    if in_record and kind in ("enum", "record"):
        kind, rest = rest[0] if rest else "", rest[1:]
        if words[0] == "record" and rest:
            rest = ["x" + rest[0]]
    if kind in enums and not rest:
        return Type(5, f"gen::{kind}", 4, 4, name=kind)
    if kind in records:
        record = next(r for r in model.records if r[0] == kind)
        alignment = record_alignment(model, record)
        if not rest:
            return Type(6, f"gen::{kind}", records[kind], alignment, name=kind)
        if len(rest) == 1 and re.match(r"x[1-9][0-9]*$", rest[0]):
            count = int(rest[0][1:])
            return Type(6, f"std::array<gen::{kind}, {count}>", records[kind] * count, alignment,
                        length=str(count), count=count, name=kind)
    raise DefinitionError(f"line {line}: unknown type '{' '.join(words)}'")


def record_alignment(model, record):
    # 4 when any field, also inside a nested record, is a 4-byte one.
    for _, _, words, _ in record[2]:
        if words[0] in ("int", "float", "enum"):
            return 4
        if words[0] == "record":
            inner = next((r for r in model.records if r[0] == words[1]), None)
            if inner and record_alignment(model, inner) == 4:
                return 4
    return 1


def parse(path):
    model = Model()
    with open(path, encoding="utf-8") as definition:
        for number, text in enumerate(definition, 1):
            words = text.split("#", 1)[0].split()
            if not words:
                continue
            parser = PARSERS.get(words[0])
            if parser is None:
                raise DefinitionError(f"line {number}: unknown keyword '{words[0]}'")
            parser(model, words, number)
    return model


def check_events(model):
    ids = [event[0] for event in model.events]
    if ids != list(range(len(ids))):
        wrong = next(e for i, e in enumerate(model.events) if e[0] != i)
        raise DefinitionError(f"line {wrong[2]}: event {wrong[0]} out of order; events are listed 0, 1, 2, ...")
    if len(ids) != EVENT_COUNT:
        raise DefinitionError(f"{len(ids)} events defined, the device has {EVENT_COUNT}")
    seen = {}
    for identifier, name, line in model.events:
        if name in seen:
            raise DefinitionError(f"line {line}: event name {name} is already event {seen[name]}")
        seen[name] = identifier
    for identifier, name in EVENT_ANCHORS.items():
        if model.events[identifier][1] != name:
            raise DefinitionError(f"line {model.events[identifier][2]}: event {identifier} must be {name}, "
                                  f"not {model.events[identifier][1]}")


def emit_events(model):
    """The event names and identifiers as a header and source of their own: the event layer and the broker need
    them, and neither may depend on the dictionary."""
    header = [GENERATED, "#pragma once", "", "#include <cstdint>", "",
              f"constexpr unsigned EVENT_NAME_SIZE = {len(model.events)};",
              "extern char const* const EVENT_NAME[EVENT_NAME_SIZE];", "", "namespace gen::Event {"]
    header.extend(f"constexpr uint32_t {name} = {identifier};" for identifier, name, _ in model.events)
    header.append("} // namespace gen::Event")
    source = [GENERATED, '#include "event_names_gen.h"', "", "char const* const EVENT_NAME[EVENT_NAME_SIZE] = {"]
    source.extend(f'    "{name}",' for _, name, _ in model.events)
    source.append("};")
    return header, source


def check_counts(model):
    variables = sum(len(block[3]) for block in model.blocks)
    for what, have, want in (("blocks", len(model.blocks), BLOCK_COUNT), ("variables", variables, VARIABLE_COUNT),
                             ("enumerations", len(model.enums), ENUM_COUNT),
                             ("record types", len(model.records), RECORD_COUNT)):
        if have != want:
            raise DefinitionError(f"{have} {what} defined, the device has {want}")
    if [block[0] for block in model.blocks] != list(range(len(model.blocks))):
        raise DefinitionError("blocks must be listed in index order 0, 1, 2, ...")
    events = {name for _, name, _ in model.events}
    for _, block, _, variables, _ in model.blocks:
        names = set()
        for name, _, line in variables:
            if name in names:
                raise DefinitionError(f"line {line}: {name} is already a variable of {block}")
            names.add(name)
            if f"Var{name}Changed" not in events:
                raise DefinitionError(f"line {line}: variable {name} has no event Var{name}Changed")


def layout(model, members, line_of_owner, what):
    """Members (name, Type, wanted offset or None) laid out as a C structure; returns [(name, Type, offset, pad)]."""
    offset, placed = 0, []
    for name, kind, wanted, line in members:
        natural = align(offset, kind.align)
        pad = 0
        if wanted is not None:
            if wanted < natural or wanted % kind.align:
                raise DefinitionError(f"line {line}: {what} {name} cannot lie at {wanted} (next free {natural})")
            pad = wanted - offset if wanted > natural else 0
            natural = wanted
        placed.append((name, kind, natural, pad))
        offset = natural + kind.size
    return placed, offset


def emit_enums(model, header, source):
    for name, entries, _ in model.enums:
        if name in DECLARED_ENUMS:
            header.append(f'#include "{DECLARED_ENUMS[name]}"')
            header.extend(f"static_assert(int(gen::{name}::{e}) == {i});" for i, e in enumerate(entries))
            continue
        header.append(f"namespace gen {{ enum class {name} : uint32_t {{ {', '.join(entries)} }}; }}")
    header.append("")
    header.append("struct EnumInfo {")
    header.append("    char const* name;")
    header.append("    char const* const* entries;")
    header.append("    uint32_t count;")
    header.append("};")
    for name, entries, _ in model.enums:
        upper = name.upper()
        header.append(f"constexpr uint32_t {upper}_NAME_ARRAY_SIZE = {len(entries)};")
        header.append(f"extern char const* const {upper}_NAME_ARRAY[{upper}_NAME_ARRAY_SIZE];")
        source.append(f"char const* const {upper}_NAME_ARRAY[{upper}_NAME_ARRAY_SIZE] = {{" +
                      ", ".join(f'"{e}"' for e in entries) + "};")
    header.append(f"constexpr uint32_t ENUM_ARRAY_SIZE = {len(model.enums)};")
    header.append("extern EnumInfo const ENUM_ARRAY[ENUM_ARRAY_SIZE];")
    source.append("EnumInfo const ENUM_ARRAY[ENUM_ARRAY_SIZE] = {")
    source.extend(f'    {{"{n}", {n.upper()}_NAME_ARRAY, {n.upper()}_NAME_ARRAY_SIZE}},' for n, _, _ in model.enums)
    source.append("};")


def emit_struct(header, cpp_name, placed, end, size, alignment):
    header.append(f"struct {'alignas(4) ' if alignment == 4 else ''}{cpp_name} {{")
    for name, kind, offset, pad in placed:
        if pad:
            header.append(f"    std::array<uint8_t, {pad}> padding{offset - pad}; // no variable describes these bytes")
        header.append(f"    {kind.cpp} {name};")
    if size is not None and end < size and align(end, alignment) < size:
        header.append(f"    std::array<uint8_t, {size - end}> padding{end};")
    header.append("};")
    if size is not None:
        header.append(f"static_assert(sizeof({cpp_name}) == {size});")


def emit_records(model, header, source):
    # A record used inside another comes first.
    ordered, seen = [], set()

    def visit(record):
        if record[0] in seen:
            return
        seen.add(record[0])
        for _, _, words, _ in record[2]:
            if words[0] == "record":
                inner = next((r for r in model.records if r[0] == words[1]), None)
                if inner:
                    visit(inner)
        ordered.append(record)

    for record in model.records:
        visit(record)
    header.append("namespace gen {")
    for record in ordered:
        name, size, fields, line = record
        members = [(f, resolve(model, words, fl, True), offset, fl) for f, offset, words, fl in fields]
        placed, end = layout(model, members, line, f"field of {name}")
        emit_struct(header, name, placed, end, size, record_alignment(model, record))
        header.extend(f"static_assert(offsetof({name}, {f}) == {o});" for f, _, o, _ in placed)
    header.append("} // namespace gen")


def emit_blocks(model, header, source):
    header.append("namespace gen {")
    for _, block, size, variables, line in model.blocks:
        members = []
        for name, words, vl in variables:
            at = None
            if len(words) >= 2 and words[-2] == "at":
                at, words = int(words[-1]), words[:-2]
            members.append((name, resolve(model, words, vl, False), at, vl))
        placed, end = layout(model, members, line, f"variable of {block}")
        for name, _, offset, _ in placed:
            wanted = KNOWN_OFFSETS.get((block, name))
            if wanted is not None and wanted != offset:
                raise DefinitionError(f"line {line}: {block}.{name} lies at {offset}, the device has it at {wanted}")
        if align(end, 4) != size:
            raise DefinitionError(f"line {line}: the variables of {block} end at {end}, its data size is {size}")
        emit_struct(header, f"{block}Data", placed, end, size, 4)
        for (owner, var), offset in KNOWN_OFFSETS.items():
            if owner == block:
                header.append(f"static_assert(offsetof({block}Data, {var}) == {offset});")
    header.append("} // namespace gen")
    header.append("")
    for _, block, _, _, _ in model.blocks:
        header.append(f"extern gen::{block}Data* g{block};")
        source.append(f"gen::{block}Data* g{block} = nullptr;")


def cpp_text(text):
    return "nullptr" if text is None else f'"{text}"'


def emit_codecs(model, header, source):
    """Getters and setters of every enumeration, record type and buffer variable, and the field lists."""
    for index, (name, _, _) in enumerate(model.enums):
        header.append(f"std::string get{name}Introspection(void const* address, int index);")
        header.append(f"std::string set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text);")
        source.append(f"std::string get{name}Introspection(void const* address, int) {{")
        source.append(f"    return IntrospectionEnum::getEnumText({index}, address);")
        source.append("}")
        source.append(f"std::string set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text) {")
        source.append(f"    return IntrospectionEnum::setEnumText({index}, blockBase, block, variable, notify, text);")
        source.append("}")
    enum_index = {name: i for i, (name, _, _) in enumerate(model.enums)}
    for record in model.records:
        name, size, fields, _ = record
        header.append(f"extern std::vector<StructInfo> const {name.upper()}_FIELDS;")
        header.append(f"std::string get{name}Introspection(void const* address, int index);")
        header.append(f"void append{name}(std::string& out, gen::{name} const& r); // the getter's text, appended")
        header.append(f"std::string set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text);")
        rows = []
        for field, offset, words, line in fields:
            kind = resolve(model, words, line, True)
            rows.append(f'    {{"{field}", {offset}, {kind.base}, "{kind.name or words[0]}", nullptr}},')
        source.append(f"std::vector<StructInfo> const {name.upper()}_FIELDS = {{")
        source.extend(rows)
        source.append("};")
        # Straight-line printing into one string: every key and limit text is a constant, each value object's
        # members before the value are serialised once, and lists of records inside append in place.
        source.append(f"void append{name}(std::string& out, gen::{name} const& r) {{")
        for i, (field, offset, words, line) in enumerate(fields):
            kind = resolve(model, words, line, True)
            if kind.base in (0, 1):
                type_name = "int" if kind.base == 0 else "float"
                source.append(f'    static std::string const prefix{field} = Introspection::valuePrefix('
                              f'"{type_name}", "{kind.minimum}", "{kind.maximum}");')
        source.append('    out += "{";')
        for i, (field, offset, words, line) in enumerate(fields):
            kind = resolve(model, words, line, True)
            comma = "," if i else ""
            key = f'\\"{field}\\":'
            if kind.base == 2:
                source.append(f'    out += "{comma}{key} ";')
                source.append(f"    Introspection::appendBool(out, r.{field});")
            elif kind.base == 0:
                source.append(f'    out += "{comma}{key} ";')
                source.append(f"    Introspection::appendInt(out, prefix{field}, r.{field});")
            elif kind.base == 1:
                source.append(f'    out += "{comma}{key} ";')
                source.append(f"    Introspection::appendFloat(out, prefix{field}, r.{field});")
            elif kind.base == 5:
                source.append(f'    out += "{comma}{key}  ";')
                source.append(f"    IntrospectionEnum::appendEnum(out, {enum_index[kind.name]}, &r.{field});")
            elif kind.base == 3:
                source.append(f'    out += "{comma}{key} {{\\"value\\":\\"";')
                source.append(f"    Introspection::appendEscaped(out, r.{field}.data(), "
                              f"strnlen(r.{field}.data(), r.{field}.size()));")
                source.append(f'    out += "\\", \\"type\\": \\"string\\" }}";')
            elif kind.base == 6:
                source.append(f'    out += "{comma}{key}[";')
                source.append(f"    for (size_t i = 0; i < r.{field}.size(); ++i) {{")
                source.append("        if (i)")
                source.append("            out += ',';")
                source.append(f"        append{kind.name}(out, r.{field}[i]);")
                source.append("    }")
                source.append('    out += "]";')
        source.append('    out += "}";')
        source.append("}")
        source.append(f"std::string get{name}Introspection(void const* address, int index) {{")
        source.append("    std::string out;")
        source.append(f"    append{name}(out, static_cast<gen::{name} const*>(address)[index]);")
        source.append("    return out;")
        source.append("}")
        source.append(f"std::string set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text) {")
        source.append(f"    return setRecordImage(blockBase, block, variable, notify, text, sizeof(gen::{name}));")
        source.append("}")
    for _, block, _, variables, _ in model.blocks:
        for name, words, line in variables:
            if words[0] == "buffer":
                n = int(words[1])
                header.append(f"std::string get{name}Introspection(void const* address, int index);")
                header.append(f"std::string set{name}Introspection(char* blockBase, uint32_t block, "
                              "uint32_t variable, Notify notify, char const* text);")
                source.append(f"std::string get{name}Introspection(void const* address, int) {{")
                source.append(f"    return getBufferIntrospection(address, {n});")
                source.append("}")
                source.append(f"std::string set{name}Introspection(char* blockBase, uint32_t block, "
                              "uint32_t variable, Notify notify, char const* text) {")
                source.append(f"    return setBufferIntrospection(blockBase, {n}, block, variable, notify, text);")
                source.append("}")


def emit_dictionary(model, header, source):
    event_ids = {name: identifier for identifier, name, _ in model.events}
    header.append("constexpr uint32_t MEMORY_ARRAY_SIZE = %d;" % len(model.blocks))
    header.append("extern MemoryInfo const MEMORY_ARRAY[MEMORY_ARRAY_SIZE];")
    header.append("")
    header.append("// The change event of every variable by name: gen::notify::<block>::<variable>.")
    for index, block, _, variables, _ in model.blocks:
        source.append(f"static char* memory{block}() {{ return reinterpret_cast<char*>(g{block}); }}")
        header.append(f"namespace gen::notify::{block} {{")
        rows = []
        for name, words, line in variables:
            if len(words) >= 2 and words[-2] == "at":
                words = words[:-2]
            kind = resolve(model, words, line, False)
            event = event_ids[f"Var{name}Changed"]
            array_of_records = 1 if kind.base == 6 and kind.count else 0
            header.append(f"constexpr Notify {name}{{{event}, {array_of_records}, 0}};")
            base_name = {0: "Int", 1: "Float", 2: "Bool", 3: "String"}.get(kind.base)
            if kind.base in (4,):
                get, put = f"get{name}Introspection", f"set{name}Introspection"
            elif kind.base in (5, 6):
                get, put = f"get{kind.name}Introspection", f"set{kind.name}Introspection"
            else:
                get, put = f"get{base_name}Introspection", f"set{base_name}Introspection"
            type_text = {0: "int", 1: "float", 2: "bool", 3: "string", 4: "buffer"}.get(kind.base, kind.name)
            fields = f"&{kind.name.upper()}_FIELDS" if kind.base == 6 else "nullptr"
            record_size = f"sizeof(gen::{kind.name})" if kind.base == 6 else "0"
            is_array = "true" if kind.base == 3 or array_of_records else "false"
            rows.append(f'    {{{{{event}, {array_of_records}, 0}}, "{name}", memory{block}, '
                        f'offsetof(gen::{block}Data, {name}), "{type_text}", {kind.base}, {get}, {put}, '
                        f'{cpp_text(kind.minimum)}, {cpp_text(kind.maximum)}, {cpp_text(kind.length)}, '
                        f'{is_array}, {fields}, {record_size}}},')
        header.append(f"}} // namespace gen::notify::{block}")
        source.append(f"static VariableInfo {block}_VARIABLES[] = {{")
        source.extend(rows)
        source.append("};")
    source.append("MemoryInfo const MEMORY_ARRAY[MEMORY_ARRAY_SIZE] = {")
    source.extend(f'    {{"{block}", {block}_VARIABLES, {len(variables)}}},'
                  for _, block, _, variables, _ in model.blocks)
    source.append("};")


CHECKS = [check_events, check_counts]
EMITTERS = [emit_enums, emit_records, emit_blocks, emit_codecs, emit_dictionary]


def emit_init(model):
    """The start-up layer: the block objects and the event poll, constructed in that order before main."""
    header = [GENERATED, "#pragma once", "",
              '#include "eventpoll.h"', '#include "serverconnection.h"', '#include "sharedmemory.h"', "",
              "// Start-up hooks of the program that links this layer: run first and last by gen::init.",
              "void processPreInit();", "void processPostInit();", "", "namespace gen {",
              "// Maps every block in index order; blocks are opened, or created by a process that fills them.",
              "void mapBlocks(bool create);",
              "// Maps the blocks, connects to the broker and subscribes to everything, binds the log level.",
              "void init();", "EventPoll& getEventPoll();", "ServerConnection* getServerConnection();",
              "void subscribeNotifications();", "void closeServerConnection();",
              "SharedMemory& getSharedMemory(unsigned index);", "} // namespace gen"]
    source = [GENERATED, '#include "gen_init.h"', "",
              '#include "introspection_gen.h"', '#include "log.h"', "", "namespace {",
              "// Defined before the event poll in this one unit, so that they are constructed first.",
              "SharedMemory memories[] = {"]
    for _, block, _, _, _ in model.blocks:
        source.append(f'    {{"{block}", sizeof(gen::{block}Data)}},')
    source += ["};", "EventPoll eventPoll;", "} // namespace", "",
               "void gen::mapBlocks(bool create) {",
               "    for (SharedMemory& memory : memories) {", "        if (create)", "            memory.create();",
               "        else", "            memory.open();", "        memory.address();", "    }"]
    for index, (_, block, _, _, _) in enumerate(model.blocks):
        source.append(f"    g{block} = static_cast<gen::{block}Data*>(memories[{index}].address());")
    source += ["}", "",
               "void gen::init() {", "    processPreInit();", "    mapBlocks(false);",
               "    gServerConnection = new ServerConnection(eventPoll);", "    gServerConnection->subscribeAll();",
               "    gComponentLogLevel = &gMemApp->AppServiceLogLevel;", "    processPostInit();", "}", "",
               "EventPoll& gen::getEventPoll() { return eventPoll; }", "",
               "ServerConnection* gen::getServerConnection() { return gServerConnection; }", "",
               "void gen::subscribeNotifications() { gServerConnection->subscribeAll(); }", "",
               "void gen::closeServerConnection() {", "    delete gServerConnection;",
               "    gServerConnection = nullptr;", "}", "",
               "SharedMemory& gen::getSharedMemory(unsigned index) { return memories[index]; }"]
    return header, source


def emit_plain_records(model):
    """A plain reading of the record getters, for the benchmarks only: every field through plain::value (a
    fresh JSON object each), plain::escape and plain::enumeration, which the benchmark defines. Same texts."""
    enum_index = {name: i for i, (name, _, _) in enumerate(model.enums)}
    source = ["// Generated from device.def by generate.py: do not edit. Benchmarks only.",
              '#include "introspection_gen.h"', "", "#include <cstring>", "#include <string>", "",
              '#include "introspection.h"', "", "namespace plain {",
              "std::string value(std::string const& value, std::string const& type, std::string const& min, "
              "std::string const& max);", "std::string escape(std::string const& text);",
              "std::string enumeration(uint32_t e, void const* address);", ""]
    for name, _, _, _ in model.records:
        source.append(f"std::string get{name}(void const* address, int index);")
    for name, _, fields, _ in model.records:
        source.append(f"std::string get{name}(void const* address, int index) {{")
        source.append(f"    auto const& r = static_cast<gen::{name} const*>(address)[index];")
        source.append('    std::string out = "{";')
        for i, (field, offset, words, line) in enumerate(fields):
            kind = resolve(model, words, line, True)
            comma = "," if i else ""
            key = f'\\"{field}\\":'
            if kind.base == 2:
                source.append(f'    out += "{comma}{key} " + Introspection::printBool(r.{field});')
            elif kind.base == 0:
                source.append(f'    out += "{comma}{key} " + value(std::to_string(r.{field}), '
                              f'"int", "{kind.minimum}", "{kind.maximum}");')
            elif kind.base == 1:
                source.append(f'    out += "{comma}{key} " + value(formatFloat(r.{field}), '
                              f'"float", "{kind.minimum}", "{kind.maximum}");')
            elif kind.base == 5:
                source.append(f'    out += "{comma}{key}  " + enumeration({enum_index[kind.name]}, &r.{field});')
            elif kind.base == 3:
                source.append(f'    out += "{comma}{key} {{\\"value\\":\\"" + escape(std::string(r.{field}.data(), '
                              f'strnlen(r.{field}.data(), r.{field}.size()))) + "\\", \\"type\\": \\"string\\" }}";')
            elif kind.base == 6:
                source.append(f'    out += "{comma}{key}[";')
                source.append(f"    for (size_t i = 0; i < r.{field}.size(); ++i)")
                source.append(f'        out += (i ? "," : "") + get{kind.name}(r.{field}.data(), int(i));')
                source.append('    out += "]";')
        source.append('    return out + "}";')
        source.append("}")
    source.append("struct RecordGetter {")
    source.append("    char const* name;")
    source.append("    std::string (*get)(void const* address, int index);")
    source.append("};")
    source.append("extern RecordGetter const RECORD_GETTERS[];")
    source.append("RecordGetter const RECORD_GETTERS[] = {")
    for name, _, _, _ in model.records:
        source.append(f'    {{"{name}", get{name}}},')
    source.append("    {nullptr, nullptr},")
    source.append("};")
    source.append("} // namespace plain")
    return source


def generate(definition, output):
    model = parse(definition)
    for check in CHECKS:
        check(model)
    header = [GENERATED, "#pragma once", "", "#include <array>",
              "#include <cstddef>", "#include <cstdint>", "#include <string>", "", '#include "event_names_gen.h"',
              '#include "introspection_types.h"', ""]
    source = [GENERATED, '#include "introspection_gen.h"', "",
              "#include <cstring>", "", '#include "introspection.h"', '#include "introspection_enum.h"',
              '#include "serverconnection.h"', '#include "setters.h"', ""]
    for emit in EMITTERS:
        emit(model, header, source)
        header.append("")
        source.append("")
    os.makedirs(os.path.join(output, "events"), exist_ok=True)
    event_header, event_source = emit_events(model)
    init_header, init_source = emit_init(model)
    for name, lines in (("introspection_gen.h", header), ("introspection_gen.cpp", source),
                        ("events/event_names_gen.h", event_header), ("events/event_names_gen.cpp", event_source),
                        ("gen_init.h", init_header), ("gen_init.cpp", init_source),
                        ("plain_records_gen.cpp", emit_plain_records(model))):
        path = os.path.join(output, name)
        text = "\n".join(lines) + "\n"
        # Unchanged output keeps its time stamp, so that a comment edit does not rebuild everything.
        if os.path.exists(path) and open(path, encoding="utf-8").read() == text:
            continue
        with open(path + ".tmp", "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(path + ".tmp", path)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: generate.py DEFINITION OUTPUT_DIR")
    try:
        generate(sys.argv[1], sys.argv[2])
    except DefinitionError as error:
        sys.exit(f"{sys.argv[1]}: {error}")


if __name__ == "__main__":
    main()
