#!/usr/bin/env python3
"""Packs the Windows release an operator takes: a zip holding the executable
under the release's name, the operator's guide (docs/operator-guide.md) as plain
text, and SHA256SUMS for both.

  release_zip.py --exe korrin-update.exe --guide docs/operator-guide.md
                 --name korrin-update-020904 --carries "firmware release ..."
                 --output korrin-update-020904.zip

Exits 1, naming the reason, when the guide has no title.
"""
import argparse
import hashlib
import os
import re
import sys
import textwrap
import time
import zipfile

GUIDE_NAME = "operator-guide.txt"
SUMS_NAME = "SHA256SUMS"
WIDTH = 78  # a console or Notepad of 80 columns, with room to spare
# Lines between these are for the maintainer or another system (Linux, macOS,
# the measurements): not in the guide.
SKIP_START = re.compile(r"\s*<!-- guide:skip\b.*-->\s*")
SKIP_END = re.compile(r"\s*<!-- guide:end -->\s*")


def operator_part(guide_text):
    """The guide's lines from its title on, or None when it has no title."""
    lines = guide_text.splitlines()
    if not lines or not lines[0].startswith("# "):
        return None
    return without_skipped(lines)


def without_skipped(lines):
    kept, skipping = [], False
    for line in lines:
        if SKIP_START.fullmatch(line):
            skipping = True
        elif SKIP_END.fullmatch(line):
            skipping = False
        elif not skipping:
            kept.append(line)
    return kept


# Stands for a space inside a console text until the lines are wrapped: the
# operator compares those texts with the screen, so they are never broken.
KEEP_SPACE = "\ue000"


def plain(text):
    """Markdown inline marks to plain text: code in quotes, emphasis and link targets dropped."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"`([^`]*)`", lambda m: '"' + m.group(1).replace(" ", KEEP_SPACE) + '"', text)
    return text.replace("**", "")


def wrap(text, indent="", hanging=None):
    hanging = indent if hanging is None else hanging
    # Breaking only at spaces keeps option names and console texts whole.
    lines = textwrap.wrap(text, WIDTH, initial_indent=indent, subsequent_indent=hanging,
                          break_long_words=False, break_on_hyphens=False) or [indent.rstrip()]
    out = []
    for line in lines:
        if len(line) <= WIDTH or KEEP_SPACE not in line:
            out.append(line)
            continue
        # A console text longer than a line: broken at its own spaces after all.
        first = line[:len(line) - len(line.lstrip())]
        out += textwrap.wrap(line.strip().replace(KEEP_SPACE, " "), WIDTH, initial_indent=first,
                             subsequent_indent=hanging, break_long_words=False, break_on_hyphens=False)
    return out


def table_cells(line):
    return [plain(cell.strip()) for cell in line.strip().strip("|").split("|")]


def render_table(rows):
    header, body = rows[0], rows[2:]
    widths = [max(len(row[i]) if i < len(row) else 0 for row in [header] + body) for i in range(len(header))]
    if sum(widths) + 2 * (len(widths) - 1) + 2 <= WIDTH:
        out = []
        for row in [header, ["-" * w for w in widths]] + body:
            cells = [row[i] if i < len(row) else "" for i in range(len(header))]
            out.append(("  " + "  ".join(c.ljust(w) for c, w in zip(cells, widths))).rstrip())
        return out
    # Too wide for a console or Notepad: one block per row, the first cell as its title.
    out = []
    for row in body:
        out += wrap(f"{header[0]}: {row[0]}", "* ", "  ")
        for name, cell in zip(header[1:], row[1:]):
            out += wrap(f"{name}: {cell}", "    ", "      ")
        out.append("")
    return out[:-1]


def render_guide(part, preface):
    """The operator part as plain text lines, after the preface."""
    out = []
    for paragraph in preface:
        out += wrap(paragraph) + [""]
    i = 0
    while i < len(part):
        line = part[i]
        if re.fullmatch(r"\s*<!--.*-->\s*", line) or not line.strip():
            i += 1
            continue
        if line.startswith("#"):
            title = plain(line.lstrip("#").strip())
            rule = "=" if line.startswith("# ") else "-"
            out += [title, rule * len(title), ""]
            i += 1
        elif line.startswith("|"):
            rows = []
            while i < len(part) and part[i].startswith("|"):
                rows.append(table_cells(part[i]))
                i += 1
            out += render_table(rows) + [""]
        elif re.match(r"(\d+\.|-) ", line):
            marker, text = line.split(" ", 1)
            out += wrap(plain(text), f"{marker} ", " " * (len(marker) + 1))
            i += 1
            if i >= len(part) or not re.match(r"(\d+\.|-) ", part[i]):
                out.append("")
        else:
            paragraph = []
            while i < len(part) and part[i].strip() and not re.match(r"(#|\||\d+\. |- |\s*<!--)", part[i]):
                paragraph.append(part[i].strip())
                i += 1
            out += wrap(plain(" ".join(paragraph))) + [""]
    while out and not out[-1]:
        out.pop()
    return [line.replace(KEEP_SPACE, " ") for line in out]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--guide", required=True, help="the operator's guide in markdown")
    parser.add_argument("--name", required=True, help="the release's name, korrin-update-<revision>")
    parser.add_argument("--carries", required=True, help="what the executable carries, in words")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()

    with open(args.guide, encoding="utf-8") as f:
        part = operator_part(f.read())
    if part is None:
        print(f"{args.guide} does not start with a '# ' title: no operator guide to make", file=sys.stderr)
        return 1
    exe_name = args.name + ".exe"
    preface = [
        f"{exe_name} is the Korrin firmware updater carrying {args.carries}. "
        f"The steps below call it korrin-update.exe.",
        f"{SUMS_NAME} holds the SHA-256 checksums of the files of this release "
        f"(on Windows: certutil -hashfile {exe_name} SHA256).",
    ]
    # Notepad on older Windows needs CRLF, and the byte order mark to read UTF-8.
    guide = ("\ufeff" + "\r\n".join(render_guide(part, preface)) + "\r\n").encode("utf-8")
    with open(args.exe, "rb") as f:
        exe = f.read()

    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data in ((exe_name, exe), (GUIDE_NAME, guide)))
    stamp = max(os.stat(args.exe).st_mtime, 315532800)  # zip times start in 1980
    members = ((exe_name, exe, 0o755), (GUIDE_NAME, guide, 0o644), (SUMS_NAME, sums.encode("ascii"), 0o644))
    partial = args.output + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data, mode in members:
            info = zipfile.ZipInfo(name, date_time=time.localtime(stamp)[:6])
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = mode << 16
            zf.writestr(info, data)
    os.replace(partial, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
