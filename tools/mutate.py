#!/usr/bin/env python3
"""Mutation check of src/: how many small faults does the fast test suite catch?

Draws a seeded sample of mutants from the files of src/ the fast suite compiles
and, one at a time, applies it, rebuilds korrin_tests and korrin_posix_tests in
build/mutate, runs every CTest test but the end-to-end ones under a time-out,
and puts the file back (also on Ctrl-C, SIGTERM, SIGHUP; after a run killed
outright, the next run restores it from a journal in the build directory).

    tools/mutate.py --seed 2028 --sample 150 --report tools/mutation-report.md
    tools/mutate.py --seed 2028 --list           # the sample, nothing run
    tools/mutate.py --seed 2028 --only 12 40     # only these mutants of the sample
    tools/mutate.py --prune                      # drop judgements the source no longer gives

Operators, found line by line in the code with comments, text literals,
preprocessor lines and the #if branches not compiled here blanked out:
comparisons flipped, && and || swapped, + and - swapped, integer constants +-1,
return true/false swapped and returned conditions negated, if and while
conditions negated, simple statements deleted.

Judgements (--equivalent), one surviving mutant a line, keyed by the file and
the mutated line as the report shows it, with the original line where one file
has the same mutated line from two sites:
    src/app/exits.cpp: `mutated line` -- equivalent: why the behaviour is the same
    src/app/exits.cpp: `mutated line` from `original line` -- gap: the test that would catch it
A key judged twice, or both ways, is refused.
"""

import argparse
import bisect
import datetime
import json
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
kTargets = ("korrin_tests", "korrin_posix_tests")
kExcluded = ("src/platform/win32/",)  # cannot be built on this machine
kJudgements = "tools/mutation-judgements.txt"
kBuildTimeout = 1800  # only a guard against a stuck compiler: a slow build is not the mutant's doing


# --- Reading C++


def blankOut(chars, start, end):
    for k in range(start, end):
        if chars[k] != "\n":
            chars[k] = " "


def maskCode(text, macros):
    """(code, shown): `code` is the text with comments, text literals,
    preprocessor lines and untaken #if branches blanked; `shown` has only the
    comments blanked. Both keep every newline, so offsets and lines agree."""
    code, shown = list(text), list(text)
    i, n = 0, len(text)
    while i < n:
        c, pair = text[i], text[i:i + 2]
        if pair in ("//", "/*"):
            end = text.find("\n", i) if pair == "//" else text.find("*/", i + 2)
            end = n if end < 0 else end + (2 if pair == "/*" else 0)
            blankOut(code, i, end)
            blankOut(shown, i, end)
            i = end
        elif c in "\"'":
            k = i + 1
            while k < n and text[k] not in (c, "\n"):
                k += 2 if text[k] == "\\" else 1
            blankOut(code, i, k + 1)
            i = k + 1
        else:
            i += 1
    # Preprocessor lines, and the lines of #if branches not taken here.
    taken = [True]  # whether the lines at each nesting level are compiled
    chosen = []     # for each open #if: whether one of its branches was taken
    offset = 0
    for line in "".join(code).split("\n"):
        directive = re.match(r"\s*#\s*(\w*)\s*(.*)", line)
        if directive:
            word, rest = directive.groups()
            if word in ("if", "ifdef", "ifndef"):
                cond = evalCondition(rest, macros) if word == "if" else ((rest.split() or [""])[0] in macros) == (
                    word == "ifdef")
                chosen.append(cond)
                taken.append(taken[-1] and cond)
            elif word in ("elif", "else") and chosen:
                cond = not chosen[-1] and (word == "else" or evalCondition(rest, macros))
                chosen[-1] = chosen[-1] or cond
                taken[-1] = taken[-2] and cond
            elif word == "endif" and chosen:
                chosen.pop()
                taken.pop()
        if directive or not taken[-1]:
            blankOut(code, offset, offset + len(line))
        offset += len(line) + 1
    # An attribute's arguments are the compiler's business, not behaviour.
    code = re.sub(r"__attribute__\s*\(\(.*?\)\)", lambda m: " " * len(m.group()), "".join(code))
    return code, "".join(shown)


def evalCondition(expr, macros):
    """An #if condition of defined(X), !, && and ||; anything else counts as taken."""
    expr = re.sub(r"defined\s*\(\s*(\w+)\s*\)|defined\s+(\w+)",
                  lambda m: " 1 " if (m.group(1) or m.group(2)) in macros else " 0 ", expr)
    if not re.fullmatch(r"[01\s()!&|]+", expr):
        return True
    python = expr.replace("&&", " and ").replace("||", " or ").replace("!", " not ")
    try:
        return bool(eval(python, {"__builtins__": {}}))  # nothing but 0, 1, brackets and boolean words
    except SyntaxError:
        return True


def macrosFor(text, compiler="c++"):
    """The macros a file sees from the compiler and the system headers it includes."""
    includes = "".join(line + "\n" for line in re.findall(r"^\s*#\s*include\s*<[^>]+>", text, re.M))
    try:
        out = subprocess.run([compiler, "-dM", "-E", "-x", "c++", "-"], input=includes, capture_output=True,
                             text=True, timeout=120).stdout
    except (OSError, subprocess.TimeoutExpired):
        out = ""
    return set(re.findall(r"^#define\s+(\w+)", out, re.M))


# --- Mutation sites


@dataclass
class Mutant:
    file: str
    line: int
    start: int
    end: int
    replacement: str
    operator: str
    original: str  # the site's line(s) as shown, whitespace collapsed
    mutated: str   # the same after the change: the judgement key
    id: int = 0


def collapse(text):
    return " ".join(text.split())


kFlips = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
kNotStatements = {"return", "case", "default", "using", "typedef", "namespace", "struct", "class", "enum", "union",
                  "template", "static_assert", "friend", "public", "private", "protected", "else", "extern", "goto"}
kDeclaration = re.compile(r"^(?:(?:const|constexpr|static|inline|thread_local|volatile|mutable|unsigned|signed|long|"
                          r"short|struct|enum|class)\s+)*[\w:]+(?:<[^;()]*>)?[\s*&]+[*&]*\w+\s*(?:[=;{(\[,:]|$)")


def closing(code, at):
    """The offset of the bracket that closes the one at `at`, or -1."""
    depth = 0
    for k in range(at, len(code)):
        depth += (code[k] in "([{") - (code[k] in ")]}")
        if depth == 0:
            return k
    return -1


def expressionAround(code, at):
    """(start, end) of the expression holding the operator at `at`: up to the
    bracket around it or the nearest ; , ? : { } or assignment outside brackets."""

    def stops(k):
        c, before, after = code[k], code[k - 1:k], code[k + 1:k + 2]
        return (c in ";,?{}" or (c == ":" and ":" not in (before, after))
                or (c == "=" and before not in "=!<>" and after != "="))

    def walk(k, step, opens, closes):
        depth = 0
        while 0 <= k < len(code):
            if code[k] in opens:
                depth += 1
            elif code[k] in closes:
                if depth == 0:
                    break
                depth -= 1
            elif depth == 0 and stops(k):
                break
            k += step
        return k

    start, end = walk(at - 1, -1, ")]", "([") + 1, walk(at, 1, "([", ")]")
    keyword = re.match(r"\s*return\b", code[start:end])
    return start + (keyword.end() if keyword else 0), end


def hasTopLevelLogical(code):
    depth = 0
    for k, c in enumerate(code):
        depth += (c in "([") - (c in ")]")
        if depth == 0 and code[k:k + 2] in ("&&", "||"):
            return True
    return False


def bodyLines(code):
    """The numbers (from 0) of the lines that begin inside a function body."""
    stack, lines, number = [], set(), 0
    for m in re.finditer(r"[{}\n]", code):
        if m.group() == "\n":
            number += 1
            if stack and stack[-1]:
                lines.add(number)
        elif m.group() == "{":  # a body follows a parameter list, a lambda's capture or a qualifier
            before = code[max(0, m.start() - 40):m.start()].rstrip()
            stack.append(bool(stack and stack[-1]) or bool(
                re.search(r"(?:[)\]]|\b(?:const|noexcept|override|final|mutable|else|do|try))$", before)))
        elif stack:
            stack.pop()
    return lines


def findMutants(path, text, code, shown):
    """Every mutant the file gives, in the order of the text."""
    found = []
    lineStarts = [0] + [m.end() for m in re.finditer("\n", text)]

    def add(start, end, replacement, operator):
        a = text.rfind("\n", 0, start) + 1
        b = text.find("\n", end)
        b = len(text) if b < 0 else b
        original = collapse(shown[a:b])
        mutated = "(deleted) " + original if operator == "delete-statement" else collapse(
            shown[a:start] + replacement + shown[end:b])
        line = bisect.bisect_right(lineStarts, start)
        found.append(Mutant(path, line, start, end, replacement, operator, original, mutated))

    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):  # templates' brackets never have spaces
        add(m.start(), m.end(), kFlips[m.group(1)], "comparison")

    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        # The operands keep their grouping: in `a && b && c`, swapping the second
        # gives `(a && b) || c`, which the compiler's -Werror=parentheses accepts.
        start, end = expressionAround(code, m.start())
        sides = [(start, m.start()), (m.end(), end)]
        parts = []
        for a, b in sides:
            lead, body = len(code[a:b]) - len(code[a:b].lstrip()), shown[a:b].strip()
            wrap = hasTopLevelLogical(code[a:b])
            parts.append(shown[a:a + lead] + ("(%s)" % body if wrap else body))
        swapped = "||" if m.group(1) == "&&" else "&&"
        add(start, end, "%s %s %s" % (parts[0], swapped, parts[1].lstrip()), "swap-logical")

    for m in re.finditer(r"(?<=\s)(\+=|-=|\+|-)(?=\s)", code):
        if re.search(r"[\w)\]]\s*$", code[max(0, m.start() - 80):m.start()]):  # binary, not a sign
            add(m.start(), m.end(), {"+": "-", "-": "+", "+=": "-=", "-=": "+="}[m.group(1)], "swap-arith")

    for m in re.finditer(r"(?<![\w.])(0[xX][0-9a-fA-F]+|[1-9][0-9]*|0)(?=[uUlL]*(?![\w.]))", code):
        literal = m.group(1)
        hexadecimal = literal[:2] in ("0x", "0X")
        value = int(literal, 16 if hexadecimal else 10)
        for changed in (value + 1, value - 1):
            if changed < 0:
                continue
            if hexadecimal:
                digits = literal[2:]
                lower = digits.lower() == digits and any(c.isalpha() for c in digits)
                add(m.start(), m.end(), literal[:2] + format(changed, "x" if lower else "X").zfill(len(digits)),
                    "constant")
            else:
                add(m.start(), m.end(), str(changed), "constant")

    for m in re.finditer(r"\breturn\s+([^;]+);", code):
        expr = m.group(1).strip()
        start = m.start(1)
        if expr in ("true", "false"):
            add(start, start + len(expr), "false" if expr == "true" else "true", "return-value")
        elif re.search(r"\s(?:[<>]=?|[!=]=|&&|\|\|)\s|^!", expr) and "?" not in expr:
            add(start, start + len(expr), "!(%s)" % shown[start:start + len(expr)], "return-value")

    for m in re.finditer(r"\b(?:if|while)\s*\(", code):
        close = closing(code, m.end() - 1)
        cond = code[m.end():close]
        if close < 0 or ";" in cond or re.search(r"(?<![=!<>])=(?!=)", cond) or kDeclaration.match(cond.strip()):
            continue  # a declaration in the condition cannot be negated
        lead = len(cond) - len(cond.lstrip())
        add(m.end() + lead, close, "!(%s)" % shown[m.end() + lead:close].strip(), "negate-condition")

    offset, before, bodies = 0, "", bodyLines(code)  # before: the last character of code on the lines above
    for number, line in enumerate(code.split("\n")):
        statement = line.strip()
        first = offset + len(line) - len(line.lstrip())
        word = re.match(r"\w*", statement).group()
        if (number in bodies and statement.endswith(";") and re.match(r"[\w(*]|\+\+|--", statement) and before in (";", "{", "}", ":")
                and word not in kNotStatements and not kDeclaration.match(statement)
                and closing("(" + statement + ")", 0) == len(statement) + 1
                and not re.fullmatch(r"\(void\)\s*\w+;", statement)):  # (void)x only marks x unused
            add(first, first + len(statement), "", "delete-statement")
        if statement:
            before = "::" if statement.endswith("::") else statement[-1]
        offset += len(line) + 1

    unique = {}
    for mutant in sorted(found, key=lambda x: (x.start, x.operator)):
        unique.setdefault((mutant.line, mutant.mutated), mutant)  # two operators, one text: one mutant
    return list(unique.values())


# --- Which files, and the sample


def git(*args):
    return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True).stdout


def compiledFiles(buildDir):
    """Files of src/ that the fast suite's targets compile, headers included."""
    ninja = ["ninja", "-C", str(buildDir), "-t"]
    inputs = subprocess.run(ninja + ["inputs", *kTargets], capture_output=True, text=True).stdout.split()
    objects = [p for p in inputs if p.endswith(".o")]
    deps = subprocess.run(ninja + ["deps", *objects], capture_output=True, text=True).stdout if objects else ""
    files = set()
    for p in inputs + [line.strip() for line in deps.splitlines() if line.startswith("    ")]:
        full = (buildDir / p).resolve()
        if full.is_relative_to(ROOT / "src"):
            files.add(full.relative_to(ROOT).as_posix())
    return files


def population(paths, compiler="c++"):
    """{path: (non-blank compiled lines, its mutants)} for the given files of src/."""
    result = {}
    for path in sorted(paths):
        text = (ROOT / path).read_text(encoding="utf-8")
        code, shown = maskCode(text, macrosFor(text, compiler))
        result[path] = (sum(1 for line in code.split("\n") if line.strip()), findMutants(path, text, code, shown))
    return result


def drawSample(pop, seed, size):
    """A file drawn by its share of compiled lines, then a mutant of it, until
    `size` are drawn: a file with many constants is not drawn more for them."""
    rng = random.Random(seed)
    paths = [p for p in sorted(pop) if pop[p][1]]
    left = {p: list(pop[p][1]) for p in paths}
    chosen = []
    while len(chosen) < size and paths:
        path = rng.choices(paths, weights=[pop[p][0] for p in paths])[0]
        chosen.append(left[path].pop(rng.randrange(len(left[path]))))
        if not left[path]:
            paths.remove(path)
    chosen.sort(key=lambda m: (m.file, m.start, m.operator))
    for number, mutant in enumerate(chosen, start=1):
        mutant.id = number
    return chosen


# --- Building and testing


def interrupt(signum, frame):
    raise KeyboardInterrupt("signal %d" % signum)


def runLogged(command, timeout, logPath, cwd=ROOT):
    """(exit status, or None when it timed out; seconds). The command runs in
    a process group of its own, ended on a time-out or an interruption."""
    started = time.monotonic()
    with open(logPath, "wb") as log:
        process = subprocess.Popen(command, cwd=cwd, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except BaseException as problem:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, sig)
                    process.wait(timeout=5)
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass
            if not isinstance(problem, subprocess.TimeoutExpired):
                raise
            status = None
    return status, time.monotonic() - started


def configure(buildDir):
    if (buildDir / "CMakeCache.txt").exists():
        return True
    command = ["nice", "cmake", "--preset", "native", "-B", str(buildDir)]  # the native build's settings
    return runLogged(command, kBuildTimeout, buildDir / "mutate-configure.log")[0] == 0


def build(buildDir, jobs):
    return runLogged(["nice", "cmake", "--build", str(buildDir), "-j", str(jobs), "--target", *kTargets],
                     kBuildTimeout, buildDir / "mutate-build.log")


# The line-error campaign (thousands of whole updates, 40 s) would triple the
# time of every mutant; CI runs it, and rows of the fault matrix stand for it here.
kLeftToCi = "LineErrorCampaign"


def runSuite(buildDir, jobs, timeout):
    return runLogged(["nice", "ctest", "--test-dir", str(buildDir), "-LE", "e2e", "-E", kLeftToCi, "-j", str(jobs),
                      "--stop-on-failure", "--timeout", str(timeout)], timeout, buildDir / "mutate-test.log")


def firstFailure(log):
    failed = re.findall(r"^\s*\d+\s*-\s*(\S+)\s*\(([^)]*)\)", log.split("tests FAILED:")[-1], re.M)
    return "%s (%s)" % failed[0] if "tests FAILED:" in log and failed else "ctest failed"


def applyMutant(mutant, journal):
    """Writes the mutant into its file, the original first into the journal."""
    data = (ROOT / mutant.file).read_bytes()
    journal.write_text(json.dumps({"file": mutant.file, "original": data.decode("latin-1")}))
    text = data.decode("utf-8")
    (ROOT / mutant.file).write_text(text[:mutant.start] + mutant.replacement + text[mutant.end:], encoding="utf-8")


def restore(journal):
    """Puts back the file the journal holds, if any: also after a run killed outright."""
    if not journal.exists():
        return None
    entry = json.loads(journal.read_text())
    (ROOT / entry["file"]).write_bytes(entry["original"].encode("latin-1"))
    journal.unlink()
    return entry["file"]


def runMutant(mutant, buildDir, jobs, timeout):
    """The mutant's outcome: killed, survived, timed out or not compiled, and
    what killed it or stopped the build."""
    journal = buildDir / "mutate-journal.json"
    applyMutant(mutant, journal)
    try:
        status, buildSeconds = build(buildDir, jobs)
        log = (buildDir / "mutate-build.log").read_text(errors="replace")
        testSeconds = 0.0
        if status != 0 and "Error running test executable" in log:  # built, then died listing its tests
            outcome, why = "killed", "test discovery"
        elif status != 0:
            errors = re.findall(r"(?:\berror: |undefined reference).*$", log, re.M)
            outcome, why = "not compiled", errors[0][:160] if errors else "build failed"
        else:
            status, testSeconds = runSuite(buildDir, jobs, timeout)
            if status is None:
                outcome, why = "timed out", "the suite took over %d s" % timeout
            elif status != 0:
                outcome, why = "killed", firstFailure((buildDir / "mutate-test.log").read_text(errors="replace"))
            else:
                outcome, why = "survived", ""
    finally:
        restore(journal)
    return {"outcome": outcome, "why": why, "seconds": buildSeconds + testSeconds}


# --- Judgements


kJudgementLine = re.compile(r"^(?P<file>[^:\s]+):\s+`(?P<mutated>[^`]*)`(?:\s+from\s+`(?P<original>[^`]*)`)?"
                            r"\s+--\s+(?P<verdict>equivalent|gap):\s*(?P<reason>.+)$")


@dataclass(eq=False)
class Judgement:
    file: str
    mutated: str
    original: str  # "" when the mutated text alone is the key
    verdict: str
    reason: str
    where: int


class JudgementError(Exception):
    pass


def loadJudgements(path):
    """The entries of a judgements file. Refuses a line it does not read and a
    key judged twice: either would move a mutant between the counts unseen."""
    entries, problems, keys = [], [], {}
    for number, raw in enumerate(Path(path).read_text().splitlines(), start=1):
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        m = kJudgementLine.match(raw.strip())
        if not m:
            problems.append("%s:%d: not understood, expected: file: `mutated` [from `original`] -- equivalent|gap: "
                            "reason" % (path, number))
            continue
        entry = Judgement(m["file"], collapse(m["mutated"]), collapse(m["original"] or ""), m["verdict"],
                          m["reason"].strip(), number)
        entries.append(entry)
        keys.setdefault((entry.file, entry.mutated), []).append(entry)
    for (path_, mutated), same in keys.items():
        originals = [e.original for e in same]
        if len(same) > 1 and ("" in originals or len(set(originals)) < len(originals)):
            problems.append("%s: `%s` judged %s (lines %s): one entry a mutant" % (
                path_, mutated, "both ways" if len({e.verdict for e in same}) > 1 else "more than once",
                ", ".join(str(e.where) for e in same)))
    if problems:
        raise JudgementError("\n".join(problems))
    return entries


def judge(entries, mutant):
    """The entry for this mutant: by its mutated text, and its original where named."""
    return next((e for e in entries if e.file == mutant.file and e.mutated == mutant.mutated
                 and e.original in (mutant.original, "")), None)  # loadJudgements allows one at most


def prune(path, pop):
    """Drops the entries whose mutant the current source no longer gives."""
    entries = loadJudgements(path)
    gone = {e.where for e in entries
            if not any(judge([e], m) for m in (pop[e.file][1] if e.file in pop else []))}
    lines = Path(path).read_text().splitlines(keepends=True)
    Path(path).write_text("".join(line for number, line in enumerate(lines, 1) if number not in gone))
    for e in entries:
        if e.where in gone:
            print("dropped %s: `%s` -- %s" % (e.file, e.mutated, e.verdict))
    print("%s: %d entries, %d dropped" % (path, len(entries), len(gone)))
    return len(gone)


# --- The report


def percent(part, whole):
    return "%d / %d = %.1f %%" % (part, whole, 100.0 * part / whole) if whole else "%d / 0" % part


def quoted(text):
    return "`%s`" % text.replace("`", "'").replace("|", "\\|")


def renderReport(run, mutants, results, entries):
    count = {k: sum(r["outcome"] == k for r in results) for k in ("killed", "timed out", "survived", "not compiled")}
    survivors = [(m, judge(entries, m)) for m, r in zip(mutants, results) if r["outcome"] == "survived"]
    equivalent = [s for s in survivors if s[1] and s[1].verdict == "equivalent"]
    caught = count["killed"] + count["timed out"]
    compiled = caught + count["survived"]
    seconds = [r["seconds"] for r in results] or [0.0]
    out = ["# Mutation check of src/", "",
           "`%s` on commit %s (%s), %s." % (run["command"], run["commit"], run["date"], run["host"]), "",
           *(["**%s.**" % run["interrupted"], ""] if run.get("interrupted") else []),
           "Fast suite: every CTest test but the end-to-end ones and the line-error campaign (`ctest -LE e2e -E LineErrorCampaign`, %d tests, %.1f s unmutated); "
           "each mutant rebuilds %s in `%s`." % (run["tests"], run["suiteSeconds"],
                                                 " and ".join("`%s`" % t for t in kTargets), run["buildDir"]), "",
           "| Outcome | Mutants |", "|---|---|", "| drawn | %d |" % len(results)]
    out += ["| %s | %d |" % (name, count[key]) for name, key in (
        ("killed (a test failed)", "killed"), ("timed out (counts as killed)", "timed out"),
        ("survived", "survived"), ("did not compile", "not compiled"))]
    out += ["| of the survivors: judged equivalent | %d |" % len(equivalent), "",
            "- **Killed over compiled: %s**" % percent(caught, compiled),
            "- **Killed over behaviour-changing (equivalent survivors left out): %s**"
            % percent(caught, compiled - len(equivalent)),
            "- Time: %.0f s in all; a mutant takes %.1f s on average (median %.1f s, longest %.1f s)." % (
                run["seconds"], statistics.mean(seconds), statistics.median(seconds), max(seconds)), "",
            "## Survivors (%d)" % len(survivors), ""]
    for m, entry in survivors:
        note = "%s: %s" % (entry.verdict, entry.reason) if entry else "not yet judged"
        out += ["#%d `%s:%d` %s — %s" % (m.id, m.file, m.line, m.operator, note), "", "```diff",
                "- " + m.original, "+ " + m.mutated, "```", ""]
    out += ["## Every mutant", "", "| # | Where | Operator | Mutated | Outcome | Seconds |", "|---|---|---|---|---|---|"]
    for m, r in zip(mutants, results):
        out.append("| %d | %s:%d | %s | %s | %s | %.1f |" % (
            m.id, m.file, m.line, m.operator, quoted(m.mutated),
            r["outcome"] + (": " + quoted(r["why"]) if r["why"] else ""), r["seconds"]))
    return "\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample", type=int, default=150)
    parser.add_argument("--jobs", type=int, default=1, help="build and test jobs (default 1: the machine is shared)")
    parser.add_argument("--timeout", type=float, help="seconds per mutant's suite (default: 5 times the unmutated "
                                                      "suite's, at least 30)")
    parser.add_argument("--build-dir", default="build/mutate")
    parser.add_argument("--report", help="write the markdown report here")
    parser.add_argument("--equivalent", default=kJudgements, help="the judgements file (default %(default)s)")
    parser.add_argument("--list", action="store_true", help="show the sample, run nothing")
    parser.add_argument("--only", type=int, nargs="+", help="run only these mutants of the sample")
    parser.add_argument("--prune", action="store_true",
                        help="run nothing: drop the judgements whose mutant the source no longer gives")
    args = parser.parse_args(argv)

    buildDir = (ROOT / args.build_dir).resolve()
    try:
        entries = loadJudgements(ROOT / args.equivalent)
    except JudgementError as problems:
        print("%s\n%s refused: fix the lines above" % (problems, args.equivalent), file=sys.stderr)
        return 2
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):  # background jobs start with SIGINT ignored
        signal.signal(sig, interrupt)
    buildDir.mkdir(parents=True, exist_ok=True)
    recovered = restore(buildDir / "mutate-journal.json")
    if recovered:
        print("restored %s, left mutated by a run that was killed" % recovered, file=sys.stderr)
    if git("status", "--porcelain", "--", "src").strip():
        print("src/ has changes: commit or stash them first, as the run ends by checking src/ against git",
              file=sys.stderr)
        return 2

    started, commit = time.monotonic(), git("rev-parse", "--short", "HEAD").strip()
    if not configure(buildDir) or build(buildDir, args.jobs)[0] != 0:
        print("the unmutated tree does not build in %s (see its mutate-*.log)" % buildDir, file=sys.stderr)
        return 2
    compiler = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", (buildDir / "CMakeCache.txt").read_text(), re.M)
    compiled = {p for p in compiledFiles(buildDir) if not p.startswith(kExcluded)}
    pop = population(compiled, compiler.group(1) if compiler else "c++")
    if args.prune:
        return 0 if prune(ROOT / args.equivalent, pop) >= 0 else 1
    mutants = drawSample(pop, args.seed, args.sample)
    if args.only:
        mutants = [m for m in mutants if m.id in args.only]
    if args.list:
        print("%d files, %d mutants possible, %d drawn (seed %d)" % (
            len(pop), sum(len(v[1]) for v in pop.values()), len(mutants), args.seed))
        for m in mutants:
            print("#%-3d %s:%d %s\n       %s\n    -> %s" % (m.id, m.file, m.line, m.operator, m.original, m.mutated))
        return 0

    status, suiteSeconds = runSuite(buildDir, args.jobs, 600)
    if status != 0:
        print("the fast suite fails on the unmutated tree: %s" % (buildDir / "mutate-test.log"), file=sys.stderr)
        return 2
    timeout = args.timeout or max(30.0, 5 * suiteSeconds)
    tests = len(re.findall(r"Test\s+#\d+:", (buildDir / "mutate-test.log").read_text()))
    print("fast suite: %d tests, %.1f s unmutated (time-out %.0f s); %d mutants, seed %d" % (
        tests, suiteSeconds, timeout, len(mutants), args.seed), flush=True)

    results, interrupted = [], False
    try:
        for m in mutants:
            results.append(runMutant(m, buildDir, args.jobs, timeout))
            done = time.monotonic() - started
            print("#%-3d %-12s %5.1f s  %s:%d %s: %s  [%d/%d, %.0f s so far]" % (
                m.id, results[-1]["outcome"], results[-1]["seconds"], m.file, m.line, m.operator, m.mutated,
                len(results), len(mutants), done), flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print("\ninterrupted after %d of %d mutants" % (len(results), len(mutants)), file=sys.stderr)
    finally:
        restore(buildDir / "mutate-journal.json")
        if subprocess.run(["git", "diff", "--quiet", "--", "src"], cwd=ROOT).returncode != 0:
            print("src/ differs from git after the run: check `git diff src`", file=sys.stderr)

    run = {"command": " ".join(["tools/mutate.py", *(argv if argv is not None else sys.argv[1:])]),
           "commit": commit, "date": datetime.date.today().isoformat(),
           "host": "%s, %d cores, %d job%s" % (os.uname().sysname, os.cpu_count() or 0, args.jobs,
                                               "" if args.jobs == 1 else "s"),
           "buildDir": os.path.relpath(buildDir, ROOT), "tests": tests, "suiteSeconds": suiteSeconds,
           "seconds": time.monotonic() - started,
           "interrupted": "%d of %d mutants ran: the run was interrupted" % (len(results), len(mutants))
           if interrupted else ""}
    report = renderReport(run, mutants, results, entries)
    if args.report:
        Path(args.report).write_text(report)
    print(report[report.index("| Outcome"):report.index("\n## ")])  # the counts and the time
    return 130 if interrupted else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        sys.exit(130)
    except BrokenPipeError:  # --list into head
        sys.exit(0)
