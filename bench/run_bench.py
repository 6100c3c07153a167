#!/usr/bin/env python3
"""Measures the converter against `cp` of the same container, and the core
alone, and writes bench/RESULTS.md. Run through `make bench`.

For each container size (64 KiB, 64 MiB, 512 MiB; made deterministically by
make_container) it warms the page cache, then alternates the two commands for
a number of repetitions and reports medians, the median of the per-pair
ratios, input MB/s, and the converter's peak resident memory. It also counts
the converter's instructions per input byte on a 16 MiB container under
callgrind, and runs the Google Benchmark of the core."""
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "release")
DATA = os.path.join(ROOT, "build", "bench")
CONVERTER = os.path.join(BUILD, "tolvarin")
MAKE_CONTAINER = os.path.join(BUILD, "bench", "make_container")
CORE_BENCH = os.path.join(BUILD, "bench", "core_bench")

SIZES = [("64 KiB", 64 << 10, 41), ("64 MiB", 64 << 20, 9), ("512 MiB", 512 << 20, 5)]


def container(size):
    path = os.path.join(DATA, f"bench_{size}.dat")
    if not os.path.exists(path):
        subprocess.run([MAKE_CONTAINER, str(size), path], check=True, stdout=subprocess.DEVNULL)
    return path


def timed(command):
    """Wall time of one run, in seconds."""
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"{command} failed with {result.returncode}")
    return elapsed


def peak_rss_kib(command):
    """Peak resident memory of one run, measured by /usr/bin/time: a child of
    this Python process would count the pages it shared before exec."""
    if not os.path.exists("/usr/bin/time"):
        return float("nan")
    result = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    return int(result.stderr.strip().splitlines()[-1])


def remove(paths):
    for path in paths:
        if os.path.exists(path):
            os.remove(path)


def measure(label, size, repetitions):
    path = container(size)
    base = path[: -len(".dat")]
    outputs = [f"{base}_{n}.mid" for n in range(1, 5)]
    copy = base + "_copy.dat"
    converter = [CONVERTER, path]
    cp = ["cp", path, copy]
    with open(path, "rb") as f:  # page cache warm-up
        while f.read(1 << 24):
            pass
    for command in (converter, cp):
        timed(command)
    times = {"converter": [], "cp": []}
    for rep in range(repetitions):
        order = [("converter", converter, outputs), ("cp", cp, [copy])]
        if rep % 2:
            order.reverse()
        for name, command, made in order:
            remove(made)
            times[name].append(timed(command))
    remove(outputs)
    rss = peak_rss_kib(converter)
    remove(outputs + [copy])
    ratios = [a / b for a, b in zip(times["converter"], times["cp"])]
    conv = statistics.median(times["converter"])
    copy_time = statistics.median(times["cp"])
    return {
        "label": label, "size": size, "repetitions": repetitions,
        "converter_s": conv, "cp_s": copy_time,
        "converter_mbs": size / conv / 1e6, "cp_mbs": size / copy_time / 1e6,
        "ratio": statistics.median(ratios), "rss_mib": rss / 1024,
        "rss_over_input_mib": rss / 1024 - size / (1 << 20),
    }


def instructions_per_byte():
    if shutil.which("valgrind") is None:
        return None
    path = container(16 << 20)
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", CONVERTER, path],
                            capture_output=True, text=True)
    for base in (path[: -len(".dat")],):
        remove([f"{base}_{n}.mid" for n in range(1, 5)])
    for line in result.stderr.splitlines():
        if "Collected :" in line:
            return int(line.split(":")[-1]) / os.path.getsize(path)
    return None


def core_figures():
    if not os.path.exists(CORE_BENCH):
        return []
    result = subprocess.run([CORE_BENCH, "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true",
                             "--benchmark_format=json"], capture_output=True, text=True, check=True)
    rows = []
    for bench in json.loads(result.stdout)["benchmarks"]:
        if bench.get("aggregate_name") == "median":
            rows.append((bench["run_name"].split("/", 1)[1], bench["bytes_per_second"] / 1e9))
    return rows


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    os.makedirs(DATA, exist_ok=True)
    rows = [measure(label, size, reps) for label, size, reps in SIZES]
    ipb = instructions_per_byte()
    core = core_figures()

    lines = ["# Benchmark results", "",
             f"Produced by `make bench` on {time.strftime('%Y-%m-%d')}: {cpu_name()}, {os.cpu_count()} cores, "
             f"{platform.system()} {platform.release()}. Warm page cache; the converter writes its outputs next to "
             "the container and `cp` copies the container on the same file system; the two alternate, medians of "
             "the repetitions shown, ratio = median of the per-pair ratios.", "",
             "| Container | Repetitions | Converter | cp | Converter MB/s | cp MB/s | Converter / cp | Peak RSS | RSS over input |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['label']} | {r['repetitions']} | {r['converter_s'] * 1000:.1f} ms | {r['cp_s'] * 1000:.1f} ms | "
                     f"{r['converter_mbs']:.0f} | {r['cp_mbs']:.0f} | {r['ratio']:.2f} | {r['rss_mib']:.1f} MiB | "
                     f"{r['rss_over_input_mib']:.1f} MiB |")
    lines += ["", "Core alone (`translate_track` over a 16 MiB stream, Google Benchmark, median of 5):", "",
              "| Mix | GB/s of input |", "|---|---|"]
    lines += [f"| {name} | {rate:.2f} |" for name, rate in core]
    lines += ["", "Whole program, instructions per input byte (callgrind, 16 MiB container): "
              + (f"{ipb:.2f}" if ipb is not None else "not measured (no valgrind)"), ""]
    text = "\n".join(lines)
    with open(os.path.join(ROOT, "bench", "RESULTS.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
