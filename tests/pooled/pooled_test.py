#!/usr/bin/python3
"""kelvaro-report's JSON as an interface, on the logs the end-to-end tests wrote.

One run of `kelvaro-report --jsonl` over every e2e log, the committed logs (among them a cut
log and one with repeated tests), a file that is no log and a path that does not exist serves
every check: each object is valid against docs/kelvaro-summary.schema.json (Debian's
python3-jsonschema), the broken inputs give a line on standard error and no object, pandas
reads the lines back and finds every figure where the schema puts it, each equal to the text
summary's. Then the comparison of the desktop and busy logs. Writes a JUnit XML file so that
scripts/test counts its cases.

  pooled_test.py --report KELVARO_REPORT --schema SCHEMA --data tests/report --xml OUT.xml
  (the e2e logs: the folder of $KELVARO_E2E_LOG)
"""
import argparse
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import unittest
from xml.sax.saxutils import quoteattr

import jsonschema
import pandas

ARGS = None


def run(*command):
    return subprocess.run([ARGS.report, *command], capture_output=True, text=True, timeout=600)


class Pooled(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="kelvaro-pooled-")
        e2e_log = os.environ.get("KELVARO_E2E_LOG", "")
        e2e_dir = os.path.dirname(e2e_log) if e2e_log else ""
        cls.e2e = sorted(os.path.join(e2e_dir, f) for f in os.listdir(e2e_dir)
                         if f.startswith("e2e-") and f.endswith(".out.txt")) if os.path.isdir(e2e_dir) else []
        committed = sorted(os.path.join(ARGS.data, f) for f in os.listdir(ARGS.data) if f.endswith(".log"))
        cls.no_log = os.path.join(cls.work.name, "not-a-log.txt")
        with open(cls.no_log, "w") as f:
            f.write("a shopping list\nbread\n")
        cls.missing = os.path.join(cls.work.name, "missing.txt")
        cls.inputs = cls.e2e + [cls.no_log] + committed + [cls.missing]
        cls.readable = cls.e2e + committed
        cls.out = os.path.join(cls.work.name, "pooled.jsonl")
        cls.result = run("--jsonl", cls.out, *cls.inputs)
        with open(cls.out) as f:
            cls.lines = f.read().splitlines()
        with open(ARGS.schema) as f:
            cls.schema = json.load(f)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def objects(self):
        return [json.loads(line) for line in self.lines]

    def test_every_readable_log_gives_one_valid_object_in_order(self):
        if os.environ.get("KELVARO_E2E_LOG"):
            names = {os.path.basename(p) for p in self.e2e}
            for profile in ("e2e-runall.out.txt", "e2e-busy.out.txt", "e2e-outputs-suite.out.txt",
                            "e2e-display-win11.out.txt", "e2e-display-vrr-40-165.out.txt", "e2e-display-unplug.out.txt"):
                self.assertIn(profile, names, "the e2e run wrote no " + profile)
        objects = self.objects()
        self.assertEqual(self.readable, [o["file"] for o in objects])
        jsonschema.Draft202012Validator.check_schema(self.schema)
        validator = jsonschema.Draft202012Validator(self.schema)
        for o in objects:
            errors = sorted(validator.iter_errors(o), key=lambda e: list(e.absolute_path))
            self.assertEqual([], [f"{list(e.absolute_path)}: {e.message[:200]}" for e in errors[:5]], o["file"])
        # What the schema was checked on: a cut log, a log with a test run twice, a second output.
        self.assertTrue(any(not o["complete"] for o in objects), "no cut log among them")
        self.assertTrue(any("#2" in t["key"] for o in objects for t in o["tests"]), "no repeated test")
        self.assertTrue(any(len(o["refresh"]) > 1 for o in objects) or not self.e2e, "no log of two outputs")

    def test_a_log_that_cannot_be_read_is_named_and_the_others_go_on(self):
        self.assertEqual(1, self.result.returncode, self.result.stderr)
        complaints = [line for line in self.result.stderr.splitlines() if not line.endswith("could not be read")]
        self.assertEqual(2, sum(1 for line in complaints if self.no_log in line or self.missing in line),
                         self.result.stderr)
        self.assertRegex(self.result.stderr, rf"{len(self.readable)} of {len(self.inputs)} logs .* 2 could not be read")

    def test_the_same_keys_as_json(self):
        path = os.path.join(self.work.name, "one.json")
        log = self.readable[0]
        self.assertEqual(0, run(log, "--json", path).returncode)
        with open(path) as f:
            alone = json.load(f)
        pooled = self.objects()[0]
        self.assertEqual("file", next(iter(pooled)))
        del pooled["file"]
        self.assertEqual(alone, pooled)

    def test_pandas_finds_each_figure_where_the_schema_says(self):
        frame = pandas.read_json(self.out, lines=True)
        self.assertEqual(len(self.readable), len(frame))
        self.assertEqual(self.readable, list(frame["file"]))
        # tests[].figures.<key>.value, one row per run.
        runs = pandas.json_normalize(frame.to_dict("records"), record_path="tests", meta=["file"])
        refresh = pandas.json_normalize(frame.to_dict("records"), record_path="refresh", meta=["file"])
        wanted = [p for p in self.readable if os.path.basename(p) in
                  ("e2e-runall.out.txt", "e2e-busy.out.txt", "e2e-display-win11.out.txt",
                   "suite-cut.log", "suite-extended.log")]
        self.assertGreaterEqual(len(wanted), 2)
        checked = 0
        for path in wanted:
            text = run(path).stdout.splitlines()
            mine = runs[runs["file"] == path].reset_index(drop=True)
            at = 0
            for i in range(len(mine)):
                title = mine.loc[i, "title"]
                output = mine.loc[i, "output"] if "output" in mine and isinstance(mine.loc[i, "output"], str) else ""
                header = title + ("  " + output if output else "")
                while at < len(text) and not text[at].startswith(header):
                    at += 1
                self.assertLess(at, len(text), f"{path}: no block {header!r} in the text")
                block_end = at + 1
                while block_end < len(text) and text[block_end].startswith("  "):
                    block_end += 1
                block = text[at + 1:block_end]
                columns = [c for c in mine.columns if c.startswith("figures.") and c.endswith(".value")]
                for column in columns:
                    value = mine.loc[i, column]
                    if value is None or (isinstance(value, float) and math.isnan(value)):
                        continue
                    label = mine.loc[i, column[:-len(".value")] + ".label"]
                    line = next((l for l in block if l.startswith("  " + label + " ")), None)
                    self.assertIsNotNone(line, f"{path}: {header}: no line for {label!r}")
                    printed = float(line[2 + len(label):].split()[0])
                    self.assertAlmostEqual(printed, value, delta=0.5e-4 * max(1.0, abs(value)) + 0.51e-4,
                                           msg=f"{path}: {header}: {label}")
                    checked += 1
                at = block_end
            # The refresh rate the findings print is the one pandas finds.
            for _, r in refresh[refresh["file"] == path].iterrows():
                said = [l for l in text if r["output"] + " refreshes at" in l]
                if said:
                    hz = float(re.search(r"refreshes at ([0-9.]+) Hz", said[0]).group(1))
                    self.assertAlmostEqual(hz, r["measured_hz"], delta=0.6e-4)
                    checked += 1
        self.assertGreater(checked, 100)

    def test_busy_against_desktop_shows_the_stalls_and_skipped_frames(self):
        by_name = {os.path.basename(p): p for p in self.e2e}
        if "e2e-runall.out.txt" not in by_name or "e2e-busy.out.txt" not in by_name:
            self.skipTest("no e2e logs of the desktop and busy profiles")
        page = os.path.join(self.work.name, "compare.html")
        result = run(by_name["e2e-runall.out.txt"], "--compare", by_name["e2e-busy.out.txt"], "--html", page)
        self.assertEqual(0, result.returncode, result.stderr)
        text = result.stdout.splitlines()

        def row(label):
            line = next((l for l in text if l.startswith("  " + label)), None)
            self.assertIsNotNone(line, label)
            return line[58:].split()

        stalls = row("stall events ")
        self.assertGreater(int(stalls[1]), int(stalls[0]))
        skipped = row("frames the compositor skipped")
        self.assertGreater(float(skipped[1]), float(skipped[0]))
        # The findings whose mark changed stand before the others.
        changed = text.index("Findings whose mark changed")
        same = text.index("Findings with the same mark")
        self.assertLess(changed, same)
        with open(page) as f:
            html = f.read()
        self.assertIn('class="legend"', html)


class Result(unittest.TextTestResult):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.cases = []

    def addSuccess(self, test):
        super().addSuccess(test)
        self.cases.append((test.id(), None, ""))

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.cases.append((test.id(), "failure", self._exc_info_to_string(err, test)))

    def addError(self, test, err):
        super().addError(test, err)
        self.cases.append((test.id(), "failure", self._exc_info_to_string(err, test)))

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self.cases.append((test.id(), "skipped", reason))


def write_xml(path, cases):
    failures = sum(1 for c in cases if c[1] == "failure")
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        f.write(f'<testsuites tests="{len(cases)}" failures="{failures}" disabled="0" errors="0" name="pooled">\n')
        f.write(f'  <testsuite name="Pooled" tests="{len(cases)}" failures="{failures}" errors="0">\n')
        for name, kind, text in cases:
            f.write(f'    <testcase name={quoteattr(name.split(".")[-1])} status="run"'
                    f' result="{"skipped" if kind == "skipped" else "completed"}" classname="Pooled"')
            if kind == "failure":
                f.write(f'>\n      <failure message={quoteattr(text[-2000:])}/>\n    </testcase>\n')
            else:
                f.write('/>\n')
        f.write('  </testsuite>\n</testsuites>\n')


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--report", required=True)
    parser.add_argument("--schema", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--xml", required=True)
    ARGS = parser.parse_args()
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Pooled)
    runner = unittest.TextTestRunner(verbosity=2, resultclass=Result, stream=sys.stdout)
    result = runner.run(suite)
    write_xml(ARGS.xml, result.cases)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
