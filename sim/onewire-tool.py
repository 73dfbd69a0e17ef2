#!/usr/bin/env python3
"""Stands in for the device's 1-Wire tool inside the sandbox, where no 1-Wire bus exists.

    echo '<unit code>\n<close-focus value>' | onewire-tool.py -e -m knob

Reads the two lines the web service writes for a pre-marked focus ring: the unit code (1 metric, 2 imperial,
3 custom) and the close-focus value, a decimal number in the unit's measure. Reports what it would write on
standard error and exits 0, or names what is wrong and exits 1, as the device's tool does. With ONEWIRE_FAIL
set in the environment it fails whatever the input, so that a failing write can be tried out.
"""
import argparse
import os
import re
import sys

UNITS = {"1": "metric", "2": "imperial", "3": "custom"}


def fail(message):
    print("onewire-tool: " + message, file=sys.stderr)
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("-e", action="store_true", help="encrypt and write")
    parser.add_argument("-m", choices=["knob"], help="the memory to write")
    try:
        arguments = parser.parse_args()
    except SystemExit:
        fail("usage: onewire-tool.py -e -m knob")
    if not arguments.e or arguments.m != "knob":
        fail("usage: onewire-tool.py -e -m knob")
    lines = sys.stdin.read().split("\n")
    # echo ends the text with one more line feed: two lines and an empty rest.
    while lines and lines[-1] == "":
        lines.pop()
    if len(lines) != 2:
        fail("expected 2 input lines, got %d" % len(lines))
    unit, value = lines
    if unit not in UNITS:
        fail("unknown unit code %r" % unit)
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)?", value):
        fail("close-focus value %r is not a number" % value)
    if os.environ.get("ONEWIRE_FAIL"):
        fail("no ring answers on the 1-Wire bus")
    print("onewire-tool: ring written: unit %s, close focus %s" % (UNITS[unit], value), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
