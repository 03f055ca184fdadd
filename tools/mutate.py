#!/usr/bin/env python3
"""Mutation check of src/: how many small faults does the fast test suite catch?

Draws a seeded sample of mutants from src/ (each file's share proportional to
its non-blank lines), and for each one: applies it, rebuilds what the fast
suite needs in its own build directory, runs every CTest test but the
end-to-end runs, restores the file. A mutant is killed when a test fails or
times out, survives when the suite passes, and does not count when it does not
compile. The source file is always restored, also on Ctrl-C.

    tools/mutate.py --seed 2026 --sample 150 --report tools/mutation-baseline.md \
        --equivalent tools/mutation-judgements.txt
    tools/mutate.py --list                      # the sample, nothing run
    tools/mutate.py --render-only --report ...  # the report again from the last run's results
    tools/mutate.py --seed 2026 --only 36 57    # these mutants again, merged into the last run
    tools/mutate.py --seed 7 --all-failures     # every failing test kept: which tests alone kill
    tools/mutate.py --prune                     # prune the judgements against the last run, run nothing

Each mutant costs an incremental build (a source file: 2-5 s; a header that
most files include: 20-60 s, twice, as restoring it rebuilds too) and the fast
suite (about 3 s).

Judgements (--equivalent): one surviving mutant a line, keyed by file and
mutated text (and the original text where two sites of a file give the same
mutated text), never by line number, with a verdict:
    src/app/exits.cpp: `if (steps.before) {` -- equivalent: the reason
    src/app/exits.cpp: `(deleted) consoleKey();` -- gap: the test that would catch it
    src/app/exits.cpp: `return 2;` from `return 1;` -- equivalent: the reason
Only "equivalent" entries leave the behaviour-changing count; "gap" notes are
shown beside their survivor. A key judged both ways, or twice, is refused.
After each run the file is pruned: an entry that judges no survivor of the run
and no mutant the current source gives is dropped; one whose mutant the source
still gives is kept, for another sample may draw it.
"""

import argparse
import base64
import bisect
import datetime
import json
import os
import platform
import random
import re
import signal
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

kSourceSuffixes = (".cpp", ".cc", ".h", ".hpp")
# Cannot be built or run on this machine.
kExcludedPrefixes = ("src/platform/win32/",)
kFastTargets = ("korrin_tests", "korrin_posix_tests")
kEndToEndLabel = "e2e"
kDefaultJudgements = "tools/mutation-judgements.txt"
kBuildTimeoutSeconds = 900  # a build is not the mutant's fault; only a guard against a stuck compiler
kKillGraceSeconds = 5


# --------------------------------------------------------------------------
# Reading C++: which characters are code


def predefinedMacros(compiler):
    try:
        out = subprocess.run([compiler, "-dM", "-E", "-x", "c++", os.devnull], capture_output=True, text=True,
                             timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        out = ""
    names = set(re.findall(r"^#define\s+(\w+)", out, re.M))
    return names or {"__linux__", "__GNUC__", "__unix__"}


def evalCondition(expr, macros):
    """True/False for conditions made of defined(X), !, && and ||; True when unsure."""
    expr = re.sub(r"//.*|/\*.*?\*/", " ", expr)
    expr = re.sub(r"defined\s*\(\s*(\w+)\s*\)|defined\s+(\w+)",
                  lambda m: "1" if (m.group(1) or m.group(2)) in macros else "0", expr)
    if not re.fullmatch(r"[01\s()!&|]*", expr) or not expr.strip():
        return True
    py = expr.replace("&&", " and ").replace("||", " or ").replace("!", " not ")
    try:
        return bool(eval(py, {"__builtins__": {}}))  # only 0, 1 and boolean operators reach here
    except Exception:
        return True


def codeMask(text, macros):
    """The text with comments, literals of text, preprocessor lines and inactive
    #if branches blanked out (newlines kept); the text with only its comments
    blanked; and the set of inactive line numbers."""
    out = list(text)
    uncommented = list(text)
    n = len(text)
    inactiveLines = set()
    stack = []  # [parentActive, branchTaken]
    active = True
    i = 0
    line = 1
    atLineStart = True

    def blank(a, b, comment=False):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "
                if comment:
                    uncommented[k] = " "

    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            atLineStart = True
            i += 1
            continue
        if atLineStart and c in " \t":
            i += 1
            continue
        if atLineStart and c == "#":
            end = i
            while True:
                k = text.find("\n", end)
                if k == -1:
                    k = n
                if k > i and text[k - 1] == "\\" and k < n:
                    end = k + 1
                    continue
                break
            directive = text[i + 1:k].replace("\\\n", " ").strip()
            words = directive.split(None, 1)
            name = words[0] if words else ""
            rest = words[1] if len(words) > 1 else ""
            if name in ("if", "ifdef", "ifndef"):
                if name == "if":
                    cond = evalCondition(rest, macros)
                else:
                    macro = rest.split()[0] if rest.split() else ""
                    cond = (macro in macros) == (name == "ifdef")
                stack.append([active, cond])
                active = active and cond
            elif name == "elif" and stack:
                parent, taken = stack[-1]
                cond = (not taken) and evalCondition(rest, macros)
                stack[-1][1] = taken or cond
                active = parent and cond
            elif name == "else" and stack:
                parent, taken = stack[-1]
                stack[-1][1] = True
                active = parent and not taken
            elif name == "endif" and stack:
                active = stack.pop()[0]
            blank(i, k)
            line += text.count("\n", i, k)
            i = k
            atLineStart = False
            continue
        atLineStart = False
        if not active:
            k = text.find("\n", i)
            k = n if k == -1 else k
            blank(i, k)
            inactiveLines.add(line)
            i = k
            continue
        nxt = text[i + 1] if i + 1 < n else ""
        if c == "/" and nxt == "/":
            k = text.find("\n", i)
            k = n if k == -1 else k
            blank(i, k, comment=True)
            i = k
        elif c == "/" and nxt == "*":
            k = text.find("*/", i + 2)
            k = n if k == -1 else k + 2
            line += text.count("\n", i, k)
            blank(i, k, comment=True)
            i = k
        elif c == '"' and i > 0 and text[i - 1] == "R" and (i < 2 or not (text[i - 2].isalnum() or text[i - 2] == "_")):
            m = re.match(r'"([^()\\\s]{0,16})\(', text[i:])
            close = ")" + (m.group(1) if m else "") + '"'
            k = text.find(close, i + 1)
            k = n if k == -1 else k + len(close)
            line += text.count("\n", i, k)
            blank(i - 1, k)
            i = k
        elif c in "\"'":
            if c == "'" and isDigitSeparator(text, i):
                i += 1
                continue
            k = i + 1
            while k < n and text[k] != c and text[k] != "\n":
                k += 2 if text[k] == "\\" else 1
            k = min(k + 1, n)
            blank(i, k)
            i = k
        else:
            i += 1
    return "".join(out), "".join(uncommented), inactiveLines


def isDigitSeparator(text, i):
    k = i - 1
    while k >= 0 and (text[k].isalnum() or text[k] in "_'"):
        k -= 1
    token = text[k + 1:i]
    return bool(token) and token[0].isdigit() and i + 1 < len(text) and text[i + 1].isalnum()


# --------------------------------------------------------------------------
# Where the functions are: for each '{', what it opens


kControlWords = {"if", "for", "while", "switch", "catch", "return", "sizeof", "alignof", "decltype", "else", "do"}
kIntegerType = re.compile(
    r"(?:const\s+)?(?:std::)?(?:u?int(?:8|16|32|64)?_t|u?int_(?:least|fast)(?:8|16|32|64)_t|size_t|ssize_t|"
    r"ptrdiff_t|u?intptr_t|int|long|long long|short|unsigned(?: int| long| short| char)?|signed(?: char)?|char|"
    r"DWORD|WORD|BYTE|UINT|BOOL)")


def matchingBackward(mask, p):
    """Start of the statement or header that ends just before mask[p]."""
    depth = 0
    k = p - 1
    while k >= 0:
        c = mask[k]
        if c in ")]":
            depth += 1
        elif c in "([":
            depth -= 1
        elif depth <= 0 and c in ";{}":
            break
        k -= 1
    return k + 1


def classifyBrace(mask, p):
    """('func', return type or None) when the brace at p opens a function or
    lambda body, else ('other', None)."""
    header = " ".join(mask[matchingBackward(mask, p):p].split())
    lam = re.search(r"\]\s*(?:\((?:[^()]|\([^()]*\))*\))?\s*(?:mutable\s*)?(?:noexcept\s*)?(?:->\s*(?P<ret>[^{]+?))?\s*$",
                    header)
    if lam and "[" in header:
        return ("func", lam.group("ret").strip() if lam.group("ret") else None)
    fn = re.match(r"^(?P<pre>.*?)(?P<name>[~\w:]+)\s*\((?P<params>.*)\)\s*(?:const\s*)?(?:noexcept\s*)?"
                  r"(?:override\s*)?(?:final\s*)?(?:->\s*(?P<trail>.+?))?\s*$", header)
    if not fn or fn.group("name") in kControlWords or re.search(r"\b(?:if|for|while|switch)\b|=", fn.group("pre")):
        return ("other", None)
    ret = fn.group("trail") or fn.group("pre")
    ret = re.sub(r"\b(?:inline|static|constexpr|virtual|explicit|extern|friend)\b|\[\[[^\]]*\]\]", " ", ret)
    ret = " ".join(ret.split())
    if not ret:  # a constructor, or a function-like macro
        return ("other", None)
    return ("func", ret)


def functionContext(mask):
    """For each '{' and '}' offset, the stack of open braces; returns a function
    that gives, for an offset, (inside any function, innermost function's return type)."""
    events = []  # (offset, stack snapshot after it)
    stack = []
    for m in re.finditer(r"[{}]", mask):
        if m.group() == "{":
            stack.append(classifyBrace(mask, m.start()))
        elif stack:
            stack.pop()
        events.append((m.start(), list(stack)))
    offsets = [e[0] for e in events]

    def at(pos):
        idx = bisect.bisect_right(offsets, pos) - 1
        current = events[idx][1] if idx >= 0 else []
        funcs = [entry for entry in current if entry[0] == "func"]
        return (bool(funcs), funcs[-1][1] if funcs else None)

    return at


# --------------------------------------------------------------------------
# Mutation operators


@dataclass
class Mutant:
    file: str
    line: int
    start: int
    end: int
    replacement: str
    operator: str
    original: str = ""  # the source line(s), stripped
    mutated: str = ""   # the same line(s) after the change, stripped; the judgement key
    replaced: str = ""  # text[start:end] before the change
    order: tuple = ()   # where the operator itself is: the sample's order
    id: int = 0


def siteLines(text, start, end):
    a = text.rfind("\n", 0, start) + 1
    b = text.find("\n", end)
    return a, (len(text) if b == -1 else b)


def describe(path, text, shown, lineStarts, start, end, replacement, operator, order):
    """`shown`: the text as the report shows it (without comments)."""
    a, b = siteLines(text, start, end)
    before = shown[a:b]
    after = shown[a:start] + replacement + shown[end:b]
    line = bisect.bisect_right(lineStarts, order[0])
    original = " ".join(part.strip() for part in before.splitlines())
    if operator == "delete-statement":
        mutated = "(deleted) " + original
    else:
        mutated = " ".join(part.strip() for part in after.splitlines())
    return Mutant(path, line, start, end, replacement, operator, original.strip(), mutated.strip(), text[start:end],
                  order)


kComparisonFlips = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
kNotStatements = {"return", "case", "default", "using", "typedef", "namespace", "struct", "class", "enum",
                  "template", "static_assert", "friend", "public", "private", "protected", "else", "goto",
                  "throw", "delete", "co_return", "co_yield", "union", "extern"}
kDeclaration = re.compile(
    r"^(?:(?:const|constexpr|static|inline|thread_local|volatile|extern|mutable|unsigned|signed|long|short|"
    r"struct|enum|class)\s+)*[\w:]+(?:<[^;()]*>)?[\s*&]+[*&]*\w+\s*(?:[=;{(\[,:]|$)")


def previousCodeChar(mask, pos):
    k = pos - 1
    while k >= 0 and mask[k].isspace():
        k -= 1
    return mask[k] if k >= 0 else ""


def balanced(s):
    return all(s.count(a) == s.count(b) for a, b in ("()", "[]", "{}"))


def logicalExtent(mask, pos):
    """The expression around the operator at `pos`: up to the enclosing bracket
    or the nearest , ; ? : { } or assignment at the same depth."""

    def stops(k):
        c = mask[k]
        if c in ";,?{}":
            return True
        if c == ":" and mask[k - 1:k] != ":" and mask[k + 1:k + 2] != ":":
            return True
        return c == "=" and mask[k - 1:k] not in ("=", "!", "<", ">") and mask[k + 1:k + 2] != "="

    def walk(k, step, opens, closes):
        """From `k` in direction `step` to the first stop outside brackets, or
        the bracket that encloses the operator."""
        depth = 0
        while 0 <= k < len(mask):
            c = mask[k]
            if c in opens:
                depth += 1
            elif c in closes:
                if depth == 0:
                    break
                depth -= 1
            elif depth == 0 and stops(k):
                break
            k += step
        return k

    start = walk(pos - 1, -1, ")]", "([") + 1
    k = walk(pos, 1, "([", ")]")
    keyword = re.match(r"\s*return\b", mask[start:k])
    if keyword:
        start += keyword.end()
    return start, k


def swapLogical(mask, shown, pos):
    """(start, end, text) that swaps the operator at `pos` with the grouping
    made explicit, or (.., None) when a plain swap needs no parentheses."""
    start, end = logicalExtent(mask, pos)
    tokens = []  # operands (text) and operators ((kind, offset))
    depth = 0
    last = start
    k = start
    while k < end:
        c = mask[k]
        depth += (c in "([") - (c in ")]")
        if depth == 0 and mask[k:k + 2] in ("&&", "||"):
            tokens.append(shown[last:k].strip())
            tokens.append((mask[k:k + 2], k))
            last = k + 2
            k += 2
            continue
        k += 1
    tokens.append(shown[last:end].strip())
    kinds = {t[0] for t in tokens[1::2]}
    if len(kinds) == 1 and len(tokens) <= 3 or not all(tokens[0::2]):
        return start, end, None

    # Parse with && binding tighter than ||, left to right.
    def parseLevel(items, op):
        parts = [[]]
        for item in items:
            if isinstance(item, tuple) and item[0] == op:
                parts.append([])
                parts[-1].append(item)
            else:
                parts[-1].append(item)
        return parts

    def build(items, op):
        if op == "||":
            groups = parseLevel(items, "||")
            node = build(groups[0], "&&")
            for group in groups[1:]:
                node = (group[0][0], group[0][1], node, build(group[1:], "&&"))
            return node
        node = items[0]
        for i in range(1, len(items), 2):
            node = (items[i][0], items[i][1], node, items[i + 1])
        return node

    def render(node):
        if isinstance(node, str):
            return node
        op, where, left, right = node
        op = ("||" if op == "&&" else "&&") if where == pos else op
        sides = []
        for child in (left, right):
            inner = render(child)
            if not isinstance(child, str) and swappedOp(child) != op:
                inner = "(" + inner + ")"
            sides.append(inner)
        return "%s %s %s" % (sides[0], op, sides[1])

    def swappedOp(node):
        return ("||" if node[0] == "&&" else "&&") if node[1] == pos else node[0]

    return start, end, " " * (len(mask[start:end]) - len(mask[start:end].lstrip())) + render(build(tokens, "||"))


def findMutants(path, text, mask, shown):
    lineStarts = [0] + [m.end() for m in re.finditer("\n", text)]
    context = functionContext(mask)
    found = []

    def add(start, end, replacement, operator, order=None):
        found.append(describe(path, text, shown, lineStarts, start, end, replacement, operator,
                              order or (start, end, operator, replacement)))

    # Return values.
    for m in re.finditer(r"\breturn\b([^;]*);", mask):
        exprStart, exprEnd = m.start(1), m.end(1)
        expr = text[exprStart:exprEnd].strip()
        if not expr:
            continue
        lead = len(text[exprStart:exprEnd]) - len(text[exprStart:exprEnd].lstrip())
        s, e = exprStart + lead, exprStart + lead + len(expr)
        if expr in ("true", "false"):
            add(s, e, "false" if expr == "true" else "true", "return-value")
            continue
        inside, returnType = context(m.start())
        if not inside or not returnType:
            continue
        if returnType == "bool":
            add(s, e, "!(" + expr + ")", "return-value")
        elif kIntegerType.fullmatch(returnType):
            add(s, e, "1" if expr == "0" else "0", "return-value")
        elif returnType.endswith("*") and expr != "nullptr":
            add(s, e, "nullptr", "return-value")

    # Comparisons, written with a space either side (template brackets never are).
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", mask):
        add(m.start(), m.end(), kComparisonFlips[m.group(1)], "comparison")

    # Integer literals, one more and one less; not bit-field widths (a record's layout).
    for m in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|[1-9][0-9']*|0)([uUlL]*)(?![\w.'])", mask):
        a, b = siteLines(mask, m.start(), m.end())
        lineText = mask[a:b]
        if re.match(r"^\s*[\w:]+\s+\w+\s*:\s*\d+\s*;", lineText) or "__attribute__" in lineText:
            continue
        literal = m.group(1).replace("'", "")
        value = int(literal, 16) if literal[:2] in ("0x", "0X") else int(literal)
        for delta in (1, -1):
            if value + delta < 0:
                continue
            if literal[:2] in ("0x", "0X"):
                digits = literal[2:]
                lower = any(c.isalpha() for c in digits) and digits.lower() == digits
                newLiteral = literal[:2] + format(value + delta, "x" if lower else "X").zfill(len(digits))
            else:
                newLiteral = str(value + delta)
            add(m.start(1), m.end(1), newLiteral, "constant")

    # Conditions of if and while, negated.
    for m in re.finditer(r"\b(if|while)\s*\(", mask):
        if re.match(r"if\s+constexpr", mask[m.start():]):
            continue
        openAt = m.end() - 1
        depth = 0
        closeAt = -1
        for k in range(openAt, len(mask)):
            if mask[k] == "(":
                depth += 1
            elif mask[k] == ")":
                depth -= 1
                if depth == 0:
                    closeAt = k
                    break
        if closeAt < 0:
            continue
        condStart = openAt + 1
        inner = mask[condStart:closeAt]
        depth = 0
        for k, c in enumerate(inner):
            depth += (c in "([{") - (c in ")]}")
            if c == ";" and depth == 0:
                condStart = openAt + 1 + k + 1
        cond = text[condStart:closeAt]
        if not cond.strip() or kDeclaration.match(" ".join(mask[condStart:closeAt].split())):
            continue
        lead = len(cond) - len(cond.lstrip())
        add(condStart + lead, closeAt, "!(" + cond.strip() + ")", "negate-condition")

    # Whole simple statements inside a function: calls, assignments, increments.
    for number, a in enumerate(lineStarts, start=1):
        b = text.find("\n", a)
        b = len(text) if b == -1 else b
        code = mask[a:b]
        stripped = code.strip()
        if not stripped.endswith(";") or not balanced(stripped):
            continue
        first = a + (len(code) - len(code.lstrip()))
        if not re.match(r"[\w(*:~]|\+\+|--", stripped):
            continue
        before = previousCodeChar(mask, first)
        if before not in (";", "{", "}", ":") or (before == ":" and mask[:first].rstrip().endswith("::")):
            continue
        word = re.match(r"\w*", stripped).group()
        if word in kNotStatements or kDeclaration.match(stripped):
            continue
        if re.fullmatch(r"\(void\)\s*\w+\s*;", stripped):  # only marks a parameter unused
            continue
        if not context(first)[0]:
            continue
        end = a + len(code.rstrip())
        add(first, end, "", "delete-statement")

    # && and || swapped, each operand keeping its grouping: `a && b && c` with
    # the second swapped is `(a && b) || c`, which -Werror=parentheses accepts.
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", mask):
        swapped = "||" if m.group(1) == "&&" else "&&"
        start, end, rewritten = swapLogical(mask, shown, m.start())
        if rewritten is None:
            add(m.start(), m.end(), swapped, "swap-logical")
        else:
            add(start, end, rewritten, "swap-logical", (m.start(), m.end(), "swap-logical", swapped))

    # Binary + and - (and their compound assignments) swapped.
    for m in re.finditer(r"(?<=\s)(\+=|-=|\+|-)(?=\s)", mask):
        if not re.match(r"[\w)\]}]", previousCodeChar(mask, m.start())):
            continue
        swapped = {"+": "-", "-": "+", "+=": "-=", "-=": "+="}[m.group(1)]
        add(m.start(), m.end(), swapped, "swap-arith")

    # The same resulting text from two operators is one mutant; the first named wins.
    unique = {}
    for mutant in found:
        unique.setdefault((mutant.line, " ".join(mutant.mutated.split())), mutant)
    return sorted(unique.values(), key=lambda x: x.order)


# --------------------------------------------------------------------------
# Which files, and how many from each


def git(*args, check=True):
    return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True, check=check).stdout


def isGenerated(path, text):
    head = "\n".join(text.splitlines()[:5]).lower()
    return "generated" in Path(path).parts or "carried_release" in path or re.search(
        r"(?:automatically )?generated (?:by|from)|do not edit", head) is not None


def reachedSources(buildDir):
    """Files of src/ that the fast suite's targets compile, sources and headers alike."""
    targets = availableTargets(buildDir)
    out = subprocess.run(["ninja", "-C", str(buildDir), "-t", "inputs", *targets], capture_output=True,
                         text=True).stdout.split()
    objects = [p for p in out if p.endswith(".o")]
    reached = {p for p in out if not p.endswith(".o")}
    if objects:
        deps = subprocess.run(["ninja", "-C", str(buildDir), "-t", "deps", *objects], capture_output=True,
                              text=True).stdout
        reached.update(line.strip() for line in deps.splitlines() if line.startswith("    "))
    result = set()
    for p in reached:
        full = Path(p) if os.path.isabs(p) else (buildDir / p)
        try:
            result.add(full.resolve().relative_to(ROOT).as_posix())
        except ValueError:
            pass
    return result


def candidateFiles(buildDir, macros):
    reached = reachedSources(buildDir)
    files = []
    skipped = []
    for path in sorted(git("ls-files", "src").split()):
        if not path.endswith(kSourceSuffixes):
            continue
        text = (ROOT / path).read_bytes().decode("utf-8")
        if path.startswith(kExcludedPrefixes):
            skipped.append((path, "cannot be built here"))
            continue
        if isGenerated(path, text):
            skipped.append((path, "generated release data"))
            continue
        if path not in reached:
            skipped.append((path, "not part of the fast suite's targets"))
            continue
        mask, shown, inactive = codeMask(text, macros)
        size = sum(1 for number, line in enumerate(text.splitlines(), 1) if line.strip() and number not in inactive)
        if size == 0:
            skipped.append((path, "nothing compiled on this system"))
            continue
        files.append((path, text, mask, shown, size))
    return files, skipped


def allocate(sample, sizes, capacities):
    """Largest-remainder shares of `sample` by size, each at most its capacity."""
    quota = {p: 0 for p in sizes}
    left = min(sample, sum(capacities.values()))
    while left > 0:
        open_ = [p for p in sizes if quota[p] < capacities[p]]
        total = sum(sizes[p] for p in open_)
        exact = {p: left * sizes[p] / total for p in open_}
        given = 0
        for p in open_:
            take = min(int(exact[p]), capacities[p] - quota[p])
            quota[p] += take
            given += take
        rest = left - given
        for p in sorted(open_, key=lambda p: (-(exact[p] - int(exact[p])), p)):
            if rest == 0:
                break
            if quota[p] < capacities[p]:
                quota[p] += 1
                rest -= 1
        left = rest
    return quota


def drawSample(files, seed, sample):
    population = {path: findMutants(path, text, mask, shown) for path, text, mask, shown, size in files}
    sizes = {path: size for path, text, mask, shown, size in files}
    quota = allocate(sample, sizes, {p: len(m) for p, m in population.items()})
    chosen = []
    for path in sorted(population):
        # Seeded per file: an edit in one file leaves the draw from the others alone.
        rng = random.Random("%d:%s" % (seed, path))
        chosen.extend(sorted(rng.sample(population[path], quota[path]), key=lambda m: (m.order[0], m.operator)))
    for number, mutant in enumerate(chosen, start=1):
        mutant.id = number
    return chosen, population, sizes, quota


# --------------------------------------------------------------------------
# Building and testing


def presetCacheVariables():
    presets = json.loads((ROOT / "CMakePresets.json").read_text())
    for preset in presets.get("configurePresets", []):
        if preset.get("name") == "native":
            return preset.get("generator", "Ninja"), preset.get("cacheVariables", {})
    return "Ninja", {"CMAKE_BUILD_TYPE": "RelWithDebInfo"}


def availableTargets(buildDir):
    manifest = (buildDir / "build.ninja").read_text() if (buildDir / "build.ninja").exists() else ""
    return [t for t in kFastTargets if re.search(r"^build %s[ :]" % re.escape(t), manifest, re.M)]


def killGroup(process):
    for sig, wait in ((signal.SIGTERM, kKillGraceSeconds), (signal.SIGKILL, kKillGraceSeconds)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


def runLogged(command, timeout, logPath):
    """(exit status or None on time-out, seconds). The command runs in a process
    group of its own, which is ended on time-out and on interruption."""
    started = time.monotonic()
    with open(logPath, "wb") as log:
        process = subprocess.Popen(command, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            killGroup(process)
            return None, time.monotonic() - started
        except BaseException:
            killGroup(process)
            raise
    return status, time.monotonic() - started


def tail(path, limit=4000):
    data = Path(path).read_bytes()
    return data[-limit:].decode("utf-8", "replace")


def configure(buildDir, jobs):
    if (buildDir / "CMakeCache.txt").exists():
        return True
    generator, cache = presetCacheVariables()
    command = ["nice", "cmake", "-S", str(ROOT), "-B", str(buildDir), "-G", generator]
    command += ["-D%s=%s" % (k, v.replace("${sourceDir}", str(ROOT))) for k, v in cache.items()]
    buildDir.mkdir(parents=True, exist_ok=True)
    status, _ = runLogged(command, kBuildTimeoutSeconds, buildDir / "mutate-configure.log")
    if status != 0:
        print(tail(buildDir / "mutate-configure.log"), file=sys.stderr)
    return status == 0


def build(buildDir, jobs):
    command = ["nice", "cmake", "--build", str(buildDir), "-j", str(jobs), "--target", *availableTargets(buildDir)]
    return runLogged(command, kBuildTimeoutSeconds, buildDir / "mutate-build.log")


def runSuite(buildDir, jobs, timeout, allFailures=False):
    command = ["nice", "ctest", "--test-dir", str(buildDir), "-LE", kEndToEndLabel, "-j", str(jobs),
               *([] if allFailures else ["--stop-on-failure"]), "--timeout", str(timeout), "--test-output-size-passed", "4096",
               "--test-output-size-failed", "65536"]
    return runLogged(command, timeout, buildDir / "mutate-test.log")


def failsAgain(buildDir, test, timeout):
    """Whether one failed test fails again: a kill that does not repeat may be
    the machine's load rather than the mutant."""
    command = ["nice", "ctest", "--test-dir", str(buildDir), "-R", "^%s$" % re.escape(test), "--timeout",
               str(timeout)]
    status, _ = runLogged(command, timeout, buildDir / "mutate-retest.log")
    return status != 0


def failedTests(logPath):
    text = tail(logPath, 200000)
    part = text.split("The following tests FAILED:")[-1] if "The following tests FAILED:" in text else ""
    return re.findall(r"^\s*\d+\s*-\s*(\S+)\s*\(([^)]*)\)", part, re.M)


# --------------------------------------------------------------------------
# The source file under mutation, restored whatever happens


class Interrupted(Exception):
    pass


def raiseInterrupted(signum, frame):
    raise Interrupted("signal %d" % signum)


class Workspace:
    """Applies one mutant at a time. A journal in the build directory keeps the
    original until it is back, so that even a killed run is undone by the next."""

    def __init__(self, buildDir):
        self.journal = buildDir / "mutate-journal.json"
        self.current = None

    def recover(self):
        if not self.journal.exists():
            return None
        entry = json.loads(self.journal.read_text())
        target = ROOT / entry["file"]
        target.write_bytes(base64.b64decode(entry["original"]))
        self.journal.unlink()
        return entry["file"]

    def apply(self, mutant, original):
        self.journal.write_text(json.dumps({"file": mutant.file,
                                            "original": base64.b64encode(original).decode("ascii")}))
        self.current = (mutant.file, original)
        text = original.decode("utf-8")
        if text[mutant.start:mutant.end] != mutant.replaced:
            raise RuntimeError("%s changed since the sample was drawn" % mutant.file)
        (ROOT / mutant.file).write_bytes((text[:mutant.start] + mutant.replacement + text[mutant.end:]).encode("utf-8"))

    def restore(self):
        if self.current is None:
            return
        path, original = self.current
        (ROOT / path).write_bytes(original)
        self.current = None
        if self.journal.exists():
            self.journal.unlink()


# --------------------------------------------------------------------------
# Judgements and the report


class JudgementError(Exception):
    pass


def normalized(text):
    return " ".join(text.split())


@dataclass(eq=False)  # entries are told apart by identity: two lines are two entries
class Judgement:
    file: str
    mutated: str            # whitespace-normalised
    original: str           # whitespace-normalised; "" when the mutated text alone is the key
    verdict: str            # "equivalent" or "gap"
    reason: str
    where: int              # line in the judgements file

    def key(self):
        return (self.file, self.mutated, self.original)


kJudgementLine = re.compile(r"^(?P<file>[^:\s]+):\s+`(?P<mutated>[^`]*)`(?:\s+from\s+`(?P<original>[^`]*)`)?"
                            r"\s+--\s+(?P<verdict>equivalent|gap):\s*(?P<reason>.+)$")
kOldJudgementLine = re.compile(r"^[^:\s]+:\d+:\s+`")
kJudgementForm = "file: `mutated text` [from `original text`] -- equivalent|gap: reason"


class Judgements:
    """Judged survivors, keyed by file and mutated text, and by the original
    text too where one file has the same mutated text from two sites. Keyed
    without line numbers: a judgement still applies when the code above it
    moves."""

    def __init__(self, path=None, entries=()):
        self.path = path
        self.entries = list(entries)
        self.lines = []  # the file as read: (raw line, entry or None), for rewriting it
        self.index = {}

    @classmethod
    def load(cls, path):
        """Raises JudgementError for a line it does not understand and for a
        key given twice: a skipped or shadowed line would move a mutant
        between the equivalent and the behaviour-changing counts unseen."""
        judgements = cls(path)
        if not path:
            return judgements
        problems = []
        for number, raw in enumerate(Path(path).read_text().splitlines(), start=1):
            line = raw.strip()
            if not line or line.startswith("#"):
                judgements.lines.append((raw, None))
                continue
            m = kJudgementLine.match(line)
            if not m:
                hint = " (line numbers are no longer part of the key)" if kOldJudgementLine.match(line) else ""
                problems.append("%s:%d: not understood%s, expected: %s" % (path, number, hint, kJudgementForm))
                continue
            entry = Judgement(m.group("file"), normalized(m.group("mutated")), normalized(m.group("original") or ""),
                              m.group("verdict"), m.group("reason").strip(), number)
            judgements.entries.append(entry)
            judgements.lines.append((raw, entry))
        problems.extend(judgements.conflicts())
        if problems:
            raise JudgementError("\n".join(problems))
        judgements.index = {e.key(): e for e in judgements.entries}
        return judgements

    def conflicts(self):
        byText = {}
        for e in self.entries:
            byText.setdefault((e.file, e.mutated), []).append(e)
        problems = []

        def check(group, shown, hint=""):
            if len(group) < 2:
                return
            where = ", ".join("line %d" % e.where for e in group)
            if len({e.verdict for e in group}) > 1:
                problems.append("%s (%s): judged both equivalent and a gap; a mutant is one or the other"
                                % (shown, where))
            else:
                problems.append("%s (%s): judged more than once; one entry a mutant%s" % (shown, where, hint))

        for (path, mutated), group in sorted(byText.items()):
            shown = "%s: `%s`" % (path, mutated)
            if any(not e.original for e in group):
                check(group, shown, " (an entry without `from` judges every mutant of this text)")
                continue
            byOriginal = {}
            for e in group:
                byOriginal.setdefault(e.original, []).append(e)
            for original, same in sorted(byOriginal.items()):
                check(same, "%s from `%s`" % (shown, original))
        return problems

    def find(self, path, mutated, original):
        """The entry that judges this mutant: the one naming its original text,
        else the one for its mutated text alone."""
        mutated = normalized(mutated)
        return self.index.get((path, mutated, normalized(original))) or self.index.get((path, mutated, ""))

    def verdict(self, r):
        entry = self.find(r["file"], r["mutated"], r["original"])
        return (entry.verdict, entry.reason) if entry else None

    def write(self, kept):
        """The file again with only the `kept` entries; comments and order stay."""
        text = "".join(raw + "\n" for raw, entry in self.lines if entry is None or entry in kept)
        Path(self.path).write_text(text)


def drawablePopulation(paths, macros):
    """For each file, the mutants the current source gives: what a later
    sample could draw. A file that no longer exists gives none."""
    population = {}
    for path in sorted(set(paths)):
        full = ROOT / path
        if not full.is_file():
            population[path] = []
            continue
        text = full.read_bytes().decode("utf-8")
        mask, shown, _ = codeMask(text, macros)
        population[path] = findMutants(path, text, mask, shown)
    return population


def pruneJudgements(judgements, survivors, population):
    """Drops the entries that judge no survivor of this run and no mutant the
    source still gives; keeps the rest. Returns (dropped, matched, drawable,
    ambiguous): the last are entries without an original text that stand for
    mutants of different original texts."""
    matched = {judgements.find(r["file"], r["mutated"], r["original"]) for r in survivors} - {None}
    dropped, drawable, ambiguous = [], [], []
    for e in judgements.entries:
        sites = [m for m in population.get(e.file, [])
                 if normalized(m.mutated) == e.mutated and (not e.original or normalized(m.original) == e.original)]
        if not e.original and len({normalized(m.original) for m in sites}) > 1:
            ambiguous.append((e, sorted({(m.line, normalized(m.original)) for m in sites})))
        if e in matched:
            continue
        (drawable if sites else dropped).append(e)
    return dropped, matched, drawable, ambiguous


def prune(judgements, run, macros, resultsName):
    """Prunes the judgements file against `run` (None: against the sources
    alone) and says what it did. Returns the number of entries dropped."""
    survivors = [r for r in run["results"] if r["outcome"] == "survived"] if run else []
    population = drawablePopulation([e.file for e in judgements.entries], macros)
    dropped, matched, drawable, ambiguous = pruneJudgements(judgements, survivors, population)
    for e in dropped:
        print("dropped: %s: `%s`%s -- %s (it judges no survivor, and the source no longer gives it)"
              % (e.file, e.mutated, " from `%s`" % e.original if e.original else "", e.verdict), file=sys.stderr)
    for e, sites in ambiguous:
        print("%s:%d: `%s` stands for mutants of %d original texts (%s): name the one meant with from `...`"
              % (judgements.path, e.where, e.mutated, len(sites),
                 "; ".join("line %d `%s`" % site for site in sites)), file=sys.stderr)
    if dropped:
        judgements.write(set(judgements.entries) - set(dropped))
    if run:
        against = "the survivors of %s and the current sources" % resultsName
        why = "%d judge a survivor of that run, %d a mutant the source still gives" % (len(matched), len(drawable))
    else:
        against = "the current sources only (%s does not exist)" % resultsName
        why = "each judges a mutant the source still gives"
    print("pruned %s against %s: %d entries, %d dropped, %d kept (%s)" % (
        judgements.path, against, len(judgements.entries), len(dropped), len(judgements.entries) - len(dropped), why))
    return len(dropped)


def percent(part, whole):
    return "%.1f %%" % (100.0 * part / whole) if whole else "n/a"


def seconds(value):
    return "%.1f s" % value


def code(text, inTable=False):
    text = text.replace("`", "'")
    return "`" + (text.replace("|", "\\|") if inTable else text) + "`" if text else ""


def compilerMessage(line):
    """The compiler's complaint without the path before it."""
    m = re.search(r"(?:\berror: |undefined reference).*", line)
    return m.group(0) if m else line


def renderReport(run, judgements):
    results = run["results"]
    byOutcome = {}
    for r in results:
        byOutcome.setdefault(r["outcome"], []).append(r)
    killed = byOutcome.get("killed", [])
    survived = byOutcome.get("survived", [])
    notCompiled = byOutcome.get("not compiled", [])
    timedOut = [r for r in killed if r.get("timedOut")]
    unstable = [r for r in killed if r.get("unstable")]
    compiled = len(killed) + len(survived)

    judgement = judgements.verdict
    equivalent = [r for r in survived if (judgement(r) or ("",))[0] == "equivalent"]
    gaps = [r for r in survived if (judgement(r) or ("",))[0] != "equivalent"]
    used = {judgements.find(r["file"], r["mutated"], r["original"]) for r in survived}
    stale = [e for e in judgements.entries if e not in used]
    totals = [r["buildSeconds"] + r["testSeconds"] for r in results]
    tested = [r["testSeconds"] for r in results if r["outcome"] != "not compiled"]

    lines = []
    add = lines.append
    add("# Mutation check of src/")
    add("")
    add("`%s` on %s (%s), %s." % (run["command"], run["tree"], run["started"], run["host"]))
    if run.get("rerun"):
        add("")
        add("Run again later, src/ unchanged: %s (the last time with `%s`)." % (
            ", ".join("#%d" % i for i in run["rerun"]), run["rerunCommand"]))
    add("")
    add("Fast suite: every CTest test but the end-to-end runs (`ctest -LE %s`, %d tests, %s on the unmutated tree); "
        "each mutant rebuilds only %s in `%s`." % (kEndToEndLabel, run["suiteTests"], seconds(run["baselineSeconds"]),
                                                   " and ".join("`%s`" % t for t in run["targets"]), run["buildDir"]))
    add("")
    add("| Outcome | Mutants |")
    add("|---|---|")
    add("| drawn | %d |" % len(results))
    add("| did not compile | %d |" % len(notCompiled))
    add("| killed (a test failed) | %d |" % (len(killed) - len(timedOut)))
    add("| killed (the suite timed out) | %d |" % len(timedOut))
    if unstable:
        add("| of the killed: the failing test passed when run again | %d |" % len(unstable))
    add("| survived, judged equivalent | %d |" % len(equivalent))
    add("| survived, behaviour changed (gaps and not yet judged) | %d |" % len(gaps))
    add("")
    add("- **Kill rate over compiled mutants: %d / %d = %s**" % (len(killed), compiled, percent(len(killed), compiled)))
    add("- **Kill rate over behaviour-changing mutants: %d / %d = %s** (equivalent survivors left out)"
        % (len(killed), compiled - len(equivalent), percent(len(killed), compiled - len(equivalent))))
    if totals:
        add("- Time per mutant: mean %s, median %s, longest %s (build mean %s, fast suite mean %s); "
            "the whole run %s." % (seconds(statistics.mean(totals)), seconds(statistics.median(totals)),
                                   seconds(max(totals)), seconds(statistics.mean(r["buildSeconds"] for r in results)),
                                   seconds(statistics.mean(tested) if tested else 0.0),
                                   seconds(run["wallSeconds"])))
    add("")

    add("## By operator")
    add("")
    add("| Operator | Drawn | Not compiled | Killed | Survived | Equivalent |")
    add("|---|---|---|---|---|---|")
    for operator in sorted({r["operator"] for r in results}):
        mine = [r for r in results if r["operator"] == operator]
        add("| %s | %d | %d | %d | %d | %d |" % (
            operator, len(mine), sum(r["outcome"] == "not compiled" for r in mine),
            sum(r["outcome"] == "killed" for r in mine), sum(r["outcome"] == "survived" for r in mine),
            sum(r in equivalent for r in mine)))
    add("")

    add("## By file")
    add("")
    add("| File | Non-blank lines | Mutants possible | Drawn | Not compiled | Killed | Survived |")
    add("|---|---|---|---|---|---|---|")
    for path in sorted(run["files"]):
        info = run["files"][path]
        mine = [r for r in results if r["file"] == path]
        add("| %s | %d | %d | %d | %d | %d | %d |" % (
            path, info["lines"], info["population"], len(mine), sum(r["outcome"] == "not compiled" for r in mine),
            sum(r["outcome"] == "killed" for r in mine), sum(r["outcome"] == "survived" for r in mine)))
    for path, reason in run["skipped"]:
        add("| %s | left out: %s | | | | | |" % (path, reason))
    add("")

    def survivorLine(r):
        verdict = judgement(r)
        note = " — %s: %s" % verdict if verdict else " — not yet judged"
        return "- #%d `%s:%d` %s: %s → %s%s" % (r["id"], r["file"], r["line"], r["operator"], code(r["original"]),
                                               code(r["mutated"]), note)

    add("## Survivors that change behaviour (%d)" % len(gaps))
    add("")
    lines.extend(survivorLine(r) for r in gaps)
    if not gaps:
        add("None.")
    add("")
    add("## Survivors judged equivalent (%d)" % len(equivalent))
    add("")
    lines.extend(survivorLine(r) for r in equivalent)
    if not equivalent:
        add("None.")
    add("")
    if stale:
        add("## Judgements that matched no survivor of this sample (%d)" % len(stale))
        add("")
        lines.extend("- `%s` %s%s" % (e.file, code(e.mutated), " from " + code(e.original) if e.original else "")
                     for e in stale)
        add("")
    add("## Did not compile (%d)" % len(notCompiled))
    add("")
    lines.extend("- #%d `%s:%d` %s: %s%s" % (r["id"], r["file"], r["line"], r["operator"], code(r["mutated"]),
                                            " — " + code(compilerMessage(r["killedBy"])) if r.get("killedBy") else "")
                 for r in notCompiled)
    add("")
    add("## Every mutant")
    add("")
    add("| # | Where | Operator | Mutated | Outcome | First failing test | Seconds |")
    add("|---|---|---|---|---|---|---|")
    for r in results:
        add("| %d | %s:%d | %s | %s | %s | %s | %.1f |" % (
            r["id"], r["file"], r["line"], r["operator"], code(r["mutated"], inTable=True),
            r["outcome"] + (" (time-out)" if r.get("timedOut") else ""), r.get("killedBy") or "",
            r["buildSeconds"] + r["testSeconds"]))
    add("")
    return "\n".join(lines), stale


# --------------------------------------------------------------------------


def configuredCompiler(buildDir):
    cache = buildDir / "CMakeCache.txt"
    compiler = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache.read_text(), re.M) if cache.exists() else None
    return compiler.group(1) if compiler else "c++"


def displayPath(path):
    try:
        return os.path.relpath(path, ROOT) if Path(path).resolve().is_relative_to(ROOT) else str(path)
    except ValueError:
        return str(path)


def mergeIntoEarlierRun(resultsPath, rerun):
    """The earlier whole run with the mutants of `rerun` replaced, when it drew
    the same sample from the same src/; else None."""
    if not resultsPath.exists():
        return None
    earlier = json.loads(resultsPath.read_text())
    commit = earlier["tree"].split()[-1]
    same = (earlier.get("srcTree") or git("rev-parse", commit + ":src", check=False).strip()) == rerun["srcTree"]
    seed = earlier.get("seed", int((re.search(r"--seed[ =](\d+)", earlier["command"]) or [0, 1])[1]))
    sample = earlier.get("sample", int((re.search(r"--sample[ =](\d+)", earlier["command"]) or [0, 150])[1]))
    if not same or seed != rerun["seed"] or sample != rerun["sample"]:
        print("%s holds another sample or another src/: not merged" % resultsPath, file=sys.stderr)
        return None
    fresh = {r["id"]: r for r in rerun["results"]}
    earlier["results"] = [fresh.get(r["id"], r) for r in earlier["results"]]
    earlier["rerun"] = sorted(set(earlier.get("rerun", [])) | set(fresh))
    earlier["rerunCommand"] = rerun["command"]
    return earlier


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample", type=int, default=150)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds the fast suite may take per mutant")
    parser.add_argument("--build-dir", default="build/mutate")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--list", action="store_true", help="show the sampled mutants, run nothing")
    parser.add_argument("--report", help="write a markdown report here")
    parser.add_argument("--equivalent", help="judgements of survivors, one a line: " + kJudgementForm.replace("%", "%%")
                        + "; pruned after each run")
    parser.add_argument("--prune", action="store_true",
                        help="run nothing: drop the judgements (--equivalent, by default %s) that match no survivor "
                             "of the last results and no mutant the current source gives" % kDefaultJudgements)
    parser.add_argument("--results", help="raw results as JSON (default: BUILD_DIR/mutation-results.json)")
    parser.add_argument("--render-only", action="store_true", help="write the report from --results, run nothing")
    parser.add_argument("--all-failures", action="store_true",
                        help="run the whole suite for each mutant and keep every test that failed (slower): "
                             "shows which tests alone kill a mutant")
    parser.add_argument("--only", type=int, nargs="*", help="run only these mutant numbers of the sample")
    args = parser.parse_args()

    buildDir = (ROOT / args.build_dir).resolve()
    resultsPath = Path(args.results) if args.results else buildDir / "mutation-results.json"
    if args.prune and not args.equivalent:
        args.equivalent = str(ROOT / kDefaultJudgements)
    try:
        judgements = Judgements.load(args.equivalent)
    except JudgementError as problems:
        print(problems, file=sys.stderr)
        print("%s refused: fix the lines above" % args.equivalent, file=sys.stderr)
        return 2

    if args.render_only:
        run = json.loads(resultsPath.read_text())
        report, stale = renderReport(run, judgements)
        Path(args.report or "/dev/stdout").write_text(report + "\n")
        if stale:
            print("%d judgements matched no survivor of this sample" % len(stale), file=sys.stderr)
        if not args.prune:
            return 0

    if args.prune:
        Workspace(buildDir).recover()  # a mutant left applied would be taken for the source
        run = json.loads(resultsPath.read_text()) if resultsPath.exists() else None
        prune(judgements, run, predefinedMacros(configuredCompiler(buildDir)), displayPath(resultsPath))
        return 0

    # SIGINT too: a shell starts background jobs with it ignored, and the file
    # under mutation must come back however the run is stopped.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, raiseInterrupted)

    workspace = Workspace(buildDir)
    buildDir.mkdir(parents=True, exist_ok=True)
    recovered = workspace.recover()
    if recovered:
        print("restored %s, left mutated by an interrupted run" % recovered, file=sys.stderr)
    if git("status", "--porcelain", "--", "src").strip():
        print("src/ has changes; commit or stash them first: the tree is checked against git at the end",
              file=sys.stderr)
        return 2

    if not configure(buildDir, args.jobs):
        print("configuring %s failed" % buildDir, file=sys.stderr)
        return 2
    status, baseBuild = build(buildDir, args.jobs)
    if status != 0:
        print(tail(buildDir / "mutate-build.log"), file=sys.stderr)
        print("the unmutated tree does not build", file=sys.stderr)
        return 2

    macros = predefinedMacros(configuredCompiler(buildDir))
    files, skipped = candidateFiles(buildDir, macros)
    mutants, population, sizes, quota = drawSample(files, args.seed, args.sample)
    if args.only:
        mutants = [m for m in mutants if m.id in set(args.only)]

    if args.list:
        print("%d files, %d mutants possible, %d drawn (seed %d)" % (
            len(files), sum(len(p) for p in population.values()), len(mutants), args.seed))
        for path in sorted(population):
            print("  %-45s %4d lines %4d possible %3d drawn" % (path, sizes[path], len(population[path]), quota[path]))
        for path, reason in skipped:
            print("  %-45s left out: %s" % (path, reason))
        for m in mutants:
            print("#%-3d %s:%d %s\n       %s\n    -> %s" % (m.id, m.file, m.line, m.operator, m.original, m.mutated))
        return 0

    started = time.monotonic()
    status, baseSuite = runSuite(buildDir, args.jobs, max(args.timeout, 300))
    if status != 0:
        print(tail(buildDir / "mutate-test.log"), file=sys.stderr)
        print("the fast suite fails on the unmutated tree", file=sys.stderr)
        return 2
    suiteTests = len(re.findall(r"Test\s+#\d+:", Path(buildDir / "mutate-test.log").read_text()))
    print("fast suite: %d tests, %.1f s on the unmutated tree; %d mutants to run" % (suiteTests, baseSuite,
                                                                                    len(mutants)), flush=True)

    results = []
    interrupted = False
    try:
        for mutant in mutants:
            original = (ROOT / mutant.file).read_bytes()
            workspace.apply(mutant, original)
            try:
                status, buildSeconds = build(buildDir, args.jobs)
                result = asdict(mutant)
                result.update(buildSeconds=buildSeconds, testSeconds=0.0, timedOut=False, killedBy=None)
                if status != 0:
                    log = Path(buildDir / "mutate-build.log").read_text(errors="replace")
                    if "Error running test executable" in log:
                        # Compiled, but the test binary failed while listing its tests.
                        result.update(outcome="killed", killedBy="test discovery")
                    else:
                        errors = re.findall(r"^.*(?:\berror: |undefined reference).*$", log, re.M)
                        result.update(outcome="not compiled", killedBy=errors[0].strip()[:160] if errors else None)
                else:
                    status, testSeconds = runSuite(buildDir, args.jobs, args.timeout, args.all_failures)
                    result["testSeconds"] = testSeconds
                    if status is None:
                        result.update(outcome="killed", timedOut=True, killedBy="(suite time-out)")
                    elif status != 0:
                        failed = failedTests(buildDir / "mutate-test.log")
                        result.update(outcome="killed", killedBy=("%s (%s)" % failed[0]) if failed else "ctest failed")
                        if args.all_failures:
                            result["failedTests"] = [name for name, _ in failed]
                        if failed and failed[0][1] == "Failed" and not failsAgain(buildDir, failed[0][0], args.timeout):
                            result.update(unstable=True, killedBy=result["killedBy"] + ", passed when run again")
                    else:
                        result.update(outcome="survived")
            finally:
                workspace.restore()
            results.append(result)
            print("#%-3d %-12s %5.1f s  %s:%d %s: %s" % (
                mutant.id, result["outcome"] + ("*" if result["timedOut"] else ""),
                result["buildSeconds"] + result["testSeconds"], mutant.file, mutant.line, mutant.operator,
                mutant.mutated), flush=True)
    except (KeyboardInterrupt, Interrupted):
        interrupted = True
        print("\ninterrupted: %d of %d mutants ran" % (len(results), len(mutants)), file=sys.stderr)
    finally:
        workspace.restore()
        clean = subprocess.run(["git", "diff", "--quiet", "--", "src"], cwd=ROOT).returncode == 0
        if not clean:
            print("src/ differs from git after the run: check `git diff src`", file=sys.stderr)

    if interrupted:
        print("nothing written: an interrupted run would stand for a whole one", file=sys.stderr)
        return 3 if not clean else 130

    head = git("rev-parse", "--short", "HEAD").strip()
    run = {
        "command": "tools/mutate.py " + " ".join(sys.argv[1:]),
        "tree": "commit %s" % head,
        "seed": args.seed,
        "sample": args.sample,
        "srcTree": git("rev-parse", "HEAD:src").strip(),
        "started": datetime.datetime.now().strftime("%Y-%m-%d"),
        "host": "%s %s, %d cores, -j%d" % (platform.system(), platform.machine(), os.cpu_count() or 0, args.jobs),
        "buildDir": os.path.relpath(buildDir, ROOT),
        "targets": availableTargets(buildDir),
        "suiteTests": suiteTests,
        "baselineSeconds": baseSuite,
        "wallSeconds": time.monotonic() - started,
        "files": {p: {"lines": sizes[p], "population": len(population[p])} for p in population},
        "skipped": skipped,
        "results": results,
    }
    if args.only:
        run = mergeIntoEarlierRun(resultsPath, run) or run
    resultsPath.write_text(json.dumps(run, indent=1))
    report, stale = renderReport(run, judgements)
    if args.report:
        Path(args.report).write_text(report + "\n")
    summary = [l for l in report.splitlines() if l.startswith("- **") or l.startswith("| ")][:12]
    print("\n".join(summary))
    if judgements.path and clean:
        prune(judgements, run, macros, displayPath(resultsPath))
    return 0 if clean else 3


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (KeyboardInterrupt, Interrupted):
        print("\ninterrupted before any mutant was applied", file=sys.stderr)
        sys.exit(130)
    except BrokenPipeError:  # --list into head
        sys.exit(0)
