#!/usr/bin/env python3
"""The benchmark programs read a container and convert all of it: what
native_in_memory and stitch_stats say they wrote is what the command line
writes into files for the same container (the figures of make bench-web and
of the stitch statistics rest on it).
  bench_tools_check.py --tools BENCH_FOLDER --binary TOLVARIN"""
import argparse
import json
import os
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", required=True)
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    failures = []
    with tempfile.TemporaryDirectory() as work:
        for mix in ("realistic", "offs_bends"):
            container = os.path.join(work, f"{mix}.dat")
            subprocess.run([os.path.join(args.tools, "make_container"), str(256 * 1024), container, mix],
                           check=True, capture_output=True)
            subprocess.run([args.binary, container], check=True, capture_output=True, cwd=work)
            outputs = sum(os.path.getsize(os.path.join(work, name)) for name in os.listdir(work)
                          if name.startswith(mix + "_") and name.endswith(".mid"))
            for tool, extra in (("native_in_memory", ["1"]), ("stitch_stats", ["1"]), ("stitch_stats", ["2"])):
                run = subprocess.run([os.path.join(args.tools, tool), container, *extra], capture_output=True, text=True)
                if run.returncode != 0:
                    failures.append(f"{tool} {' '.join(extra)} on {mix}: exit {run.returncode}: {run.stderr.strip()}")
                    continue
                said = json.loads(run.stdout)["output_bytes"]
                if said != outputs:
                    failures.append(f"{tool} {' '.join(extra)} on {mix}: {said} bytes, the command line wrote {outputs}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
