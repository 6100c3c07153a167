#!/usr/bin/env python3
"""The manual page renders without a warning (groff in its strictest mode,
and man), and its DIAGNOSTICS section names every message the program can
print. Exits 77 (skipped) when groff or man is not installed."""
import os
import re
import shutil
import subprocess
import sys

MESSAGES = ["Usage", "Tolvarin.exe <Zarqfile>", "No file or already opened : ", "Cannot read file : ",
            "File too large : ", "Cannot write file : ", "Cannot alloc memory"]


def main():
    page = sys.argv[1]
    if shutil.which("groff") is None or shutil.which("man") is None:
        print("SKIPPED: groff or man is not installed")
        return 77
    failures = []
    groff = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
    if groff.returncode != 0 or groff.stderr:
        failures.append(f"groff: {groff.returncode} {groff.stderr}")
    man = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                         env={**os.environ, "MANWIDTH": "80", "MANPAGER": "cat", "PAGER": "cat"})
    if man.returncode != 0 or man.stderr:
        failures.append(f"man: {man.returncode} {man.stderr}")
    text = re.sub(r".\x08", "", man.stdout)
    diagnostics = text.split("DIAGNOSTICS", 1)[-1].split("FAILURES AND INTERRUPTIONS", 1)[0]
    for message in MESSAGES:
        if message.strip() not in diagnostics:
            failures.append(f"DIAGNOSTICS does not name {message!r}")
    for section in ["NAME", "SYNOPSIS", "DESCRIPTION", "CONTAINER FORMAT", "OUTPUT FILES", "EXIT STATUS",
                    "DIAGNOSTICS", "FAILURES AND INTERRUPTIONS", "LIMITATIONS", "EXAMPLES"]:
        if not re.search(rf"^{section}$", text, re.MULTILINE):
            failures.append(f"no {section} section")
    for failure in failures:
        print("FAILED:", failure)
    print(f"manual page: {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
