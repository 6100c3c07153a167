#!/usr/bin/env python3
"""The benchmark programs read a container and convert all of it: what
native_in_memory and stitch_stats say they wrote is what the command line
writes for the same container (make bench-web's figures rest on it).
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
        container = os.path.join(work, "songs.dat")
        subprocess.run([os.path.join(args.tools, "make_container"), str(256 * 1024), container], check=True, capture_output=True)
        subprocess.run([args.binary, container], check=True, capture_output=True, cwd=work)
        outputs = sum(os.path.getsize(os.path.join(work, name)) for name in os.listdir(work) if name.endswith(".mid"))
        for tool in ("native_in_memory", "stitch_stats"):
            run = subprocess.run([os.path.join(args.tools, tool), container, "1"], capture_output=True, text=True)
            said = json.loads(run.stdout)["output_bytes"] if run.returncode == 0 else run.stderr.strip()
            if said != outputs:
                failures.append(f"{tool}: {said}; the command line wrote {outputs} bytes")
    print("\n".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
