#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus: the demo container, one
container per interesting compact stream, and a few random well-formed
containers (with four sequences in shuffled order)."""
import os
import sys

import zarq

STREAMS = [
    "00 80 3C", "00 80 3C 05 3E", "00 E0 40", "00 90 3C 40 0A 3E 40", "00 C5 07 10 D5 20",
    "00 90 3C 40 83 60 3E 40", "00 90 3C 40 81 80 00 3E 40", "00 FF 03 02 41 42 00 FF 01 00",
    "00 FF 51 03 07 A1 20", "00 FF 2F 00 11 22 33", "00 90 3C 40 00 FF 0A 02 41 42", "00 FF 90",
    "00 F0 2F 00", "00 F7 2F 00", "00 F0 05 03 7F 09 01", "00 90 3C 40 00 FF 01 00 00 3E 40",
    "00 90 3C 40 00 F1 01 00 00 3E 40", "FF 03 00", "90 3C 40 05 3E 40", "83 60 90 3C 40",
    "00 80", "00 FF 03 05 41", "81 81 81 81 81 81 81 81 81 81 00 90 3C 40",
]


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    with open(os.path.join(root, "examples", "demo.dat"), "rb") as f:
        demo = f.read()
    seeds = {"demo.dat": demo}
    for index, text in enumerate(STREAMS):
        stream = bytes.fromhex(text)
        seeds[f"stream{index:02}.dat"] = zarq.build_container([stream + bytes.fromhex("00 FF 2F 00")])
        seeds[f"cut{index:02}.dat"] = zarq.build_container([stream])
    for seed in range(6):
        image, _, _ = zarq.random_container(1000 + seed)
        seeds[f"random{seed}.dat"] = image
    for name, data in seeds.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "fuzz", "corpus")))
