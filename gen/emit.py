"""The emitters: each adds the C++ text of one part of the checked model (definition.py) to the header and the
source of the dictionary."""
from definition import (BOOL, BUFFER, ENUM, FLOAT, INT, KNOWN_OFFSETS, RECORD, STRING,
                        DefinitionError, align, record_alignment)

GENERATED = "// Generated from device.def by generate.py: do not edit."
# Enumerations that other code already declares; the generator checks them instead of declaring them again.
DECLARED_ENUMS = {"LogLevel": "loglevel.h"}


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
    return [f'    out += "{key} ";', f"    out += Introspection::printBool(r.{field.name});"]


def print_string(field, key, model):
    name = field.name
    return [f'    out += "{key} {{\\"value\\":\\"";',
            f"    JsonWriter::appendText(out, {{r.{name}.data(), strnlen(r.{name}.data(), r.{name}.size())}},",
            "                           JsonWriter::Escaping::QuoteAndBackslash);",
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
        header.append(f"Change set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text);")
        source.append(f"std::string get{name}Introspection(void const* address, int) {{")
        source.append(f"    return IntrospectionEnum::getEnumText({index}, address);")
        source.append("}")
        source.append(f"Change set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text) {")
        source.append(f"    return IntrospectionEnum::setEnumText({index}, blockBase, block, variable, notify, text);")
        source.append("}")
    for record in model.records:
        name = record.name
        header.append(f"extern std::vector<StructInfo> const {name.upper()}_FIELDS;")
        header.append(f"std::string get{name}Introspection(void const* address, int index);")
        header.append(f"void append{name}(std::string& out, gen::{name} const& r); // the getter's text, appended")
        header.append(f"Change set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
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
        source.append(f"Change set{name}Introspection(char* blockBase, uint32_t block, uint32_t variable, "
                      "Notify notify, char const* text) {")
        source.append(f"    return setRecordImage(blockBase, block, variable, notify, text, sizeof(gen::{name}));")
        source.append("}")
    for block in model.blocks:
        for variable in block.variables:
            if variable.type.base != BUFFER:
                continue
            name, n = variable.name, variable.type.size
            header.append(f"std::string get{name}Introspection(void const* address, int index);")
            header.append(f"Change set{name}Introspection(char* blockBase, uint32_t block, "
                          "uint32_t variable, Notify notify, char const* text);")
            source.append(f"std::string get{name}Introspection(void const* address, int) {{")
            source.append(f"    return getBufferIntrospection(address, {n});")
            source.append("}")
            source.append(f"Change set{name}Introspection(char* blockBase, uint32_t block, "
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
        source.append(f"static VariableInfo const {block.name}_VARIABLES[] = {{")
        source.extend(rows)
        source.append("};")
    source.append("MemoryInfo const MEMORY_ARRAY[MEMORY_ARRAY_SIZE] = {")
    source.extend(f'    {{"{block.name}", {block.name}_VARIABLES, {len(block.variables)}, sizeof(gen::{block.name}Data), '
                  f'&g{block.name}}},' for block in model.blocks)
    source.append("};")


EMITTERS = [emit_enums, emit_records, emit_blocks, emit_codecs, emit_dictionary]
