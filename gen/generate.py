#!/usr/bin/env python3
"""Writes the C++ code of the device definition.

    generate.py DEFINITION OUTPUT_DIR

reads DEFINITION (device.def) and writes OUTPUT_DIR/introspection_gen.h and OUTPUT_DIR/introspection_gen.cpp.

The definition is line-oriented: a leading keyword per line, '#' starts a comment. Each keyword has a parser that
collects its lines into the model, and each part of the model an emitter that adds text to the header and the source;
a new kind of line is a new entry in PARSERS and, if it produces code, in EMITTERS.

Generated names:
  EVENT_NAME[EVENT_NAME_SIZE]   the event names, indexed by identifier
  gen::Event::<name>            the identifier of each event, e.g. gen::Event::VarFocusTargetValueChanged == 7
The generator refuses (exit status 1, with file and line) a definition that breaks what the device relies on.
"""
import os
import re
import sys

EVENT_COUNT = 932
# Identifiers that the other processes of the device are known to use for these names: a shifted list is caught.
EVENT_ANCHORS = {0: "Invalid", 3: "SubscribeAll", 7: "VarFocusTargetValueChanged",
                 915: "VarAppServiceLogLevelChanged", 931: "VarAppDofCalculationLogLevelChanged"}
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*$")


class DefinitionError(Exception):
    pass


class Model:
    def __init__(self):
        self.events = []  # (identifier, name, line number)


def parse_event(model, words, line):
    if len(words) != 3 or not words[1].isdigit() or not IDENTIFIER.match(words[2]):
        raise DefinitionError(f"line {line}: expected 'event <id> <name>'")
    model.events.append((int(words[1]), words[2], line))


PARSERS = {"event": parse_event}


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


def emit_events(model, header, source):
    header.append(f"constexpr unsigned EVENT_NAME_SIZE = {len(model.events)};")
    header.append("extern char const* const EVENT_NAME[EVENT_NAME_SIZE];")
    header.append("")
    header.append("namespace gen::Event {")
    header.extend(f"constexpr uint32_t {name} = {identifier};" for identifier, name, _ in model.events)
    header.append("} // namespace gen::Event")
    source.append("char const* const EVENT_NAME[EVENT_NAME_SIZE] = {")
    source.extend(f'    "{name}",' for _, name, _ in model.events)
    source.append("};")


CHECKS = [check_events]
EMITTERS = [emit_events]


def generate(definition, output):
    model = parse(definition)
    for check in CHECKS:
        check(model)
    header = ["// Generated from device.def by generate.py: do not edit.", "#pragma once", "", "#include <cstdint>",
              ""]
    source = ["// Generated from device.def by generate.py: do not edit.", '#include "introspection_gen.h"', ""]
    for emit in EMITTERS:
        emit(model, header, source)
        header.append("")
        source.append("")
    os.makedirs(output, exist_ok=True)
    for name, lines in (("introspection_gen.h", header), ("introspection_gen.cpp", source)):
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
