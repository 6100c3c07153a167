#!/usr/bin/env python3
"""The converter against an earlier build of it and `cp`, in paired rounds:
each round runs the three on the same container in a rotating order, and the
ratios are medians of the per-round ratios (the machine may be shared, so no
single time means much). Every mix of run_bench.py, on all processors and on
one (`taskset -c 0`).
  bench/paired.py BASELINE [--rounds N] [--mixes a,b] [--modes all,one]"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_bench  # noqa: E402

DIRECTORY = "/dev/shm/tolvarin-paired"


def timed(command):
    start = time.perf_counter()
    if subprocess.run(command, stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit(f"{command} failed")
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("baseline")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--mixes", help="labels' mixes to run, comma-separated (default: all)")
    parser.add_argument("--modes", default="all,one")
    args = parser.parse_args()
    os.makedirs(DIRECTORY, exist_ok=True)
    for label, size, mix, _ in run_bench.CONTAINERS:
        if args.mixes and mix not in args.mixes.split(","):
            continue
        path = run_bench.container(DIRECTORY, size, mix)
        copy = path[: -len(".dat")] + "_copy.dat"
        for mode in args.modes.split(","):
            pin = ["taskset", "-c", "0"] if mode == "one" else []
            commands = {"new": pin + [run_bench.CONVERTER, path], "baseline": pin + [args.baseline, path],
                        "cp": pin + ["cp", path, copy]}
            names = list(commands)
            rounds = args.rounds if size > (1 << 20) else 5 * args.rounds
            times = {name: [] for name in names}
            for name in names:
                timed(commands[name])
            for index in range(rounds):
                order = names[index % 3:] + names[:index % 3]
                for name in order:
                    run_bench.remove(run_bench.outputs_of(path) + [copy])
                    times[name].append(timed(commands[name]))
            run_bench.remove(run_bench.outputs_of(path) + [copy])
            new = statistics.median(a / b for a, b in zip(times["new"], times["cp"]))
            old = statistics.median(a / b for a, b in zip(times["baseline"], times["cp"]))
            pair = statistics.median(a / b for a, b in zip(times["new"], times["baseline"]))
            spread = (max(times["cp"]) - min(times["cp"])) / statistics.median(times["cp"])
            print(f"| {label} | {'both' if mode == 'all' else 'one'} | {rounds} | {new:.2f} | {old:.2f} | "
                  f"{pair:.2f} | {statistics.median(times['cp']) * 1000:.0f} ms | {spread:.0%} |", flush=True)


if __name__ == "__main__":
    main()
