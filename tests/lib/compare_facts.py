#!/usr/bin/env python3
"""Compares libhwid's facts with hwid-explain --json --show-serial, field by
field, and the identifier with hwid's output.

    compare_facts.py PRINT_FACTS HWID_EXPLAIN HWID

The environment variable HWID_RUNNER (for example wine) is put in front of
each program."""

import json
import os
import subprocess
import sys


def run(program, *arguments):
    runner = os.environ.get("HWID_RUNNER", "").split()
    result = subprocess.run(runner + [program, *arguments], capture_output=True, timeout=300)
    if result.returncode != 0:
        sys.exit(f"FAIL: {program} exited {result.returncode}: {result.stderr.decode(errors='replace')}")
    return result.stdout.decode("latin-1").replace("\r\n", "\n")


def escape(text):
    # print_facts' escaping of the same bytes.
    return "".join(
        c if 32 <= ord(c) <= 126 and c != "\\" else f"\\x{ord(c):02X}" for c in text)


def main():
    printer, explain, hwid = sys.argv[1:4]
    facts = {}
    for line in run(printer).splitlines():
        name, _, value = line.partition(" ")
        facts[name] = value
    report = json.loads(run(explain, "--json", "--show-serial"))
    printed = run(hwid)

    obtained = report["serial_obtained"]
    if not obtained:
        source = 0
    elif report["smart_probe"]["accepted"]:
        source = 1
    else:
        source = 2
    expected = {
        "cpu.vendor": escape(report["cpu"]["vendor"]),
        "cpu.highest_leaf": str(report["cpu"]["highest_leaf"]),
        "cpu.leaves_summed": str(len(report["cpu"]["leaves_summed"])),
        "cpu.signature": report["cpu"]["signature"],
        "platform_id": str(report["platform_id"]),
        "drive.found": "1" if report["drive"]["found"] else "0",
        "drive.path": escape(report["drive"]["path"]),
        "drive.bus": escape(report["drive"]["bus"]),
        "drive.reason": escape(report["drive"]["reason"]),
        "serial_source": str(source),
        "serial": escape(report["serial"]),
        "model": escape(report["model"]),
        "diagnostic": escape(report["diagnostic"]),
        "fold_value": report["fold_value"],
        "identifier": report["identifier"],
        "warnings": "1" if report["warning"] else "0",
    }
    failures = 0
    for name, value in expected.items():
        if facts.get(name) != value:
            print(f"FAIL: {name}: library {facts.get(name)!r}, hwid-explain {value!r}")
            failures += 1
    if sorted(facts) != sorted(expected):
        print(f"FAIL: fields {sorted(facts)}, expected {sorted(expected)}")
        failures += 1
    if facts.get("identifier") != printed:
        print(f"FAIL: identifier {facts.get('identifier')!r}, hwid printed {printed!r}")
        failures += 1
    if failures == 0:
        print(f"facts agree with hwid-explain in {len(expected)} fields; identifier {printed}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
