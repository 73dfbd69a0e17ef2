#!/usr/bin/env python3
"""Writes the benchmark's plain reading of the record getters.

    plain_records.py GENERATOR DEFINITION OUTPUT

reads DEFINITION with the device code's generator (GENERATOR, gen/generate.py, and the modules beside it) and writes
OUTPUT, the baseline of tree_bench: every record field printed through plain::value (a fresh JSON object each),
plain::escape and plain::enumeration, which the benchmark defines. The texts are the service's own, so the two trees
compare byte for byte.
"""
import importlib
import os
import sys
from types import SimpleNamespace

sys.dont_write_bytecode = True  # keep the source tree as checked out


def load(path):
    # The generator's modules are imported from where they live; its command line runs only as a script.
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    modules = [importlib.import_module(name) for name in ("definition", "emit", "generate")]
    return SimpleNamespace(**{k: v for module in modules for k, v in vars(module).items() if not k.startswith("_")})


# One printer per base type of a field: the field, the text that opens its member and the model in; the lines
# that append the member to out back. Buffers are never record fields.
def print_bool(field, key, model):
    return [f'    out += "{key} " + std::string(Introspection::printBool(r.{field.name}));']


def print_string(field, key, model):
    name = field.name
    return [f'    out += "{key} {{\\"value\\":\\"" + escape(std::string(r.{name}.data(), '
            f'strnlen(r.{name}.data(), r.{name}.size()))) + "\\", \\"type\\": \\"string\\" }}";']


def print_enum(field, key, model):
    return [f'    out += "{key}  " + enumeration({model.enum_index(field.type.name)}, &r.{field.name});']


def print_records(field, key, model):
    return [f'    out += "{key}[";', f"    for (size_t i = 0; i < r.{field.name}.size(); ++i)",
            f'        out += (i ? "," : "") + get{field.type.name}(r.{field.name}.data(), int(i));', '    out += "]";']


def printers(gen):
    def print_limited(field, key, model):
        kind = field.type
        text = "std::to_string" if kind.base == gen.INT else "formatFloat"
        return [f'    out += "{key} " + value({text}(r.{field.name}), "{gen.LIMITED[kind.base]}", "{kind.minimum}", '
                f'"{kind.maximum}");']

    return {gen.INT: print_limited, gen.FLOAT: print_limited, gen.BOOL: print_bool, gen.STRING: print_string,
            gen.ENUM: print_enum, gen.RECORD: print_records}


def plain_records(gen, model):
    printer = printers(gen)
    source = ["// Generated from device.def by bench/plain_records.py: do not edit. Benchmarks only.",
              '#include "introspection_gen.h"', "", "#include <cstring>", "#include <string>", "",
              '#include "introspection.h"', "", "namespace plain {",
              "std::string value(std::string const& value, std::string const& type, std::string const& min, "
              "std::string const& max);", "std::string escape(std::string const& text);",
              "std::string enumeration(uint32_t e, void const* address);", ""]
    source.extend(f"std::string get{record.name}(void const* address, int index);" for record in model.records)
    for record in model.records:
        source.append(f"std::string get{record.name}(void const* address, int index) {{")
        source.append(f"    auto const& r = static_cast<gen::{record.name} const*>(address)[index];")
        source.append('    std::string out = "{";')
        source.extend(gen.print_fields(record, printer, model))
        source.append('    return out + "}";')
        source.append("}")
    source += ["struct RecordGetter {", "    char const* name;",
               "    std::string (*get)(void const* address, int index);", "};",
               "extern RecordGetter const RECORD_GETTERS[];", "RecordGetter const RECORD_GETTERS[] = {"]
    source.extend(f'    {{"{record.name}", get{record.name}}},' for record in model.records)
    source += ["    {nullptr, nullptr},", "};", "} // namespace plain"]
    return source


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: plain_records.py GENERATOR DEFINITION OUTPUT")
    gen = load(sys.argv[1])
    try:
        model = gen.read(sys.argv[2])
    except gen.DefinitionError as error:
        sys.exit(f"{sys.argv[2]}: {error}")
    gen.write(sys.argv[3], plain_records(gen, model))


if __name__ == "__main__":
    main()
