#!/usr/bin/env python3
"""Checks that every #include follows the layering in CONTRIBUTING.md.

Each folder of sources is a layer and may include only from the layers it
is built on; the library's folders (format, fast, convert) and its public
interface never include the command line or the platform layer, and never
reach the console, files or signals. Prints every breach with its file and
line, and exits 1 if there is one.

Usage: check_layers.py [ROOT]"""
import os
import re
import sys

# What each layer may include with #include "...", by the folder the
# included file lies in (relative to src/, or tolvarin/ for the interface).
ALLOWED = {
    "include/tolvarin": {"tolvarin"},
    "src/format": {"tolvarin", "format"},
    "src/fast": {"tolvarin", "format", "fast"},
    "src/convert": {"tolvarin", "format", "fast", "convert"},
    "src/platform": {"tolvarin", "platform"},
    "src/cli": {"tolvarin", "platform", "cli"},
    "web": {"tolvarin"},
}

# System headers the library must not use: the console, files, processes
# and signals belong to the command line and its platform layer. The one
# exception is the library's own worker threads.
FORBIDDEN_IN_LIBRARY = re.compile(
    r"^(cstdio|stdio\.h|iostream|fstream|ostream|istream|filesystem|csignal|signal\.h|csetjmp|setjmp\.h|"
    r"unistd\.h|fcntl\.h|dlfcn\.h|sys/.*|windows\.h|pthread\.h|sched\.h)$")
LIBRARY_THREADS = "src/convert/threads.cpp"

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(path):
    for layer in sorted(ALLOWED, key=len, reverse=True):
        if path == layer or path.startswith(layer + "/"):
            return layer
    return None


def target_layer(included):
    """The layer of a quoted include: its first path component."""
    if "/" not in included:
        return None  # a file of the same folder, by its bare name
    return included.split("/", 1)[0]


def check(root):
    breaches = []
    for top in ("src", "include", "web"):
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = [d for d in dirs if d not in ("node_modules", "build")]
            for name in sorted(files):
                if not name.endswith((".cpp", ".hpp", ".h", ".c")):
                    continue
                full = os.path.join(folder, name)
                path = os.path.relpath(full, root).replace(os.sep, "/")
                layer = layer_of(path)
                if layer is None:
                    breaches.append(f"{path}: in no layer (see CONTRIBUTING.md)")
                    continue
                library = layer in ("include/tolvarin", "src/format", "src/fast", "src/convert")
                with open(full, encoding="utf-8") as f:
                    for number, line in enumerate(f, start=1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        kind, included = match.groups()
                        if kind == '"':
                            target = target_layer(included)
                            if target is None:
                                if not os.path.exists(os.path.join(folder, included)):
                                    breaches.append(f"{path}:{number}: \"{included}\" is not in its folder")
                            elif target not in ALLOWED[layer]:
                                breaches.append(f"{path}:{number}: {layer} may not include \"{included}\"")
                        elif library and path != LIBRARY_THREADS and FORBIDDEN_IN_LIBRARY.match(included):
                            breaches.append(f"{path}:{number}: the library may not include <{included}>")
    return breaches


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    breaches = check(root)
    for breach in breaches:
        print(breach)
    if breaches:
        print(f"{len(breaches)} include(s) break the layering")
        return 1
    print("every include follows the layering")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
