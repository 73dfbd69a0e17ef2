#!/usr/bin/env python3
"""Writes the C++ code of the device definition.

    generate.py DEFINITION OUTPUT_DIR

reads DEFINITION (device.def) and writes into OUTPUT_DIR the dictionary (introspection_gen.h/.cpp), the start-up
layer (gen_init.h/.cpp) and, in OUTPUT_DIR/events, the event names and identifiers (event_names_gen.h/.cpp), which
the event layer and the broker use without the dictionary.

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
The generator refuses (exit status 1, with file and line) a definition that breaks what the device relies on.
"""
import os
import sys

sys.dont_write_bytecode = True  # the modules beside it are imported from the source tree; leave it as checked out
from definition import DefinitionError, read  # noqa: E402
from emit import EMITTERS, GENERATED, emit_events  # noqa: E402


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
