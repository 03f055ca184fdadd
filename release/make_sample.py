#!/usr/bin/env python3
"""Write the sample release carried by korrin-update into this folder.

The real images are not available; this release keeps every fact the updater
relies on (sizes, revision, model, the unit table with its telling rows, the
identification window sum, the zeroed configuration area) and fills the rest
of the image bytes deterministically, so the output is the same on every run.

Usage: python3 release/make_sample.py [output folder, default: beside this script]
"""
import hashlib
import os
import sys

MODEL = "Korrin"
REVISION = 0x020904

SW_SIZE = 127186
HW_SIZE = 180254

CONFIG_AREA = (0x4000, 0x8000)     # the unit keeps its records here; never sent
IDENT_WINDOW = (0x8000, 0x16000)   # the unit sums this range to name its build
OWN_WINDOW_SUM = 0x4AA4BE          # row 158, this release's base-model build

DOWNLOAD_BLOCK = 1024
SW_ZERO_BLOCK = 0x1C000            # a download block of zeros after the window
HW_ZERO_BLOCK = 0x20000            # 128 blocks into the hardware image
HW_HEADER = bytes([0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66])

TABLE_ROWS = 162
DISTINCT_SUMS = 148
SUM_RANGE = (0x4A0000, 0x4E0000)

# Builds in table order: (revision, models of its rows). 0 is Korrin, 1 KorrinPro.
# Most revisions have one base and one Pro build side by side.
BUILDS = [
    (0x030303, [0]),
    (0x000000, [1]),                 # placeholder row
    (0x030503, [0, 1]), (0x030603, [0, 1]), (0x030703, [0, 1]), (0x031003, [0, 1]),
    (0x031203, [0, 1]), (0x031403, [0, 1]), (0x031703, [0, 1]), (0x031803, [0, 1]),
    (0x032003, [0, 1]), (0x032403, [0, 1]), (0x032703, [0, 1]),
    (0x033103, [0]),
    (0x033101, [1]),                 # Pro build stamped with year 01
    (0x040303, [0, 1]), (0x040903, [0, 1]), (0x041603, [0, 1]),
    (0x042303, [0, 1]),
    (0x042403, [0, 1]), (0x042903, [0, 1]), (0x050203, [0, 1]), (0x050703, [0, 1]),
    (0x051203, [0, 1]), (0x051603, [0, 1]), (0x052103, [0, 1]), (0x052703, [0, 1]),
    (0x060203, [0, 1]), (0x060603, [0, 1]), (0x061203, [0, 1]), (0x061803, [0, 1]),
    (0x062403, [0, 1]), (0x070103, [0, 1]), (0x070803, [0, 1]), (0x071503, [0, 1]),
    (0x072203, [0, 1]), (0x072903, [0, 1]), (0x080503, [0, 1]), (0x081203, [0, 1]),
    (0x081803, [0, 1]), (0x082203, [0, 1]), (0x082603, [0, 1]),
    (0x082803, [1]),
    (0x083003, [0, 0, 1]),
    (0x090203, [0, 0, 0, 1, 1, 1]),
    (0x090503, [0, 1]), (0x090903, [0, 1]),
    (0x091103, [0, 1, 0, 1]),
    (0x091503, [1, 1, 0, 1]),      # a Pro build that left the window as row 94's base build
    (0x091603, [0, 1, 0, 1]), (0x091803, [0, 1, 0, 1]),
    (0x091903, [0, 1]), (0x092203, [0, 1]), (0x092303, [0, 1]),
    (0x092503, [0, 1]), (0x092603, [0, 1]),
    (0x093003, [0, 1, 0, 1]), (0x101003, [0, 1, 0, 1]),
    (0x101203, [0, 1]), (0x101603, [0, 1]), (0x102003, [0, 1]), (0x102403, [0, 1]),
    (0x102803, [1]),
    (0x103003, [0, 0, 1]), (0x110603, [0, 0, 1]), (0x111103, [0, 0, 1]), (0x112003, [0, 0, 1]),
    (0x120203, [0, 1]), (0x121603, [0, 1]),
    (0x010704, [1]),
    (0x011904, [0, 0, 1, 1]),
    (REVISION, [0, 0, 1, 1]),
]

# Rows whose values the updater's behaviour is defined against: row -> (id, rev, sum).
# A sum of None leaves the row's sum to be generated.
TELLING_ROWS = {
    0: (0, 0x030303, 0x4C9B93),
    1: (1, 0x000000, 0x000001),
    3: (1, None, 0x4D5A69),
    25: (1, 0x033101, 0x4CB6A0),
    32: (0, 0x042303, 0x000000),
    81: (0, 0x083003, 0x4C3260), 82: (0, 0x083003, 0x4C3260), 83: (1, 0x083003, 0x4C3260),
    94: (0, 0x091103, 0x4C0AC6), 98: (1, 0x091503, 0x4C0AC6),
    95: (1, 0x091103, 0x4C20E2), 99: (1, 0x091503, 0x4C20E2),
    103: (1, 0x091603, 0x4C20E2), 107: (1, 0x091803, 0x4C20E2),
    120: (0, 0x093003, 0x4A3B41), 124: (0, 0x101003, 0x4A3B41),
    137: (0, 0x103003, None), 140: (0, 0x110603, None),
    143: (0, 0x111103, None), 146: (0, 0x112003, None),
    155: (0, 0x011904, 0x4AC0A3),
    158: (0, REVISION, OWN_WINDOW_SUM), 159: (0, REVISION, 0x4AEFD5),
    160: (1, REVISION, 0x4A80EB), 161: (1, REVISION, 0x4A6E04),
}

# Builds that left the identification window as an earlier build did.
SHARED_SUMS = {
    0x4D67B3: [54, 57],
    0x4C9EEB: [84, 85, 86],
    0x4C7845: [87, 88, 89],
    0x4A71F2: [102, 106],
    0x4A9EBA: [121, 125],
}


def stream(label, length):
    """Deterministic pseudo-random bytes, independent of the Python version."""
    return hashlib.shake_256(b"korrin sample release: " + label.encode()).digest(length)


def make_table():
    rows = [(model, rev) for rev, models in BUILDS for model in models]
    assert len(rows) == TABLE_ROWS, len(rows)
    sums = [None] * TABLE_ROWS
    for row, (model, rev, total) in TELLING_ROWS.items():
        assert rows[row][0] == model, row
        assert rev is None or rows[row][1] == rev, row
        sums[row] = total
    for total, shared in SHARED_SUMS.items():
        for row in shared:
            assert sums[row] is None, row
            sums[row] = total

    taken = set(s for s in sums if s is not None)
    noise = stream("unit table sums", 4 * 4096)
    span = SUM_RANGE[1] - SUM_RANGE[0]
    pick = 0
    for row in range(TABLE_ROWS):
        while sums[row] is None:
            candidate = SUM_RANGE[0] + int.from_bytes(noise[4 * pick:4 * pick + 4], "little") % span
            pick += 1
            if candidate not in taken:
                taken.add(candidate)
                sums[row] = candidate

    assert len(set(sums)) == DISTINCT_SUMS
    assert sums.index(OWN_WINDOW_SUM) == 158
    return [(row, model, rev, sums[row]) for row, (model, rev) in enumerate(rows)]


def code_like(label, length):
    """Bytes with the lower mean of machine code (many small values), so that a
    window of them sums near a real build's checksum."""
    raw = stream(label, 3 * length)
    out = bytearray(length)
    for i in range(length):
        x, y, pick = raw[3 * i], raw[3 * i + 1], raw[3 * i + 2]
        out[i] = x if pick < 86 else x & y
    return out


def make_sw_image():
    image = code_like("software image", SW_SIZE)

    # Exception vectors: eight "load pc from the literal 0x18 further on",
    # then the eight handler addresses they load.
    handlers = [0x0100 + 0x40 * i for i in range(8)]
    image[0:32] = bytes([0x18, 0xF0, 0x9F, 0xE5]) * 8
    image[32:64] = b"".join(h.to_bytes(4, "little") for h in handlers)

    image[CONFIG_AREA[0]:CONFIG_AREA[1]] = bytes(CONFIG_AREA[1] - CONFIG_AREA[0])
    image[SW_ZERO_BLOCK:SW_ZERO_BLOCK + DOWNLOAD_BLOCK] = bytes(DOWNLOAD_BLOCK)

    # Bring the window to this build's checksum by nudging bytes spread over it.
    start, end = IDENT_WINDOW
    missing = OWN_WINDOW_SUM - sum(image[start:end])
    at = end - 1
    while missing != 0:
        assert at >= start, "window cannot reach its checksum"
        step = min(missing, 255 - image[at]) if missing > 0 else -min(-missing, image[at])
        image[at] += step
        missing -= step
        at -= 61

    assert sum(image[start:end]) == OWN_WINDOW_SUM
    return bytes(image)


def make_hw_image():
    image = bytearray(stream("hardware image", HW_SIZE))
    image[0:len(HW_HEADER)] = HW_HEADER
    image[HW_ZERO_BLOCK:HW_ZERO_BLOCK + DOWNLOAD_BLOCK] = bytes(DOWNLOAD_BLOCK)
    return bytes(image)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    table = make_table()
    sw_image = make_sw_image()
    hw_image = make_hw_image()

    with open(os.path.join(folder, "release.txt"), "w", newline="\n") as f:
        f.write("model=%s\nrevision=%06x\n" % (MODEL, REVISION))
    with open(os.path.join(folder, "unit_table.csv"), "w", newline="\n") as f:
        f.write("row,id,rev,sum\n")
        for row, model, rev, total in table:
            f.write("%d,%d,0x%06X,0x%06X\n" % (row, model, rev, total))
    with open(os.path.join(folder, "sw_image.bin"), "wb") as f:
        f.write(sw_image)
    with open(os.path.join(folder, "hw_image.bin"), "wb") as f:
        f.write(hw_image)


if __name__ == "__main__":
    main()
