#!/usr/bin/env python3
"""Puts the tables the matrix tests print into docs/measurements.md, after review.

    tools/readme_tables.py build/native/korrin_tests

Runs the table tests (the fault matrix, the line-error campaign, the
interruption matrix); for each one
that reports a changed table, replaces the block of docs/measurements.md between
<!-- name:begin --> and <!-- name:end --> with the table it printed. Review
the diff before committing: a table that changed is a behaviour that changed.
"""
import pathlib
import re
import subprocess
import sys

TABLES = {
    "FaultMatrixTest.ReadmeTableIsCurrent": "fault-matrix",
    "FaultMatrixTest.LineErrorCampaign": "line-errors",
    "InterruptionMatrixTest.ReadmeTableIsCurrent": "interruption-matrix",
}
MARK = "put this table into docs/measurements.md:\n"


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    doc_path = pathlib.Path(__file__).resolve().parent.parent / "docs" / "measurements.md"
    doc = doc_path.read_text()
    changed = 0
    for test, block in TABLES.items():
        run = subprocess.run([sys.argv[1], f"--gtest_filter={test}"], capture_output=True, text=True)
        out = run.stdout
        if MARK not in out:
            continue
        table = out[out.index(MARK) + len(MARK):]
        table = table[: table.find("\n[  FAILED  ]")] if "\n[  FAILED  ]" in table else table
        lines = [line for line in table.splitlines() if line.startswith("|")]
        begin, end = f"<!-- {block}:begin -->\n", f"<!-- {block}:end -->"
        pattern = re.compile(re.escape(begin) + ".*?" + re.escape(end), re.S)
        doc = pattern.sub(lambda _: begin + "\n".join(lines) + "\n" + end, doc)
        print(f"{block}: {len(lines) - 2} rows")
        changed += 1
    doc_path.write_text(doc)
    print(f"{changed} table(s) replaced" if changed else "every table is current")
    return 0


if __name__ == "__main__":
    sys.exit(main())
