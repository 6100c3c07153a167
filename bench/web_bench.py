#!/usr/bin/env python3
"""The page's speed against the native library's, on one container made by
make_container (64 MiB of the realistic mix by default).

The page: the container dropped RUNS times in headless Chromium (file://);
for each, the page's own measure (performance.now()) from the container's
bytes in the WebAssembly heap to every output in a Blob. The first run is
kept apart: the browser compiles the module's hot code again, optimised,
while it runs. Then the converter alone, in the page: each file converted
again with its outputs dropped piece by piece (no copy, no Blob). On two
processors or more the page converts each long song on two workers; the
native figures are one thread's.

The native library: bench/native_in_memory, one thread, converting the same
bytes in memory into a counting sink, and into memory of its own (every
output written out, as a Blob's bytes are; on a machine whose fresh memory
is slow to come, such as a virtual machine that backs it lazily, that is
most of the time).

  web_bench.py --page build/web/index.html --tools build/release/bench [--size BYTES] [--runs N]

Writes a Markdown table to standard output and to --out."""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import web_test  # noqa: E402


def page_runs(page, container, runs, work):
    paths = []
    for run in range(runs):
        path = os.path.join(work, f"copy{run}", os.path.basename(container))
        os.makedirs(os.path.dirname(path))
        os.link(container, path)
        paths.append(path)
    driver = web_test.start_browser(os.path.join(work, "profile"), os.path.join(work, "downloads"))
    try:
        driver.get("file://" + os.path.abspath(page))
        # One at a time, so that nothing else runs in the page while one converts.
        for count, path in enumerate(paths, start=1):
            web_test.drop(driver, [path])
            if not web_test.wait_settled(driver, count, timeout=300):
                raise RuntimeError("the page did not finish")
        conversions = driver.execute_script("return window.tolvarinPage.conversions")
        for index, conversion in enumerate(conversions):
            conversion["coreMs"] = driver.execute_async_script(
                "const [index, done] = arguments; window.tolvarinPage.timeConverter(index).then(done, e => done(-1));", index)
        return conversions
    finally:
        driver.quit()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--tools", required=True, help="the folder of make_container and native_in_memory")
    parser.add_argument("--size", type=int, default=64 * 1024 * 1024)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--out", default=None)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tolvarin-web-bench-")
    try:
        container = os.path.join(work, "realistic.dat")
        made = subprocess.run([os.path.join(args.tools, "make_container"), str(args.size), container],
                              check=True, capture_output=True, text=True).stdout.strip()
        runner = os.path.join(args.tools, "native_in_memory")
        native = json.loads(subprocess.run([runner, container, str(2 * args.runs + 1)],
                                           check=True, capture_output=True, text=True).stdout)
        native_memory = json.loads(subprocess.run([runner, container, str(2 * args.runs + 1), "memory"],
                                                  check=True, capture_output=True, text=True).stdout)
        conversions = page_runs(args.page, container, args.runs, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    later = conversions[1:] or conversions
    whole = statistics.median(c["convertMs"] for c in later)
    core = statistics.median(c["coreMs"] for c in later)
    described = statistics.median(c["describeMs"] for c in later)
    lines = [
        f"# The page against the native library, {time.strftime('%Y-%m-%d')}",
        "",
        f"Container: {made.replace(work + os.sep, '')}",
        "",
        "| What | Median ms | Runs | Over native |",
        "|---|---|---|---|",
        f"| Native library, one thread, into a counting sink | {native['median_ms']:.1f} | {native['runs']} | 1.00 |",
        f"| Native library, one thread, into memory of its own | {native_memory['median_ms']:.1f} | {native_memory['runs']} | "
        f"{native_memory['median_ms'] / native['median_ms']:.2f} |",
        f"| Page: bytes in the heap to every output in a Blob | {whole:.1f} | {len(later)} | {whole / native['median_ms']:.2f} |",
        f"| Page: the converter alone, outputs dropped | {core:.1f} | {len(later)} | {core / native['median_ms']:.2f} |",
        f"| Page: first run (bytes to Blobs), the module still being optimised | {conversions[0]['convertMs']:.1f} | 1 | "
        f"{conversions[0]['convertMs'] / native['median_ms']:.2f} |",
        f"| Page: the songs described, before the conversion | {described:.1f} | {len(later)} | "
        f"{described / native['median_ms']:.2f} |",
        "",
        "The page converts on two workers where the machine has two processors or more: songs of 4 MiB of track "
        "or more are split, the second worker translating from 55% of the track on. Songs split in each run: " +
        ", ".join(str(c.get("joined", 0)) for c in conversions) + ".",
        "",
        "Page runs (ms, bytes to Blobs / the converter alone): " +
        ", ".join(f"{c['convertMs']:.0f}/{c['coreMs']:.0f}" for c in conversions),
        "",
        f"Of the page's time, {whole - core:.0f} ms ({100 * (whole - core) / whole:.0f}%) is the outputs leaving the heap "
        "into Blobs: the browser copies their bytes into memory of its own, new memory, as the native library does "
        "into memory of its own. The other figures are medians of the runs after the first.",
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
