"""The device definition read into a checked model: the parsers of its lines, the types they name and the checks
of what the device relies on. The emitters (emit.py) turn the model into C++."""
import re
from dataclasses import dataclass, field as member
from typing import List, Optional

EVENT_COUNT = 932
# Identifiers that the other processes of the device are known to use for these names: a shifted list is caught.
# The first four are the broker's own requests.
EVENT_ANCHORS = {0: "Invalid", 1: "Subscribe", 2: "Unsubscribe", 3: "SubscribeAll", 4: "UnsubscribeAll",
                 7: "VarFocusTargetValueChanged", 915: "VarAppServiceLogLevelChanged",
                 931: "VarAppDofCalculationLogLevelChanged"}
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*$")


class DefinitionError(Exception):
    pass


BLOCK_COUNT, VARIABLE_COUNT, ENUM_COUNT, RECORD_COUNT = 18, 795, 70, 30
# Offsets known outside the definition: a variable list that shifts them cannot build.
KNOWN_OFFSETS = {("MemLens", "LensFileList"): 4180, ("MemLens", "LensFileSave"): 61200,
                 ("MemHwControl", "VibrationTicLength"): 7224, ("MemMedia", "ExportSettings"): 5284}
# Enumerations that other code already declares; the generator checks them instead of declaring them again.


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


CHECKS = [check_events, check_counts, resolve_types]


def read(definition):
    """The checked model of the definition, every type resolved."""
    model = parse(definition)
    for check in CHECKS:
        check(model)
    return model
