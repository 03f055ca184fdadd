#!/usr/bin/env python3
"""Tests of tools/mutate.py: where it mutates, that its mutants compile, the
judgements, the report's counts, the file always coming back, the time-out."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mutate  # noqa: E402


def mutantsOf(source, macros=frozenset()):
    code, shown = mutate.maskCode(source, set(macros))
    return mutate.findMutants("src/x.cpp", source, code, shown)


kSnippet = """\
#include <cstdint>
#include <vector>
// if (a < b) return 2;  not code
int pick(int a, int b, [[maybe_unused]] bool c) {
  std::vector<int> v{1, 2};
  if (a < b && b > 3 && c) return a + b;
  while (a >= 0 || b == 0x1F) --a;
  if (a != b) v.push_back(a);
  const char* text = "a < b && 7";
  (void)text;
  return static_cast<int>(v.size()) - 1;
}
bool same(int a, int b) { return a == b; }
bool yes() { return true; }
struct Named {
  const char* const name;
  Named() : name("n") { pick(1, 2, true); }
};
"""


kProjectWarnings = ["-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion", "-Wno-sign-conversion", "-Werror"]


class SitesTest(unittest.TestCase):
    def test_operators_mutate_code_only(self):
        rows = [  # (line of kSnippet, operator, the mutated line as the report shows it)
            (6, "comparison", "if (a <= b && b > 3 && c) return a + b;"),
            (6, "swap-logical", "if (a < b || (b > 3 && c)) return a + b;"),
            (6, "swap-logical", "if ((a < b && b > 3) || c) return a + b;"),
            (6, "swap-arith", "if (a < b && b > 3 && c) return a - b;"),
            (6, "constant", "if (a < b && b > 4 && c) return a + b;"),
            (6, "negate-condition", "if (!(a < b && b > 3 && c)) return a + b;"),
            (7, "constant", "while (a >= 0 || b == 0x20) --a;"),
            (7, "constant", "while (a >= 0 || b == 0x1E) --a;"),
            (7, "comparison", "while (a >= 0 || b != 0x1F) --a;"),
            (8, "delete-statement", "(deleted) if (a != b) v.push_back(a);"),
            (11, "swap-arith", "return static_cast<int>(v.size()) + 1;"),
            (13, "return-value", "bool same(int a, int b) { return !(a == b); }"),
            (14, "return-value", "bool yes() { return false; }"),
        ]
        found = {(m.line, m.operator, m.mutated) for m in mutantsOf(kSnippet)}
        for row in rows:
            self.assertIn(row, found)
        lines = {m.line for m in mutantsOf(kSnippet)}
        self.assertFalse(lines & {1, 2, 3, 9, 10, 16}, "the include, the comment, the text, (void), a member")
        self.assertNotIn((5, "comparison"), {(m.line, m.operator) for m in mutantsOf(kSnippet)}, "vector<int>")

    def test_branches_of_if_not_taken_here_are_left_alone(self):
        source = ("#if defined(__APPLE__)\nint a = 1;\n#elif defined(__linux__) && !defined(NO_X)\nint b = 2;\n"
                  "#else\nint c = 3;\n#endif\n#ifdef __APPLE__\nint d = 4;\n#endif\n")
        self.assertEqual({m.line for m in mutantsOf(source, {"__linux__"})}, {4})
        self.assertEqual({m.line for m in mutantsOf(source, {"__linux__", "NO_X"})}, {6})

    @unittest.skipUnless(shutil.which("c++"), "no C++ compiler")
    def test_every_mutant_compiles_under_the_projects_warnings(self):
        with tempfile.TemporaryDirectory() as folder:
            files = {}
            for m in mutantsOf(kSnippet):
                files[str(Path(folder) / ("m%d_%d.cpp" % (m.start, len(files))))] = m.mutated
                Path(list(files)[-1]).write_text(kSnippet[:m.start] + m.replacement + kSnippet[m.end:])
            run = subprocess.run(["c++", "-std=c++17", "-fsyntax-only", *kProjectWarnings, *files],
                                 capture_output=True, text=True)
            broken = sorted({files[f] for f in re.findall(r"^(\S+\.cpp):\d+", run.stderr, re.M) if f in files})
            self.assertEqual(run.returncode, 0, "\n".join(broken) + "\n" + run.stderr[:2000])

    def test_sample_is_the_same_for_the_same_seed(self):
        pop = {"src/a.cpp": (30, mutantsOf(kSnippet)), "src/b.cpp": (10, mutantsOf(kSnippet)[:5])}
        for m in pop["src/b.cpp"][1]:
            m.file = "src/b.cpp"
        first = mutate.drawSample(pop, 7, 25)
        again = mutate.drawSample(pop, 7, 25)
        self.assertEqual([(m.file, m.start, m.mutated) for m in first], [(m.file, m.start, m.mutated) for m in again])
        self.assertEqual(len({(m.file, m.start, m.mutated) for m in first}), 25)
        self.assertEqual([m.id for m in first], list(range(1, 26)))
        self.assertEqual(len(mutate.drawSample(pop, 7, 10_000)), len(pop["src/a.cpp"][1]) + 5, "all, each once")


class JudgementsTest(unittest.TestCase):
    def load(self, text):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(text)
        self.addCleanup(os.unlink, f.name)
        return mutate.loadJudgements(f.name)

    def test_refused_files(self):
        rows = [
            "src/x.cpp: `a` -- equivalent: one\nsrc/x.cpp: `a` -- gap: two\n",  # both ways
            "src/x.cpp: `a` -- equivalent: one\nsrc/x.cpp:  `a`   -- equivalent: two\n",  # twice
            "src/x.cpp: `a` -- equivalent: one\nsrc/x.cpp: `a` from `b` -- gap: two\n",  # shadowed by the first
            "src/x.cpp:12: `a` -- equivalent: line numbers are no key\n",
            "src/x.cpp: `a` -- maybe: no verdict\n",
        ]
        for text in rows:
            with self.assertRaises(mutate.JudgementError, msg=text):
                self.load(text)

    def test_entry_naming_the_original_wins(self):
        entries = self.load("# comment\n\nsrc/x.cpp: `return 1;` from `return  0;` -- equivalent: this site\n"
                            "src/x.cpp: `return 1;` from `return 2;` -- gap: that site\n"
                            "src/y.cpp: `return 1;` -- gap: any site of another file\n")
        rows = [("src/x.cpp", "return 0;", "equivalent"), ("src/x.cpp", "return 2;", "gap"),
                ("src/x.cpp", "return 5;", None), ("src/y.cpp", "return 5;", "gap"), ("src/z.cpp", "return 0;", None)]
        for path, original, verdict in rows:
            entry = mutate.judge(entries, mutate.Mutant(path, 1, 0, 0, "", "constant", original, "return 1;"))
            self.assertEqual(entry and entry.verdict, verdict, (path, original))

    def test_report_counts(self):
        entries = self.load("src/x.cpp: `b` -- equivalent: same behaviour\nsrc/x.cpp: `c` -- gap: needs a test\n")
        outcomes = ["killed", "timed out", "survived", "survived", "survived", "not compiled"]
        mutants = [mutate.Mutant("src/x.cpp", i, 0, 0, "", "constant", "orig%d" % i, t, i + 1)
                   for i, t in enumerate("aabcdz")]
        results = [{"outcome": o, "why": "", "seconds": 2.0} for o in outcomes]
        run = {"command": "tools/mutate.py", "commit": "abc", "date": "d", "host": "h", "buildDir": "build/mutate",
               "tests": 3, "suiteSeconds": 1.0, "seconds": 12.0}
        report = mutate.renderReport(run, mutants, results, entries)
        self.assertIn("Killed over compiled: 2 / 5 = 40.0 %", report)
        self.assertIn("Killed over behaviour-changing (equivalent survivors left out): 2 / 4 = 50.0 %", report)
        self.assertIn("| timed out (counts as killed) | 1 |", report)
        self.assertIn("| did not compile | 1 |", report)
        self.assertIn("#4 `src/x.cpp:3` constant — gap: needs a test\n\n```diff\n- orig3\n+ c\n```", report)
        self.assertIn("#5 `src/x.cpp:4` constant — not yet judged", report)


class RunningTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.folder)
        self.root = mutate.ROOT
        mutate.ROOT = self.folder
        self.addCleanup(setattr, mutate, "ROOT", self.root)
        (self.folder / "src").mkdir()
        self.source = self.folder / "src" / "x.cpp"
        self.source.write_bytes("int f() { return 1 < 2; }  // ü\n".encode("utf-8"))
        self.original = self.source.read_bytes()

    def test_the_file_comes_back(self):
        mutant = [m for m in mutantsOf(self.source.read_text("utf-8")) if m.operator == "comparison"][0]
        journal = self.folder / "journal.json"
        mutate.applyMutant(mutant, journal)
        self.assertIn(b"1 <= 2", self.source.read_bytes())
        self.assertEqual(mutate.restore(journal), "src/x.cpp")  # as after a run killed outright
        self.assertEqual(self.source.read_bytes(), self.original)
        self.assertFalse(journal.exists())
        self.assertIsNone(mutate.restore(journal))

    def test_a_hanging_suite_is_stopped_with_its_children(self):
        pidFile = self.folder / "child"
        started = time.monotonic()
        status, _ = mutate.runLogged(["sh", "-c", "sleep 60 & echo $! > %s; wait" % pidFile], 0.5,
                                     self.folder / "log", cwd=self.folder)
        self.assertIsNone(status)
        self.assertLess(time.monotonic() - started, 10)
        stat = Path("/proc/%s/stat" % pidFile.read_text().strip())
        time.sleep(0.2)
        alive = stat.exists() and stat.read_text().split(")")[-1].split()[0] != "Z"
        self.assertFalse(alive, "the suite's child outlived the time-out")
        self.assertEqual(mutate.runLogged(["sh", "-c", "exit 3"], 5, self.folder / "log", cwd=self.folder)[0], 3)


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)
    unittest.main()
