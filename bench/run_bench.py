#!/usr/bin/env python3
"""Measures the converter against `cp` and writes bench/RESULTS.md. Run
through `make bench` (not part of `make test`).

Whole program, on a tmpfs (/dev/shm: container, outputs and copies all there,
where the spread of paired runs is a few percent): each round runs the
converter, `cp` of the same container and `dd bs=1M` (a copy through a
user-space buffer, what a program passing every byte through user space can
at best do), and the baseline converter when one is given (--baseline, or
build/baseline/tolvarin: a build of an earlier main), in a rotating order;
ratios are medians of the per-round ratios. Each round also times the core
alone on the same container and processors (stitch_stats: the library
converting the container, read into memory beforehand, into a sink that
counts), so that what the whole program adds to its core is measured in the
same rounds: (converter - core) / cp. Containers: 64 KiB, 64 MiB and 512 MiB
of the realistic mix in 3 songs; 512 MiB of the interleaved mix (every
channel in one track, as songs are stored) in 3 songs and in one; 512 MiB
single songs of the realistic mix, of running note ons only, and of
explicit note offs and pitch bends. Each is run with all processors, with one (`taskset -c 0` on every
command of the round), and with the second processor kept busy by a spinning
process. The 512 MiB realistic container is also measured on disk.

Also: what touching a mapped container's pages costs on this machine
(page_touch); peak resident memory; the core alone (Google Benchmark, one thread,
and one 64 MiB track on 1 and 2 threads); callgrind instructions per input
byte on one thread; stitch statistics of every container."""
import argparse
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
CONVERTER = os.path.join(BUILD, "tolvarin")
MAKE_CONTAINER = os.path.join(BUILD, "bench", "make_container")
CORE_BENCH = os.path.join(BUILD, "bench", "core_bench")
STITCH_STATS = os.path.join(BUILD, "bench", "stitch_stats")
PAGE_TOUCH = os.path.join(BUILD, "bench", "page_touch")
TMPFS = "/dev/shm/tolvarin-bench"
DISK = os.path.join(ROOT, "build", "bench")

MIB = 1 << 20
# (label, size, mix, rounds)
CONTAINERS = [
    ("64 KiB, 3 songs", 64 << 10, "realistic", 41),
    ("64 MiB, 3 songs", 64 * MIB, "realistic", 11),
    ("512 MiB, 3 songs", 512 * MIB, "realistic", 7),
    ("512 MiB interleaved, 3 songs", 512 * MIB, "interleaved", 7),
    ("512 MiB interleaved, 1 song", 512 * MIB, "interleaved1", 7),
    ("512 MiB realistic, 1 song", 512 * MIB, "realistic1", 7),
    ("512 MiB running note ons", 512 * MIB, "note_ons", 7),
    ("512 MiB note offs and pitch bends", 512 * MIB, "offs_bends", 7),
]
MODES = ["all processors", "one processor", "second processor busy"]


def container(directory, size, mix):
    path = os.path.join(directory, f"bench_{mix}_{size}.dat")
    if not os.path.exists(path):
        subprocess.run([MAKE_CONTAINER, str(size), path, mix], check=True, stdout=subprocess.DEVNULL)
    return path


def outputs_of(path):
    base = path[: -len(".dat")]
    return [f"{base}_{n}.mid" for n in range(1, 5)]


def remove(paths):
    for path in paths:
        if os.path.exists(path):
            os.remove(path)


def timed(command):
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"{command} failed with {result.returncode}")
    return elapsed


def core_timed(command):
    """The core's own time, as stitch_stats reports it (its reading of the
    container into memory is not counted)."""
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{command} failed with {result.returncode}")
    return json.loads(result.stdout)["core_ms"] / 1000


def measure(path, rounds, mode, baseline):
    copy = path[: -len(".dat")] + "_copy.dat"
    pin = ["taskset", "-c", "0"] if mode == "one processor" else []
    commands = {
        "converter": (pin + [CONVERTER, path], outputs_of(path)),
        "cp": (pin + ["cp", path, copy], [copy]),
        "dd": (pin + ["dd", f"if={path}", f"of={copy}", "bs=1M", "status=none"], [copy]),
        "core": (pin + [STITCH_STATS, path], []),
    }
    if baseline:
        commands["baseline"] = (pin + [baseline, path], outputs_of(path))
    names = list(commands)
    spinner = None
    if mode == "second processor busy":
        spinner = subprocess.Popen(["taskset", "-c", "1", sys.executable, "-c", "while True: pass"])
    try:
        for name in names:  # warm-up: page cache, binaries
            remove(commands[name][1])
            (core_timed if name == "core" else timed)(commands[name][0])
        times = {name: [] for name in names}
        for round_index in range(rounds):
            shift = round_index % len(names)
            for name in names[shift:] + names[:shift]:
                command, made = commands[name]
                remove(made)
                times[name].append((core_timed if name == "core" else timed)(command))
    finally:
        if spinner:
            spinner.kill()
            spinner.wait()
        remove(outputs_of(path) + [copy])
    result = {name: statistics.median(values) for name, values in times.items()}
    for name in names:
        if name != "cp":
            result[name + "/cp"] = statistics.median(a / b for a, b in zip(times[name], times["cp"]))
    result["added/cp"] = statistics.median((a - c) / b for a, c, b in zip(times["converter"], times["core"], times["cp"]))
    return result


def page_touch(path):
    if not os.path.exists(PAGE_TOUCH):
        return None
    runs = [json.loads(subprocess.run([PAGE_TOUCH, path], capture_output=True, text=True, check=True).stdout)
            for _ in range(5)]
    return {key: statistics.median(run[key] for run in runs) for key in runs[0] if key != "sum"}


def peak_rss_mib(path):
    result = subprocess.run(["/usr/bin/time", "-f", "%M", CONVERTER, path], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    remove(outputs_of(path))
    return int(result.stderr.strip().splitlines()[-1]) / 1024


def stitch_stats(path):
    result = subprocess.run([STITCH_STATS, path], capture_output=True, text=True, check=True)
    return json.loads(result.stdout)


def instructions_per_byte(path):
    if shutil.which("valgrind") is None:
        return None
    result = subprocess.run(["taskset", "-c", "0", "valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                             CONVERTER, path], capture_output=True, text=True)
    remove(outputs_of(path))
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
            rows.append((bench["run_name"], bench["bytes_per_second"] / 1e9, bench.get("real_time")))
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
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", help="an earlier converter to measure in the same rounds")
    parser.add_argument("--quick", action="store_true", help="the 3-song containers only, all processors")
    args = parser.parse_args()
    baseline = args.baseline
    default_baseline = os.path.join(ROOT, "build", "baseline", "tolvarin")
    if baseline is None and os.path.exists(default_baseline):
        baseline = default_baseline
    directory = TMPFS if os.path.isdir("/dev/shm") else DISK
    os.makedirs(directory, exist_ok=True)
    os.makedirs(DISK, exist_ok=True)
    containers = CONTAINERS[:3] if args.quick else CONTAINERS
    modes = MODES[:1] if args.quick else MODES

    rows = []
    for label, size, mix, rounds in containers:
        path = container(directory, size, mix)
        for mode in modes:
            figures = measure(path, rounds, mode, baseline)
            rows.append((label, mode, rounds, figures))
            print(label, mode, {k: round(v, 3) for k, v in figures.items()}, flush=True)
    touch = page_touch(container(directory, 512 * MIB, "interleaved"))
    disk_path = container(DISK, 512 * MIB, "realistic")
    disk = measure(disk_path, 5, "all processors", baseline)
    print("disk", disk, flush=True)
    memory = []
    stats = []
    for label, size, mix, _ in containers:
        path = container(directory, size, mix)
        memory.append((label, peak_rss_mib(path), size / MIB))
        stats.append((label, stitch_stats(path)))
    ipb = instructions_per_byte(container(directory, 16 * MIB, "realistic"))
    remove([disk_path])
    core = core_figures()

    base_column = baseline is not None
    lines = ["# Benchmark results", "",
             f"Produced by `make bench` on {time.strftime('%Y-%m-%d')}: {cpu_name()}, {os.cpu_count()} processors, "
             f"{platform.system()} {platform.release()}. Containers, outputs and copies on a tmpfs ({directory}); each "
             "round runs the converter, `cp` and `dd bs=1M` of the same container, the core alone (stitch_stats: the "
             "container read into memory beforehand, converted on the same processors into a sink that counts; its "
             "reading not timed)"
             + (", and the baseline converter (an earlier main)" if base_column else "")
             + " in a rotating order; times are medians, ratios medians of the per-round ratios. Added / cp is "
             "(converter - core) / cp: what the whole program adds to its core, in copies.", "",
             "| Container | Processors | Rounds | Converter | Core | cp | dd bs=1M | Converter / cp | Added / cp "
             "| dd / cp |" + (" Baseline / cp |" if base_column else ""),
             "|---|---|---|---|---|---|---|---|---|---|" + ("---|" if base_column else "")]
    for label, mode, rounds, f in rows:
        line = (f"| {label} | {mode} | {rounds} | {f['converter'] * 1000:.1f} ms | {f['core'] * 1000:.1f} ms | "
                f"{f['cp'] * 1000:.1f} ms | {f['dd'] * 1000:.1f} ms | {f['converter/cp']:.2f} | {f['added/cp']:.2f} | "
                f"{f['dd/cp']:.2f} |")
        if base_column:
            line += f" {f['baseline/cp']:.2f} |"
        lines.append(line)
    lines += ["", f"On disk ({DISK}), 512 MiB, 3 songs, all processors, 5 rounds: converter "
              f"{disk['converter'] * 1000:.0f} ms, cp {disk['cp'] * 1000:.0f} ms, converter / cp "
              f"{disk['converter/cp']:.2f}" + (f", baseline / cp {disk['baseline/cp']:.2f}" if base_column else "")
              + ". The disk figures swing with the kernel's writeback of earlier outputs.", ""]
    if touch is not None:
        lines += [f"Pages of the 512 MiB interleaved container, mapped (page_touch, median of 5): "
                  f"{touch['pages']:.0f} pages; entering them all in one call {touch['populate_ms']:.1f} ms, "
                  f"touching each once from the program {touch['first_touch_ms']:.1f} ms, touching them again "
                  f"{touch['second_touch_ms']:.1f} ms; reading the file into one 256 KiB buffer piece after piece "
                  f"{touch['read_in_pieces_ms']:.1f} ms. The first touch is paid by the whole program and not by the "
                  "core, whose input was read into memory before its clock started.", ""]
    lines += [
              "Peak resident memory (all processors). A container of 1 MiB or more is read through copies, "
              "so its mapped pages count only where the program touched them (the container walk, the "
              "tracks' openings, steps done again on the image):", "",
              "| Container | Peak RSS | Container |", "|---|---|---|"]
    for label, rss, size_mib in memory:
        lines.append(f"| {label} | {rss:.1f} MiB | {size_mib:.2f} MiB |")
    lines += ["", "Stitch statistics (chunks of 128 KiB, as the program converts):", "",
              "| Container | Threads | Stitched | Translated again | In order |", "|---|---|---|---|---|"]
    for label, s in stats:
        lines.append(f"| {label} | {s['threads']} | {s['chunks_kept']} | {s['chunks_again']} | {s['chunks_serial']} |")
    lines += ["", "Core alone (Google Benchmark, median of 5; output counted, not written), GB/s of input:", "",
              "| Benchmark | GB/s |", "|---|---|"]
    lines += [f"| {name} | {rate:.2f} |" for name, rate, _ in core]
    lines += ["", "Whole program on one processor, instructions per input byte (callgrind, 16 MiB container): "
              + (f"{ipb:.2f}" if ipb is not None else "not measured (no valgrind)"), ""]
    text = "\n".join(lines)
    with open(os.path.join(ROOT, "bench", "RESULTS.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
