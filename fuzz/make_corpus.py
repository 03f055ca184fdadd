#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Each seed spells out, in the byte layout its target reads (unit_run() and
config_area() below write it field by field, in the order the target reads
it), one unit or configuration area worth starting from: the roads of a whole
update, the exits, and a few faults.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# fuzz_unit_run: indexes into its tables.
ROWS = [0, 1, 3, 25, 32, 81, 94, 95, 120, 137, 140, 143, 146, 155, 158, 159, 160, 161]
ARBITRARY_SUM = len(ROWS)
RELEASE_LOADED = len(ROWS) + 1
LEGACY, CONFIG, PRO, BLANK = 0, 1, 2, 3
BAD_CHECKSUMS, MARKED = 4, 8
HONEST, ALIGNED, FREE = 0, 2, 3
KEY = {"y": 0, "Y": 2, "n": 3, "enter": 4}
SPEED = {"any": 0, 28800: 1, 14400: 2, 9600: 3, 4800: 4, 2400: 5, 1200: 6}
LETTER = {"E": 0, "G": 1, "H": 2, "C": 3, "M": 4}
FAULT = {"lose": 0, "cut": 1, "garble": 2, "delay": 3, "lower": 4, "unpadded": 5, "nul": 6, "extra": 7}
PORT_FAULT = {"mask": 0, "timeouts": 1, "state": 2, "busy": 3, "gone": 4}
HOOK_LETTER = {"E": 0, "G": 1, "H": 2, "C": 3, "M": 4, "*": 5}
# Rewrites; "delta" and "respell" are one: the honest sum plus a, spelled as variant b.
OP = {"replace": 0, "delta": 1, "respell": 1, "flipbits": 2, "truncate": 3, "setchar": 4, "insert": 5,
      "delay": 6, "double": 7}


def unit_run(mode=HONEST, pro=False, revision=0, args=0, row=None, arbitrary=None, release=False,
             records=LEGACY, seed=7, keys=(), speed="any", never_hok=False, answer_limit=None,
             port_fault=None, port_fails_after=0,
             noise=None, rules=(), hooks=()):
    out = bytearray([mode, (revision << 1) | int(pro), args])
    if release:
        out.append(RELEASE_LOADED)
    elif arbitrary is not None:
        out.append(ARBITRARY_SUM)
        out += struct.pack("<I", arbitrary)
    else:
        out.append(ROWS.index(row))
    out += bytes([records, seed, len(keys)] + [KEY[k] for k in keys])
    line = (int(never_hok) | (SPEED[speed] << 1) | (0x10 if answer_limit is not None else 0) |
            (0x20 if port_fault is not None else 0))
    out.append(line)
    if answer_limit is not None:
        out += struct.pack("<H", answer_limit)
    if port_fault is not None:
        out.append(PORT_FAULT[port_fault])
        out += struct.pack("<H", port_fails_after)
    if mode == HONEST:
        if noise:
            out += bytes([1, noise // 4, 3])
        else:
            out.append(0)
        out.append(len(rules))
        for letter, first, count, kind, delay in rules:
            out += bytes([LETTER[letter]]) + struct.pack("<H", first) + bytes([count, FAULT[kind], delay])
    else:
        out.append(len(hooks))
        for letter, first, count, op, a, b, payload in hooks:
            out += bytes([HOOK_LETTER[letter]]) + struct.pack("<H", first)
            out += bytes([count, OP[op], a, b, len(payload)]) + payload
    return bytes(out)


def config_area(pro=False, revision=0, row=0, seal=0, direct_mode=1, noise_seed=None, offset=0, area=b""):
    background = bytes([1]) + struct.pack("<I", noise_seed) if noise_seed is not None else bytes(5)
    return (bytes([(revision << 1) | int(pro)]) + struct.pack("<H", row) + bytes([seal, direct_mode]) +
            background + struct.pack("<H", offset) + area)


SEEDS = {
    "fuzz_unit_run": {
        "convert_row0": unit_run(row=0, records=LEGACY),
        "uptodate_release": unit_run(release=True, records=CONFIG),
        "unknown_yes": unit_run(arbitrary=0x4B1234, records=LEGACY, keys=("y",)),
        "unknown_refused": unit_run(arbitrary=0x4B1234, records=CONFIG, keys=("n",)),
        "wrong_model_row3": unit_run(row=3, records=CONFIG),
        "pro_row95_marked": unit_run(pro=True, row=95, records=CONFIG | MARKED),
        "fallback_9600": unit_run(row=143, records=CONFIG, speed=9600),
        "slow_2400_no_hok": unit_run(args=5, row=158, records=BLANK, never_hok=True),
        "faults_noise_lost_sums": unit_run(
            row=0, records=LEGACY, noise=40,
            rules=[("C", 3, 4, "lose", 0), ("M", 10, 2, "garble", 0), ("C", 300, 3, "delay", 180),
                   ("E", 21, 1, "lose", 0)]),
        # Block 0x1C000 is all zeros: its first checksum reply (the 98th 'C' reply) is lost.
        "lost_reply_zero_block": unit_run(release=True, records=CONFIG, rules=[("C", 97, 1, "lose", 0)]),
        "port_lost_at_speed_cap": unit_run(row=0, records=LEGACY, port_fault="state", port_fails_after=25),
        # Every checksum reply from the 41st on is one too high: that block is never confirmed.
        "faults_block_fails": unit_run(mode=ALIGNED, release=True, records=CONFIG,
                                       hooks=[("C", 40, 40, "delta", 1, 0, b"")]),
        "aligned_wrong_sums": unit_run(
            mode=ALIGNED, row=0, records=LEGACY,
            hooks=[("C", 50, 2, "delta", 1, 0, b""), ("C", 400, 1, "respell", 0, 3, b""),
                   ("M", 7, 1, "setchar", 5, ord("Z"), b""), ("E", 0, 30, "delay", 150, 0, b"")]),
        "aligned_sums_wrong_high": unit_run(
            mode=ALIGNED, release=True, records=CONFIG,
            hooks=[("C", 30, 40, "flipbits", 20, 0, b"")]),
        "free_late_and_long": unit_run(
            mode=FREE, release=True, records=CONFIG,
            hooks=[("C", 20, 3, "delay", 200, 0, b""), ("C", 60, 2, "double", 0, 0, b""),
                   ("H", 0, 1, "replace", 0, 0, b"HOk HOk")]),
    },
    "fuzz_config_area": {
        "base_row0_legacy": config_area(row=0, seal=0x04, direct_mode=1, noise_seed=1),
        "pro_row95_config_marked": config_area(pro=True, row=95, seal=0x08 | 0x10, direct_mode=2, noise_seed=2),
        "base_unknown_legacy_record0": config_area(row=162, seal=0x01, direct_mode=1, noise_seed=3),
        "pro_unknown_both_layouts": config_area(pro=True, row=162, seal=0x03, direct_mode=2, noise_seed=4),
        "old_pro_unknown_config": config_area(pro=True, revision=4, row=162, seal=0x02, direct_mode=2,
                                              noise_seed=5),
        "wrong_model_blank": config_area(row=3, seal=0, direct_mode=0),
        "unknown_blank_area": config_area(pro=True, row=162, seal=0, direct_mode=2),
        "conversion_only_legacy_to_pro": config_area(pro=True, seal=0x20 | 0x04, direct_mode=1, noise_seed=6,
                                                     offset=2480 * 5, area=b":" + bytes(range(40))),
    },
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
