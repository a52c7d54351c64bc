"""The hwid Python module against the built library and programs.

Environment: PYTHONPATH holds the module, HWID_LIBRARY names the shared
library, HWID_PROGRAM and HWID_EXPLAIN the two programs."""

import json
import os
import subprocess
import sys
import textwrap
import unittest

import hwid


def run(*command):
    return subprocess.run(command, capture_output=True, check=True, timeout=120).stdout


class IdentifierTest(unittest.TestCase):
    def test_identifier_is_what_hwid_prints(self):
        printed = run(os.environ["HWID_PROGRAM"]).decode("ascii")
        self.assertRegex(printed, r"^[0-9A-F]{64}$")
        self.assertEqual(hwid.identifier(), printed)

    def test_version(self):
        self.assertRegex(hwid.version(), r"^\d+\.\d+\.\d+$")


class FactsTest(unittest.TestCase):
    def test_facts_agree_with_hwid_explain(self):
        report = json.loads(run(os.environ["HWID_EXPLAIN"], "--json", "--show-serial"))
        facts = hwid.facts()
        self.assertIsInstance(facts, hwid.Facts)
        self.assertEqual(facts.cpu_vendor, report["cpu"]["vendor"])
        self.assertEqual(facts.cpu_highest_leaf, report["cpu"]["highest_leaf"])
        self.assertEqual(facts.cpu_leaves_summed, len(report["cpu"]["leaves_summed"]))
        self.assertEqual("0x%08X" % facts.cpu_signature, report["cpu"]["signature"])
        self.assertEqual(facts.platform_id, report["platform_id"])
        self.assertEqual(facts.drive_found, report["drive"]["found"])
        self.assertEqual(facts.drive_path, report["drive"]["path"])
        self.assertEqual(facts.drive_bus, report["drive"]["bus"])
        self.assertEqual(facts.drive_reason, report["drive"]["reason"])
        self.assertEqual(facts.serial, report["serial"])
        self.assertEqual(facts.model, report["model"])
        self.assertEqual(facts.diagnostic, report["diagnostic"])
        self.assertEqual("0x%08X" % facts.fold_value, report["fold_value"])
        self.assertEqual(facts.identifier, report["identifier"])
        self.assertEqual(facts.no_serial, bool(report["warning"]))
        if not report["serial_obtained"]:
            self.assertEqual(facts.serial_source, "none")
        elif report["smart_probe"]["accepted"]:
            self.assertEqual(facts.serial_source, "smart_identify")
        else:
            self.assertEqual(facts.serial_source, "storage_descriptor")


class ErrorTest(unittest.TestCase):
    def test_resource_failure_raises_with_the_status_text(self):
        # A fresh interpreter whose limit of open files leaves the library
        # none: the call must raise, never return an identifier.
        script = textwrap.dedent("""
            import resource, sys, hwid
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (3, hard))
            for call in (hwid.identifier, hwid.facts):
                try:
                    value = call()
                except hwid.HwidError as error:
                    print(error.status, error)
                else:
                    print("returned", value)
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120,
                                text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 2, result.stdout)
        for line in lines:
            self.assertTrue(line.startswith("2 "), line)
            self.assertIn("resources", line)


if __name__ == "__main__":
    unittest.main()
