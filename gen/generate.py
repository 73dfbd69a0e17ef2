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
from dataclasses import dataclass, field as member
from typing import List, Optional

EVENT_COUNT = 932
# Identifiers that the other processes of the device are known to use for these names: a shifted list is caught.
# The first four are the broker's own requests.
EVENT_ANCHORS = {0: "Invalid", 1: "Subscribe", 2: "Unsubscribe", 3: "SubscribeAll", 4: "UnsubscribeAll",
                 7: "VarFocusTargetValueChanged", 915: "VarAppServiceLogLevelChanged",
                 931: "VarAppDofCalculationLogLevelChanged"}
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


# The base types, numbered as BaseType in introspection_types.h.
INT, FLOAT, BOOL, STRING, BUFFER, ENUM, RECORD = range(7)


@dataclass
class Type:
    """A stored value: its base type, C++ type, size, alignment and the texts the dictionary keeps."""
    base: int
    cpp: str
    size: int
    align: int
    minimum: Optional[str] = None
    maximum: Optional[str] = None
    length: Optional[str] = None  # string capacity, buffer size or element count, as text
    count: Optional[int] = None  # element count of an array of records
    name: Optional[str] = None  # the enumeration or record type


@dataclass
class Event:
    identifier: int
    name: str
    line: int


@dataclass
class Enumeration:
    name: str
    entries: List[str]
    line: int


@dataclass
class Field:
    name: str
    offset: int
    words: List[str]  # the type as written
    line: int
    type: Optional[Type] = None  # resolved once the whole definition is read


@dataclass
class Record:
    name: str
    size: int
    line: int
    fields: List[Field] = member(default_factory=list)


@dataclass
class Variable:
    name: str
    words: List[str]  # the type as written, without the placement
    at: Optional[int]  # the offset the device has it at, where the definition pins one
    line: int
    type: Optional[Type] = None


@dataclass
class Block:
    index: int
    name: str
    size: int
    line: int
    variables: List[Variable] = member(default_factory=list)


@dataclass
class Model:
    events: List[Event] = member(default_factory=list)
    enums: List[Enumeration] = member(default_factory=list)
    records: List[Record] = member(default_factory=list)
    blocks: List[Block] = member(default_factory=list)

    def record(self, name):
        return next((record for record in self.records if record.name == name), None)

    def enum_index(self, name):
        return next(i for i, enum in enumerate(self.enums) if enum.name == name)


def parse_event(model, words, line):
    if len(words) != 3 or not words[1].isdigit() or not IDENTIFIER.match(words[2]):
        raise DefinitionError(f"line {line}: expected 'event <id> <name>'")
    model.events.append(Event(int(words[1]), words[2], line))


def parse_enum(model, words, line):
    if len(words) < 3 or not all(IDENTIFIER.match(w) for w in words[1:]):
        raise DefinitionError(f"line {line}: expected 'enum <name> <entry> ...'")
    model.enums.append(Enumeration(words[1], words[2:], line))


def parse_record(model, words, line):
    if len(words) != 3 or not IDENTIFIER.match(words[1]) or not words[2].isdigit():
        raise DefinitionError(f"line {line}: expected 'record <name> <size>'")
    model.records.append(Record(words[1], int(words[2]), line))


def parse_field(model, words, line):
    if not model.records or len(words) < 4 or not IDENTIFIER.match(words[1]) or not words[2].isdigit():
        raise DefinitionError(f"line {line}: expected 'field <name> <offset> <type>' after a record")
    model.records[-1].fields.append(Field(words[1], int(words[2]), words[3:], line))


def parse_block(model, words, line):
    if len(words) != 4 or not words[1].isdigit() or not IDENTIFIER.match(words[2]) or not words[3].isdigit():
        raise DefinitionError(f"line {line}: expected 'block <index> <name> <size>'")
    model.blocks.append(Block(int(words[1]), words[2], int(words[3]), line))


def parse_var(model, words, line):
    if not model.blocks or len(words) < 3 or not IDENTIFIER.match(words[1]):
        raise DefinitionError(f"line {line}: expected 'var <name> <type>' after a block")
    kind, at = words[2:], None
    if len(kind) >= 2 and kind[-2] == "at":
        kind, at = kind[:-2], int(kind[-1])
    model.blocks[-1].variables.append(Variable(words[1], kind, at, line))


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
    kind, rest = words[0], words[1:]
    if kind in ("int", "float"):
        if rest and len(rest) != 2:
            raise DefinitionError(f"line {line}: {kind} takes no limits or both")
        low, high = ((number(rest[0], line), number(rest[1], line)) if rest else
                     (("-2147483648", "2147483647") if kind == "int" else ("-1e+38", "1e+38")))
        return Type(INT if kind == "int" else FLOAT, "int32_t" if kind == "int" else "float", 4, 4, low, high)
    if kind == "bool" and not rest:
        return Type(BOOL, "bool", 1, 1)
    if kind in ("string", "buffer") and len(rest) == 1 and rest[0].isdigit() and int(rest[0]) > 0:
        n = int(rest[0])
        if kind == "string":
            return Type(STRING, f"std::array<char, {n}>", n, 1, length=str(n))
        return Type(BUFFER, f"std::array<uint8_t, {n}>", n, 1, "0", str(n), length=str(n))
    if in_record and kind in ("enum", "record"):
        kind, rest = rest[0] if rest else "", rest[1:]
        if words[0] == "record" and rest:
            rest = ["x" + rest[0]]
    if any(enum.name == kind for enum in model.enums) and not rest:
        return Type(ENUM, f"gen::{kind}", 4, 4, name=kind)
    record = model.record(kind)
    if record:
        alignment = record_alignment(model, record)
        if not rest:
            return Type(RECORD, f"gen::{kind}", record.size, alignment, name=kind)
        if len(rest) == 1 and re.match(r"x[1-9][0-9]*$", rest[0]):
            count = int(rest[0][1:])
            return Type(RECORD, f"std::array<gen::{kind}, {count}>", record.size * count, alignment,
                        length=str(count), count=count, name=kind)
    raise DefinitionError(f"line {line}: unknown type '{' '.join(words)}'")


def record_alignment(model, record):
    # 4 when any field, also inside a nested record, is a 4-byte one.
    for field in record.fields:
        if field.words[0] in ("int", "float", "enum"):
            return 4
        if field.words[0] == "record":
            inner = model.record(field.words[1])
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
    ids = [event.identifier for event in model.events]
    if ids != list(range(len(ids))):
        wrong = next(e for i, e in enumerate(model.events) if e.identifier != i)
        raise DefinitionError(f"line {wrong.line}: event {wrong.identifier} out of order; "
                              "events are listed 0, 1, 2, ...")
    if len(ids) != EVENT_COUNT:
        raise DefinitionError(f"{len(ids)} events defined, the device has {EVENT_COUNT}")
    seen = {}
    for event in model.events:
        if event.name in seen:
            raise DefinitionError(f"line {event.line}: event name {event.name} is already event {seen[event.name]}")
        seen[event.name] = event.identifier
    for identifier, name in EVENT_ANCHORS.items():
        event = model.events[identifier]
        if event.name != name:
            raise DefinitionError(f"line {event.line}: event {identifier} must be {name}, not {event.name}")


def emit_events(model):
    """The event names and identifiers as a header and source of their own: the event layer and the broker need
    them, and neither may depend on the dictionary."""
    header = [GENERATED, "#pragma once", "", "#include <cstdint>", "",
              f"constexpr unsigned EVENT_NAME_SIZE = {len(model.events)};",
              "extern char const* const EVENT_NAME[EVENT_NAME_SIZE];", "", "namespace gen::Event {"]
    header.extend(f"constexpr uint32_t {event.name} = {event.identifier};" for event in model.events)
    header.append("} // namespace gen::Event")
    source = [GENERATED, '#include "event_names_gen.h"', "", "char const* const EVENT_NAME[EVENT_NAME_SIZE] = {"]
    source.extend(f'    "{event.name}",' for event in model.events)
    source.append("};")
    return header, source


def check_counts(model):
    variables = sum(len(block.variables) for block in model.blocks)
    for what, have, want in (("blocks", len(model.blocks), BLOCK_COUNT), ("variables", variables, VARIABLE_COUNT),
                             ("enumerations", len(model.enums), ENUM_COUNT),
                             ("record types", len(model.records), RECORD_COUNT)):
        if have != want:
            raise DefinitionError(f"{have} {what} defined, the device has {want}")
    if [block.index for block in model.blocks] != list(range(len(model.blocks))):
        raise DefinitionError("blocks must be listed in index order 0, 1, 2, ...")
    events = {event.name for event in model.events}
    for block in model.blocks:
        names = set()
        for variable in block.variables:
            if variable.name in names:
                raise DefinitionError(f"line {variable.line}: {variable.name} is already a variable of {block.name}")
            names.add(variable.name)
            if f"Var{variable.name}Changed" not in events:
                raise DefinitionError(f"line {variable.line}: variable {variable.name} has no event "
                                      f"Var{variable.name}Changed")


def resolve_types(model):
    """Every field's and variable's Type, once the names they may refer to are all known."""
    for record in model.records:
        for field in record.fields:
            field.type = resolve(model, field.words, field.line, True)
    for block in model.blocks:
        for variable in block.variables:
            variable.type = resolve(model, variable.words, variable.line, False)


def layout(members, what):
    """Members (name, Type, wanted offset or None, line) laid out as a C structure; returns
    [(name, Type, offset, pad)] and the end."""
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
    for enum in model.enums:
        if enum.name in DECLARED_ENUMS:
            header.append(f'#include "{DECLARED_ENUMS[enum.name]}"')
            header.extend(f"static_assert(int(gen::{enum.name}::{e}) == {i});" for i, e in enumerate(enum.entries))
            continue
        header.append(f"namespace gen {{ enum class {enum.name} : uint32_t {{ {', '.join(enum.entries)} }}; }}")
    header.append("")
    header.append("struct EnumInfo {")
    header.append("    char const* name;")
    header.append("    char const* const* entries;")
    header.append("    uint32_t count;")
    header.append("};")
    for enum in model.enums:
        upper = enum.name.upper()
        header.append(f"constexpr uint32_t {upper}_NAME_ARRAY_SIZE = {len(enum.entries)};")
        header.append(f"extern char const* const {upper}_NAME_ARRAY[{upper}_NAME_ARRAY_SIZE];")
        source.append(f"char const* const {upper}_NAME_ARRAY[{upper}_NAME_ARRAY_SIZE] = {{" +
                      ", ".join(f'"{e}"' for e in enum.entries) + "};")
    header.append(f"constexpr uint32_t ENUM_ARRAY_SIZE = {len(model.enums)};")
    header.append("extern EnumInfo const ENUM_ARRAY[ENUM_ARRAY_SIZE];")
    source.append("EnumInfo const ENUM_ARRAY[ENUM_ARRAY_SIZE] = {")
    source.extend(f'    {{"{n}", {n.upper()}_NAME_ARRAY, {n.upper()}_NAME_ARRAY_SIZE}},'
                  for n in (enum.name for enum in model.enums))
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


def records_inner_first(model):
    """The record types, each after the records it contains."""
    ordered, seen = [], set()

    def visit(record):
        if record.name in seen:
            return
        seen.add(record.name)
        for field in record.fields:
            if field.words[0] == "record":
                inner = model.record(field.words[1])
                if inner:
                    visit(inner)
        ordered.append(record)

    for record in model.records:
        visit(record)
    return ordered


def emit_records(model, header, source):
    header.append("namespace gen {")
    for record in records_inner_first(model):
        members = [(field.name, field.type, field.offset, field.line) for field in record.fields]
        placed, end = layout(members, f"field of {record.name}")
        emit_struct(header, record.name, placed, end, record.size, record_alignment(model, record))
        header.extend(f"static_assert(offsetof({record.name}, {f}) == {o});" for f, _, o, _ in placed)
    header.append("} // namespace gen")


def emit_blocks(model, header, source):
    header.append("namespace gen {")
    for block in model.blocks:
        members = [(variable.name, variable.type, variable.at, variable.line) for variable in block.variables]
        placed, end = layout(members, f"variable of {block.name}")
        for name, _, offset, _ in placed:
            wanted = KNOWN_OFFSETS.get((block.name, name))
            if wanted is not None and wanted != offset:
                raise DefinitionError(f"line {block.line}: {block.name}.{name} lies at {offset}, "
                                      f"the device has it at {wanted}")
        if align(end, 4) != block.size:
            raise DefinitionError(f"line {block.line}: the variables of {block.name} end at {end}, "
                                  f"its data size is {block.size}")
        emit_struct(header, f"{block.name}Data", placed, end, block.size, 4)
        for (owner, var), offset in KNOWN_OFFSETS.items():
            if owner == block.name:
                header.append(f"static_assert(offsetof({block.name}Data, {var}) == {offset});")
    header.append("} // namespace gen")
    header.append("")
    for block in model.blocks:
        header.append(f"extern gen::{block.name}Data* g{block.name};")
        source.append(f"gen::{block.name}Data* g{block.name} = nullptr;")


def cpp_text(text):
    return "nullptr" if text is None else f'"{text}"'


# The printers of a record field's value for append<Record>, one per base type: each gets the field, the text
# that opens its member ("," between members, then the quoted key) and the model, and returns the lines that
# append the member to out. Buffers are never record fields.
def print_int(field, key, model):
    return [f'    out += "{key} ";', f"    Introspection::appendInt(out, prefix{field.name}, r.{field.name});"]


def print_float(field, key, model):
    return [f'    out += "{key} ";', f"    Introspection::appendFloat(out, prefix{field.name}, r.{field.name});"]


def print_bool(field, key, model):
    return [f'    out += "{key} ";', f"    Introspection::appendBool(out, r.{field.name});"]


def print_string(field, key, model):
    name = field.name
    return [f'    out += "{key} {{\\"value\\":\\"";',
            f"    Introspection::appendEscaped(out, r.{name}.data(), strnlen(r.{name}.data(), r.{name}.size()));",
            f'    out += "\\", \\"type\\": \\"string\\" }}";']


def print_enum(field, key, model):
    return [f'    out += "{key}  ";',
            f"    IntrospectionEnum::appendEnum(out, {model.enum_index(field.type.name)}, &r.{field.name});"]


def print_records(field, key, model):
    return [f'    out += "{key}[";', f"    for (size_t i = 0; i < r.{field.name}.size(); ++i) {{",
            "        if (i)", "            out += ',';", f"        append{field.type.name}(out, r.{field.name}[i]);",
            "    }", '    out += "]";']


FIELD_PRINTERS = {INT: print_int, FLOAT: print_float, BOOL: print_bool, STRING: print_string, ENUM: print_enum,
                  RECORD: print_records}
def print_fields(record, printers, model):
    """The lines that append every member of a record r to out, each by the printer of its base type."""
    lines = []
    for i, field in enumerate(record.fields):
        key = f'{"," if i else ""}\\"{field.name}\\":'
        lines.extend(printers[field.type.base](field, key, model))
    return lines


# The type text of the limit texts' value objects, for the base types that have limits.
LIMITED = {INT: "int", FLOAT: "float"}


def emit_codecs(model, header, source):
    """Getters and setters of every enumeration, record type and buffer variable, and the field lists."""
    for index, enum in enumerate(model.enums):
        name = enum.name
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
    for record in model.records:
        name = record.name
        header.append(f"extern std::vector<StructInfo> const {name.upper()}_FIELDS;")
        header.append(f"std::string get{name}Introspection(void const* address, int index);")
        header.append(f"void append{name}(std::string& out, gen::{name} const& r); // the getter's text, appended")
        header.append(f"std::string set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text);")
        source.append(f"std::vector<StructInfo> const {name.upper()}_FIELDS = {{")
        source.extend(f'    {{"{field.name}", {field.offset}, {field.type.base}, '
                      f'"{field.type.name or field.words[0]}", nullptr}},' for field in record.fields)
        source.append("};")
        # Straight-line printing into one string: every key and limit text is a constant, each value object's
        # members before the value are serialised once, and lists of records inside append in place.
        source.append(f"void append{name}(std::string& out, gen::{name} const& r) {{")
        for field in record.fields:
            if field.type.base in LIMITED:
                source.append(f'    static std::string const prefix{field.name} = Introspection::valuePrefix('
                              f'"{LIMITED[field.type.base]}", "{field.type.minimum}", "{field.type.maximum}");')
        source.append('    out += "{";')
        source.extend(print_fields(record, FIELD_PRINTERS, model))
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
    for block in model.blocks:
        for variable in block.variables:
            if variable.type.base != BUFFER:
                continue
            name, n = variable.name, variable.type.size
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


# The type text of the dictionary and the codec pair of the base types that share one; the others have codecs
# of their own: a buffer variable's own, an enumeration's or record type's.
TYPE_TEXTS = {INT: "int", FLOAT: "float", BOOL: "bool", STRING: "string", BUFFER: "buffer"}
SHARED_CODECS = {INT: "Int", FLOAT: "Float", BOOL: "Bool", STRING: "String"}


def emit_dictionary(model, header, source):
    event_ids = {event.name: event.identifier for event in model.events}
    header.append("constexpr uint32_t MEMORY_ARRAY_SIZE = %d;" % len(model.blocks))
    header.append("extern MemoryInfo const MEMORY_ARRAY[MEMORY_ARRAY_SIZE];")
    header.append("")
    header.append("// The change event of every variable by name: gen::notify::<block>::<variable>.")
    for block in model.blocks:
        source.append(f"static char* memory{block.name}() {{ return reinterpret_cast<char*>(g{block.name}); }}")
        header.append(f"namespace gen::notify::{block.name} {{")
        rows = []
        for variable in block.variables:
            name, kind = variable.name, variable.type
            event = event_ids[f"Var{name}Changed"]
            array_of_records = 1 if kind.base == RECORD and kind.count else 0
            header.append(f"constexpr Notify {name}{{{event}, {array_of_records}, 0}};")
            codec = SHARED_CODECS.get(kind.base, name if kind.base == BUFFER else kind.name)
            type_text = TYPE_TEXTS.get(kind.base, kind.name)
            fields = f"&{kind.name.upper()}_FIELDS" if kind.base == RECORD else "nullptr"
            record_size = f"sizeof(gen::{kind.name})" if kind.base == RECORD else "0"
            is_array = "true" if kind.base == STRING or array_of_records else "false"
            rows.append(f'    {{{{{event}, {array_of_records}, 0}}, "{name}", memory{block.name}, '
                        f'offsetof(gen::{block.name}Data, {name}), "{type_text}", {kind.base}, '
                        f'get{codec}Introspection, set{codec}Introspection, '
                        f'{cpp_text(kind.minimum)}, {cpp_text(kind.maximum)}, {cpp_text(kind.length)}, '
                        f'{is_array}, {fields}, {record_size}}},')
        header.append(f"}} // namespace gen::notify::{block.name}")
        source.append(f"static VariableInfo {block.name}_VARIABLES[] = {{")
        source.extend(rows)
        source.append("};")
    source.append("MemoryInfo const MEMORY_ARRAY[MEMORY_ARRAY_SIZE] = {")
    source.extend(f'    {{"{block.name}", {block.name}_VARIABLES, {len(block.variables)}}},' for block in model.blocks)
    source.append("};")


CHECKS = [check_events, check_counts, resolve_types]
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
    for block in model.blocks:
        source.append(f'    {{"{block.name}", sizeof(gen::{block.name}Data)}},')
    source += ["};", "EventPoll eventPoll;", "} // namespace", "",
               "void gen::mapBlocks(bool create) {",
               "    for (SharedMemory& memory : memories) {", "        if (create)", "            memory.create();",
               "        else", "            memory.open();", "        memory.address();", "    }"]
    for index, block in enumerate(model.blocks):
        source.append(f"    g{block.name} = static_cast<gen::{block.name}Data*>(memories[{index}].address());")
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


def read(definition):
    """The checked model of the definition, every type resolved."""
    model = parse(definition)
    for check in CHECKS:
        check(model)
    return model


def generate(definition, output):
    model = read(definition)
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
                        ("gen_init.h", init_header), ("gen_init.cpp", init_source)):
        write(os.path.join(output, name), lines)


def write(path, lines):
    text = "\n".join(lines) + "\n"
    # Unchanged output keeps its time stamp, so that a comment edit does not rebuild everything.
    if os.path.exists(path) and open(path, encoding="utf-8").read() == text:
        return
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
