#!/usr/bin/env python3
"""Runs a cross-built converter through an emulator (qemu-user) and the
native build side by side on the demo, on random well-formed containers and
on hostile ones (random bytes behind random slots, streams cut anywhere),
and requires the same exit status, the same console text after the banner
and byte-identical outputs. Prints 'N containers: every output identical'."""
import argparse
import os
import random
import shlex
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import zarq  # noqa: E402


def hostile_container(seed):
    """Random event-like bytes: status bytes, text lengths and delta times
    where the fast paths are most likely to slip, cut at a random point."""
    rng = random.Random(seed)
    pieces = [b"\x00", b"\x81\x00", b"\x90\x3c\x40", b"\x3c\x40", b"\x80\x3c", b"\x3c", b"\xe0\x40", b"\xc3\x05",
              b"\xff\x01\x03ABC", b"\xff\x51\x03\x07\xa1\x20", b"\xf0\x05\x01\x02", b"\xf8\x20\x00",
              b"\xff\x2f\x00", b"\xff\x7f\x00", b"\xff\x01\x90" + bytes(range(0x20, 0xB0)), b"\xf1\x01\x00"]
    image = bytearray(16)
    slots = []
    for _ in range(rng.randrange(1, 5)):
        slots.append(len(image))
        image += zarq.header_block(rng.randrange(1, 1000), rng.getrandbits(32))
        stream = bytearray()
        target = rng.choice([rng.randrange(0, 64), rng.randrange(0, 3000)])
        while len(stream) < target:
            stream += rng.choice(pieces) if rng.random() < 0.8 else bytes([rng.randrange(256)])
        image += stream
    for number, start in enumerate(slots[1:], start=1):
        struct.pack_into("<I", image, 4 * number, start - 4)
    if rng.random() < 0.3:
        del image[rng.randrange(16, len(image) + 1):]
    return bytes(image)


def run(command, workdir, name, image):
    os.makedirs(workdir, exist_ok=True)
    path = os.path.join(workdir, name + ".dat")
    with open(path, "wb") as f:
        f.write(image)
    result = subprocess.run(command + [path], capture_output=True)
    outputs = {}
    for entry in sorted(os.listdir(workdir)):
        if entry.startswith(name + "_"):
            with open(os.path.join(workdir, entry), "rb") as f:
                outputs[entry] = f.read()
    text = result.stdout.split(b"\n", 1)
    return result.returncode, text[1] if len(text) > 1 else b"", result.stderr, outputs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True, help="e.g. 'qemu-s390x -L /usr/s390x-linux-gnu'")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--native", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--containers", type=int, default=200)
    parser.add_argument("--name", default="cross")
    args = parser.parse_args()
    emulated = shlex.split(args.emulator) + [os.path.abspath(args.binary)]
    native = [os.path.abspath(args.native)]

    with open(args.demo, "rb") as f:
        cases = [("demo", f.read())]
    cases += [(f"random{seed}", zarq.random_container(seed)[0]) for seed in range(args.containers)]
    cases += [(f"hostile{seed}", hostile_container(seed)) for seed in range(args.containers // 2)]

    failures = 0
    with tempfile.TemporaryDirectory(prefix="tolvarin-cross-") as work:
        for name, image in cases:
            there = run(emulated, os.path.join(work, "emulated"), name, image)
            here = run(native, os.path.join(work, "native"), name, image)
            if there != here:
                failures += 1
                print(f"{args.name}: {name} differs: status {there[0]} / {here[0]}, "
                      f"text {there[1]!r} / {here[1]!r}, stderr {there[2][:200]!r}, "
                      f"outputs {sorted(there[3])} / {sorted(here[3])}")
    if failures:
        print(f"{args.name}: {failures} of {len(cases)} containers differ")
        return 1
    print(f"{args.name}: {len(cases)} containers: every output identical to the native build's")
    return 0


if __name__ == "__main__":
    sys.exit(main())
