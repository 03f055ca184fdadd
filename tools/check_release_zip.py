#!/usr/bin/env python3
"""Checks a Windows release zip before it goes to operators:

  tools/check_release_zip.py ZIP [--release DIR] [--guide FILE] [--exe FILE]

- its name and its executable's name carry the revision of DIR/release.txt;
- it holds exactly the executable, operator-guide.txt and SHA256SUMS;
- SHA256SUMS lists the other two files with their right checksums;
- the executable is stripped, and its version information names the release's
  revision and model, with the file version MM.DD.YY.0 as the revision's
  digit pairs read (decimal), a CompanyName and a LegalCopyright;
- its manifest asks for the invoker's rights, names Windows 10/11 and UTF-8;
- the guide holds every text of docs/operator-guide.md (but those marked
  guide:skip), as plain text in lines of at most 80 columns, with
  nothing for Linux, macOS or the measurements;
- with --exe, the executable is byte for byte that file.

Prints what it checked; exits 1 at the first difference, naming it.
"""
import argparse
import hashlib
import os
import re
import struct
import sys
import zipfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
GUIDE_NAME = "operator-guide.txt"
SUMS_NAME = "SHA256SUMS"
RT_VERSION = 16
RT_MANIFEST = 24
GUIDE_COLUMNS = 80
WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
# What the guide is not for, and Markdown it must not show.
NOT_IN_GUIDE = ["Linux", "macOS", "bench", "XDG_STATE_HOME", "KORRIN_COM", "](", "`", "**", "<!--"]
VERSION_SIGNATURE = 0xFEEF04BD


class Refused(Exception):
    pass


def read_release(release_dir):
    fields = {}
    with open(os.path.join(release_dir, "release.txt"), encoding="ascii") as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            if value:
                fields[key] = value
    if not re.fullmatch(r"[0-9a-fA-F]{6}", fields.get("revision", "")) or fields.get("model") not in ("Korrin", "KorrinPro"):
        raise Refused(f"{release_dir}/release.txt has no model= and revision=MMDDYY")
    return fields["model"], fields["revision"]


# ---- the version resource, read from the PE file's .rsrc as Windows does

def rva_to_offset(pe, rva):
    lfanew = struct.unpack_from("<I", pe, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", pe, lfanew + 6)
    table = lfanew + 24 + optional_size
    for i in range(sections):
        vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", pe, table + 40 * i + 8)
        if vaddr <= rva < vaddr + max(vsize, raw_size):
            return raw_ptr + rva - vaddr
    raise Refused(f"address 0x{rva:x} lies in no section")


def is_stripped(pe):
    """No COFF symbol table: PointerToSymbolTable and NumberOfSymbols are 0."""
    lfanew = struct.unpack_from("<I", pe, 0x3C)[0]
    pointer, count = struct.unpack_from("<II", pe, lfanew + 4 + 8)
    return pointer == 0 and count == 0


def version_resource(pe, resource_type=RT_VERSION):
    """The bytes of the first resource of that type (RT_VERSION unless said)."""
    if pe[:2] != b"MZ":
        raise Refused("the executable is not a PE file")
    lfanew = struct.unpack_from("<I", pe, 0x3C)[0]
    if pe[lfanew:lfanew + 4] != b"PE\0\0":
        raise Refused("the executable is not a PE file")
    optional = lfanew + 24
    magic = struct.unpack_from("<H", pe, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", pe, directories + 8 * 2)
    if rsrc_size == 0:
        raise Refused("the executable has no resources")
    base = rva_to_offset(pe, rsrc_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", pe, base + offset + 12)
        return [struct.unpack_from("<II", pe, base + offset + 16 + 8 * i) for i in range(named + ids)]

    subdirectory = 0x80000000
    for ident, target in entries(0):
        if ident == resource_type and target & subdirectory:
            names = entries(target & ~subdirectory)
            if names and names[0][1] & subdirectory:
                languages = entries(names[0][1] & ~subdirectory)
                if languages and not languages[0][1] & subdirectory:
                    data_rva, size = struct.unpack_from("<II", pe, base + languages[0][1])
                    start = rva_to_offset(pe, data_rva)
                    return pe[start:start + size]
    raise Refused("the executable has no version information" if resource_type == RT_VERSION
                  else f"the executable has no resource of type {resource_type}")


def parse_block(data, offset):
    """One VS_VERSIONINFO node: (key, value, children), and where the next starts."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = data[pos:pos + value_bytes]
    if value_type == 1:
        value = value.decode("utf-16-le").rstrip("\0")
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < end:
        child, pos = parse_block(data, pos)
        children.append(child)
        pos = (pos + 3) & ~3
    return (key, value, children), end


def version_info(pe):
    """The numeric file version and the strings of the version information."""
    (key, fixed, children), _ = parse_block(version_resource(pe), 0)
    if key != "VS_VERSION_INFO" or len(fixed) < 16:
        raise Refused("the version information is malformed")
    signature, _, ms, ls = struct.unpack_from("<IIII", fixed)
    if signature != VERSION_SIGNATURE:
        raise Refused("the version information has no fixed part")
    strings = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, values in tables:
                strings.update((name, value) for name, value, _ in values)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), strings


# ---- the guide

def operator_texts(source):
    """Every text of the operator's guide in markdown that the plain guide must hold."""
    texts = []
    skipping = False
    for line in source.splitlines():
        if re.fullmatch(r"\s*<!-- guide:skip\b.*-->\s*", line):
            skipping = True
        elif re.fullmatch(r"\s*<!-- guide:end -->\s*", line):
            skipping = False
        if skipping:
            continue
        line = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", line)
        line = re.sub(r"`([^`]*)`", r'"\1"', line).replace("**", "").strip()
        if not line or line.startswith("<!--") or re.fullmatch(r"\|[-|: ]*\|", line):
            continue
        if line.startswith("|"):
            texts += [cell.strip() for cell in line.strip("|").split("|")]
        else:
            texts.append(re.sub(r"^(#+|\d+\.|-) ", "", line))
    return texts


def collapse(text):
    return " ".join(text.split())


def check(args):
    model, revision = read_release(args.release)
    release_name = f"korrin-update-{revision}"
    exe_name = release_name + ".exe"
    if os.path.basename(args.zip) != release_name + ".zip":
        raise Refused(f"the zip is named {os.path.basename(args.zip)}, not {release_name}.zip")

    with zipfile.ZipFile(args.zip) as zf:
        names = sorted(zf.namelist())
        expected = sorted([exe_name, GUIDE_NAME, SUMS_NAME])
        if names != expected:
            raise Refused(f"the zip holds {names}, not {expected}")
        files = {name: zf.read(name) for name in names}
    print(f"ok: {os.path.basename(args.zip)} holds {', '.join(expected)}")

    listed = {}
    for line in files[SUMS_NAME].decode("ascii").splitlines():
        match = re.fullmatch(r"([0-9a-f]{64}) [ *](.+)", line)
        if not match:
            raise Refused(f"{SUMS_NAME} has a line that is not a checksum: {line!r}")
        listed[match.group(2)] = match.group(1)
    if sorted(listed) != sorted([exe_name, GUIDE_NAME]):
        raise Refused(f"{SUMS_NAME} lists {sorted(listed)}, not {exe_name} and {GUIDE_NAME}")
    for name, digest in listed.items():
        if hashlib.sha256(files[name]).hexdigest() != digest:
            raise Refused(f"{SUMS_NAME}: the checksum of {name} is wrong")
    print(f"ok: {SUMS_NAME} matches {exe_name} and {GUIDE_NAME}")

    exe = files[exe_name]
    if args.exe:
        with open(args.exe, "rb") as f:
            if f.read() != exe:
                raise Refused(f"{exe_name} differs from {args.exe}")
        print(f"ok: {exe_name} is {args.exe}")

    if not is_stripped(exe):
        raise Refused(f"{exe_name} carries a symbol table: it is not stripped")
    print(f"ok: {exe_name} is stripped ({len(exe)} bytes)")
    manifest = version_resource(exe, RT_MANIFEST).decode("utf-8", "replace")
    for part in ('level="asInvoker"', WINDOWS_10_AND_11, ">UTF-8</activeCodePage>"):
        if part not in manifest:
            raise Refused(f"the executable's manifest lacks {part}")
    print("ok: manifest: asInvoker, Windows 10/11, UTF-8 code page")

    numbers, strings = version_info(exe)
    # The pairs of MMDDYY read as the decimal numbers they spell: 12/15/10 is 12.15.10.0.
    if not re.fullmatch(r"[0-9]{6}", revision):
        raise Refused(f"the revision {revision} is no date MMDDYY")
    expected_numbers = tuple(int(revision[i:i + 2], 10) for i in (0, 2, 4)) + (0,)
    if numbers != expected_numbers:
        raise Refused(f"the file version is {numbers}, not {expected_numbers} for revision {revision}")
    model_text = "base model Korrin" if model == "Korrin" else "Pro model KorrinPro"
    wanted = {
        "FileDescription": ["Korrin firmware updater", revision, model],
        "ProductName": ["korrin-update"],
        "FileVersion": [revision, model],
        "ProductVersion": [revision, model],
        "Comments": [revision, model_text],
        "OriginalFilename": [exe_name],
        "CompanyName": [""],
        "LegalCopyright": ["Copyright"],
    }
    for field, parts in wanted.items():
        value = strings.get(field, "")
        missing = [part for part in parts if part not in value]
        if missing or not value:
            raise Refused(f"the version information's {field} is {value!r}: it lacks {missing}")
    print(f"ok: version {'.'.join(map(str, numbers))}, " +
          "; ".join(f"{field}: {strings[field]}" for field in wanted))

    raw = files[GUIDE_NAME]
    guide = raw.decode("utf-8-sig")
    if "\n" in guide.replace("\r\n", ""):
        raise Refused(f"{GUIDE_NAME} has lines not ended by CRLF")
    with open(args.guide, encoding="utf-8") as f:
        texts = operator_texts(f.read())
    for number, line in enumerate(guide.lstrip("\ufeff").split("\r\n"), 1):
        if len(line) > GUIDE_COLUMNS:
            raise Refused(f"{GUIDE_NAME} line {number} is {len(line)} columns, more than {GUIDE_COLUMNS}: {line!r}")
        for mark in NOT_IN_GUIDE:
            if mark in line:
                raise Refused(f"{GUIDE_NAME} line {number} has {mark!r}, not for Windows operators: {line!r}")
    print(f"ok: {GUIDE_NAME}: plain text, at most {GUIDE_COLUMNS} columns, for Windows operators only")
    flat = collapse(guide)
    for text in [exe_name, revision] + texts:
        if collapse(text) not in flat:
            raise Refused(f"{GUIDE_NAME} lacks the text of {os.path.basename(args.guide)}: {text!r}")
    print(f"ok: {GUIDE_NAME} names {exe_name} and holds all {len(texts)} texts of {os.path.basename(args.guide)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("zip")
    parser.add_argument("--release", default=os.path.join(ROOT, "release"))
    parser.add_argument("--guide", default=os.path.join(ROOT, "docs", "operator-guide.md"))
    parser.add_argument("--exe")
    args = parser.parse_args()
    try:
        check(args)
    except (Refused, OSError, zipfile.BadZipFile, struct.error, ValueError) as refused:
        print(f"release zip refused: {refused}", file=sys.stderr)
        return 1
    print("release zip: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
