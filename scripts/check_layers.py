#!/usr/bin/env python3
"""Checks the includes of src/ and include/ against the layering in
CONTRIBUTING.md, for what the compiler cannot see.

The build compiles each layer with include roots that hold only the layers
it may use (cmake/layers.cmake), so an include of another layer by its name
does not compile. What still compiles is caught here: an include that climbs
folders ("../platform/x.hpp", "tolvarin/../../src/cli/x.hpp") or names an
absolute path, which reach any file whatever the roots; the library's use of
the standard or system headers that reach files, consoles, processes or
signals, which every compile can find. And so that each breach is named
with its file and line rather than found by a compile: an include of a
layer the including one may not use, in either form; one through a macro,
whose file this script cannot know; one of anything but a header (.hpp,
.h); a file outside every layer. Comments and continued lines are read as
the compiler reads them, so neither hides an include.

Prints every breach with its file and line, and exits 1 if there is one.

Usage: check_layers.py [ROOT]"""
import os
import re
import sys

# The layers that make the library: what gets installed, and what touches no
# file, console or signal.
LIBRARY = ("include/tolvarin", "src/format", "src/fast", "src/convert")

# Headers the library must not use: the console, files, processes and
# signals belong to the command line and its platform layer. Windows'
# headers are matched whatever their case, as its file systems find them.
FORBIDDEN_IN_LIBRARY = re.compile(
    r"(cstdio|stdio\.h|cwchar|wchar\.h|iostream|fstream|ostream|istream|print|syncstream|filesystem|"
    r"csignal|signal\.h|csetjmp|setjmp\.h|unistd\.h|fcntl\.h|dlfcn\.h|sys/.*|pthread\.h|sched\.h|"
    r"(?i:windows\.h|io\.h|conio\.h|process\.h|direct\.h))")
# The one exception: the library's own worker threads.
LIBRARY_THREADS = "src/convert/threads.cpp"

# Files of src/ outside the layers: the Windows program's resources.
RESOURCES = (".rc", ".manifest")
# What web/ must not hold: the page calls the library's C interface, whose
# glue is src/convert/c_api.cpp, compiled with the library.
C_AND_CPP = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".hxx", ".inc", ".ipp", ".tpp")

DIRECTIVE = re.compile(r"^\s*(?:#|%:)\s*(include|include_next|import|embed)\b\s*(.*?)\s*$")
PLAIN_NAME = re.compile(r'^(?:<([^<>"]*)>|"([^"]*)")$')
USES = re.compile(r"^set\(tolvarin_layer_uses_(\w+)((?:\s+\w+)*)\s*\)", re.MULTILINE)


def layer_table(root):
    """What each layer may include, by the first folder of the included name,
    from the build's own table: every layer also sees tolvarin/."""
    with open(os.path.join(root, "cmake", "layers.cmake"), encoding="utf-8") as f:
        uses = {name: set(used.split()) for name, used in USES.findall(f.read())}
    allowed = {"include/tolvarin": {"tolvarin"}}
    allowed.update({f"src/{name}": {"tolvarin"} | used for name, used in uses.items()})
    return allowed


def directives(text):
    """Yields (line number, directive, operand) for each include-like
    directive, with continued lines joined and comments replaced by a space
    as the compiler does before it reads a directive; string and character
    literals are kept whole, so that a "/*" in one starts no comment."""
    out, lines, line, i, n = [], [], 1, 0, len(text)
    start = 1  # where the logical line being built starts

    def end_line():
        nonlocal start
        lines.append((start, "".join(out)))
        out.clear()
        start = line

    while i < n:
        c = text[i]
        if c == "\\" and text.startswith("\n", i + 1):
            i, line = i + 2, line + 1
        elif c == "\n":
            line += 1
            i += 1
            end_line()
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                if text.startswith("\\\n", i):
                    i, line = i + 2, line + 1
                else:
                    i += 1
        elif text.startswith("/*", i):
            close = text.find("*/", i + 2)
            close = n if close < 0 else close + 2
            line += text.count("\n", i, close)
            out.append(" ")
            i = close
        elif c in "\"'" and not (c == "'" and out and (out[-1][-1:].isalnum() or out[-1][-1:] == "_")):
            # A literal, to its closing quote on the same line; a quote after
            # a letter or digit is a digit separator (1'000) or a prefix's.
            j = i + 1
            while j < n and text[j] not in (c, "\n"):
                j += 2 if text[j] == "\\" and not text.startswith("\n", j + 1) else 1
            j = min(j + 1, n) if j < n and text[j] == c else j
            out.append(text[i:j])
            i = j
        else:
            out.append(c)
            i += 1
    end_line()
    for number, logical in lines:
        match = DIRECTIVE.match(logical)
        if match:
            yield number, match.group(1), match.group(2)


def breaches_of(path, layer, allowed, folder, text):
    """The breaches of one file of a layer, `path` relative to the root."""
    library = layer in LIBRARY and path != LIBRARY_THREADS
    for number, directive, operand in directives(text):
        where = f"{path}:{number}"
        plain = PLAIN_NAME.match(operand)
        if not plain:
            yield f"{where}: #{directive} {operand}: not a plain <name> or \"name\" (a macro's file is not checked)"
            continue
        quoted = plain.group(2) is not None
        name = plain.group(2) if quoted else plain.group(1)
        parts = name.split("/")
        if "\\" in name or name.startswith("/") or re.match(r"^[A-Za-z]:", name) or ".." in parts:
            yield f"{where}: {operand}: climbs folders or names an absolute path; name a layer's header"
            continue
        if library and FORBIDDEN_IN_LIBRARY.fullmatch(name):
            yield f"{where}: the library may not include {operand}"
            continue
        first = parts[0] if len(parts) > 1 else None
        if first in allowed[layer]:
            pass
        elif first in {top.split("/")[-1] for top in allowed}:
            yield f"{where}: {layer} may not include {operand}"
            continue
        elif quoted and first is not None:
            yield f"{where}: {operand} is in no layer"
            continue
        elif quoted and not os.path.exists(os.path.join(folder, name)):
            yield f"{where}: {operand} is not in its folder"
            continue
        if quoted and not name.endswith((".hpp", ".h")):
            yield f"{where}: {operand} is not a header (.hpp, .h)"


def check(root):
    allowed = layer_table(root)
    breaches = []
    for top in ("src", "include", "web"):
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs[:] = sorted(d for d in dirs if d not in ("node_modules", "build"))
            for name in sorted(files):
                full = os.path.join(folder, name)
                path = os.path.relpath(full, root).replace(os.sep, "/")
                if top == "web":
                    if name.endswith(C_AND_CPP):
                        breaches.append(f"{path}: C or C++ in web/; the page's glue is src/convert/c_api.cpp")
                    continue
                layer = next((key for key in allowed if path.startswith(key + "/")), None)
                if layer is None:
                    if not (folder == os.path.join(root, "src") and name.endswith(RESOURCES)):
                        breaches.append(f"{path}: in no layer (see CONTRIBUTING.md)")
                    continue
                with open(full, encoding="utf-8", errors="replace") as f:
                    breaches.extend(breaches_of(path, layer, allowed, folder, f.read()))
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
