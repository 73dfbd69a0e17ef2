#!/usr/bin/env python3
"""Writes the C++ code of the device definition.

    generate.py DEFINITION OUTPUT_DIR

reads DEFINITION (device.def) and writes into OUTPUT_DIR the dictionary (introspection_gen.h/.cpp) and, in
OUTPUT_DIR/events, the event names and identifiers (event_names_gen.h/.cpp), which the event layer and the broker use
without the dictionary. It writes tables, types and codecs, no start-up logic: start-up maps the blocks that
MEMORY_ARRAY lists, by name and size, and sets each block's pointer, whose address the table holds.

The definition is line-oriented: a leading keyword per line, '#' starts a comment. Each keyword has a parser that
collects its lines into the model (definition.py), and each part of the model an emitter that adds text to the header
and the source (emit.py); a new kind of line is a new entry in PARSERS and, if it produces code, in EMITTERS.

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
  MEMORY_ARRAY[MEMORY_ARRAY_SIZE]   each block's name, variables, data size and the address of its g<Block>
The generator refuses (exit status 1, with file and line) a definition that breaks what the device relies on.
"""
import os
import sys

sys.dont_write_bytecode = True  # the modules beside it are imported from the source tree; leave it as checked out
from definition import DefinitionError, read  # noqa: E402
from emit import EMITTERS, GENERATED, emit_events  # noqa: E402


def generate(definition, output):
    model = read(definition)
    header = [GENERATED, "#pragma once", "", "#include <array>",
              "#include <cstddef>", "#include <cstdint>", "#include <string>", "", '#include "event_names_gen.h"',
              '#include "introspection_types.h"', ""]
    source = [GENERATED, '#include "introspection_gen.h"', "",
              "#include <cstring>", "", '#include "introspection.h"', '#include "introspection_enum.h"',
              '#include "jsonwriter.h"', '#include "setters.h"', ""]
    for emit in EMITTERS:
        emit(model, header, source)
        header.append("")
        source.append("")
    os.makedirs(os.path.join(output, "events"), exist_ok=True)
    event_header, event_source = emit_events(model)
    for name, lines in (("introspection_gen.h", header), ("introspection_gen.cpp", source),
                        ("events/event_names_gen.h", event_header), ("events/event_names_gen.cpp", event_source)):
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
