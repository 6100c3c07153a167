#!/usr/bin/env python3
"""The include forms that break the layering, and forms that do not, each
tried in a tree of its own (src/<layer>/ holding the case's files).

Without --layer: scripts/check_layers.py must report each breaking form at
its file and line, and nothing else; the allowed forms, nothing.

With --compiler and a --layer LAYER=DIR|DIR... for each layer (the include
folders the build compiles that layer with): each form the include roots
stop must fail to compile for want of the very header it names, and every
allowed form must compile. Forms only the script stops have no compile case.

Usage: layering_test.py
       layering_test.py --compiler CXX --layer format=DIR|DIR ... --layer cli=DIR|DIR"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from check_layers import check  # noqa: E402
from checks import Checks  # noqa: E402

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")

# (form, layer, files, breaches as (file, line, words), the header a compile
# in that layer cannot find, or None where the compiler is no guard). The
# first file is the one compiled.
BREAKING = [
    ("angle brackets", "format", {"probe.cpp": "#include <platform/input.hpp>\n"},
     [("probe.cpp", 1, "format may not include <platform/input.hpp>")], "platform/input.hpp"),
    ("a layer's folder, then up", "format", {"probe.cpp": '#include "format/../platform/output.hpp"\n'},
     [("probe.cpp", 1, "climbs folders")], "format/../platform/output.hpp"),
    ("a comment inside the line", "format", {"probe.cpp": '#include /* x */ "cli/driver.hpp"\n'},
     [("probe.cpp", 1, 'format may not include "cli/driver.hpp"')], "cli/driver.hpp"),
    ("through a macro", "fast", {"probe.cpp": '#define HEADER "cli/driver.hpp"\n#include HEADER\n'},
     [("probe.cpp", 2, "not a plain")], "cli/driver.hpp"),
    ("<cwchar> and fputws in the library", "format",
     {"probe.cpp": '#include <cwchar>\nvoid say() { std::fputws(L"x", nullptr); }\n'},
     [("probe.cpp", 1, "the library may not include <cwchar>")], None),
    ("a .inc file that includes the command line", "format",
     {"probe.cpp": '#include "table.inc"\n', "table.inc": '#include "cli/messages.hpp"\n'},
     [("probe.cpp", 1, "not a header"), ("table.inc", 1, 'format may not include "cli/messages.hpp"')],
     "cli/messages.hpp"),
    ("relative, up a folder", "format", {"probe.cpp": '#include "../platform/output.hpp"\n'},
     [("probe.cpp", 1, "climbs folders")], None),
    ("up out of the interface's root", "fast", {"probe.cpp": '#include "tolvarin/../../src/cli/driver.hpp"\n'},
     [("probe.cpp", 1, "climbs folders")], None),
    ("an absolute path", "convert", {"probe.cpp": '#include "/usr/include/stdio.h"\n'},
     [("probe.cpp", 1, "absolute path")], None),
    ("a system header quoted in the library", "convert", {"probe.cpp": '#include "stdio.h"\n'},
     [("probe.cpp", 1, 'the library may not include "stdio.h"')], None),
    ("Windows' header in any case", "fast", {"probe.cpp": "#include <Windows.h>\n"},
     [("probe.cpp", 1, "the library may not include <Windows.h>")], None),
    ("a continued line", "convert", {"probe.cpp": '// a comment\n#include \\\n  "platform/console.hpp"\n'},
     [("probe.cpp", 2, 'convert may not include "platform/console.hpp"')], "platform/console.hpp"),
    ("after a \"/*\" in a string", "format",
     {"probe.cpp": 'const char* s = "/*";\n#include "cli/driver.hpp"\n// */\n'},
     [("probe.cpp", 2, 'format may not include "cli/driver.hpp"')], "cli/driver.hpp"),
    ("a digraph", "format", {"probe.cpp": '%:include "cli/driver.hpp"\n'},
     [("probe.cpp", 1, 'format may not include "cli/driver.hpp"')], "cli/driver.hpp"),
    ("outwards, format on fast", "format", {"probe.cpp": '#include "fast/fast_step.hpp"\n'},
     [("probe.cpp", 1, 'format may not include "fast/fast_step.hpp"')], "fast/fast_step.hpp"),
    ("the platform on the library's inside", "platform", {"probe.cpp": '#include "convert/convert.hpp"\n'},
     [("probe.cpp", 1, 'platform may not include "convert/convert.hpp"')], "convert/convert.hpp"),
    ("the command line on the library's inside", "cli", {"probe.cpp": '#include "format/container.hpp"\n'},
     [("probe.cpp", 1, 'cli may not include "format/container.hpp"')], "format/container.hpp"),
]

# (form, layer, files): what each layer may include, which both guards let by.
ALLOWED = [
    ("its own layer, the interface, the standard library", "format",
     {"probe.cpp": '#include "format/container.hpp"\n#include "tolvarin/tolvarin.hpp"\n#include <cstdint>\n'}),
    ("fast on format", "fast", {"probe.cpp": '#include "format/event_tables.hpp"\n#include "fast/fast_translate.hpp"\n'}),
    ("convert on fast and format", "convert",
     {"probe.cpp": '#include "fast/guessed_chunks.hpp"\n#include "format/container.hpp"\n'
                   '#include "convert/pipeline.hpp"\n'}),
    ("the worker threads' system headers", "convert", {"threads.cpp": "#include <pthread.h>\n#include <signal.h>\n"}),
    ("the platform on its own and the system", "platform",
     {"probe.cpp": '#include "platform/output.hpp"\n#include "platform/posix/system.hpp"\n#include <cstdio>\n'}),
    ("the command line on the platform, a comment after", "cli",
     {"probe.cpp": '#include "cli/driver.hpp" // the driver\n#include "platform/console.hpp"\n'
                   'const int n = 1\'000;\n#include "cli/messages.hpp"\n'}),
    ("a header beside it by its bare name", "fast", {"probe.cpp": '#include "local.hpp"\n', "local.hpp": "int x;\n"}),
]


def make_tree(base, layer, files):
    """A tree the script can check: the build's layer table, and the case's
    files in src/<layer>/."""
    os.makedirs(os.path.join(base, "cmake"))
    shutil.copy(os.path.join(ROOT, "cmake", "layers.cmake"), os.path.join(base, "cmake"))
    os.makedirs(os.path.join(base, "include", "tolvarin"))
    folder = os.path.join(base, "src", layer)
    os.makedirs(folder)
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
    return folder


def script_cases(checks):
    for form, layer, files, breaches, _ in BREAKING:
        with tempfile.TemporaryDirectory() as base:
            make_tree(base, layer, files)
            found = check(base)
        matched = all(any(b.startswith(f"src/{layer}/{name}:{line}: ") and words in b for b in found)
                      for name, line, words in breaches)
        checks.expect(f"script: {form}", matched and len(found) == len(breaches), str(found))
    for form, layer, files in ALLOWED:
        with tempfile.TemporaryDirectory() as base:
            make_tree(base, layer, files)
            found = check(base)
        checks.expect(f"script lets by: {form}", not found, str(found))


def compile_in(compiler, folders, base, layer, files):
    folder = make_tree(base, layer, files)
    command = [compiler, "-std=c++20", "-fsyntax-only"] + [f"-I{d}" for d in folders[layer]]
    return subprocess.run(command + [os.path.join(folder, next(iter(files)))], capture_output=True, text=True)


def compile_cases(checks, compiler, folders):
    for form, layer, files, _, missing in BREAKING:
        if missing is None:
            continue
        with tempfile.TemporaryDirectory() as base:
            result = compile_in(compiler, folders, base, layer, files)
        output = result.stdout + result.stderr
        # gcc: "x.hpp: No such file or directory"; clang: "'x.hpp' file not found".
        checks.expect(f"compiler stops: {form}",
                      result.returncode != 0 and any(f"{missing}{end}" in output for end in
                                                     (": No such file", "' file not found")), output)
    for form, layer, files in ALLOWED:
        with tempfile.TemporaryDirectory() as base:
            result = compile_in(compiler, folders, base, layer, files)
        checks.expect(f"compiler lets by: {form}", result.returncode == 0, result.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--compiler")
    parser.add_argument("--layer", action="append", default=[], help="LAYER=DIR|DIR...")
    args = parser.parse_args()
    checks = Checks()
    if args.compiler:
        folders = {layer: dirs.split("|") for layer, dirs in (item.split("=", 1) for item in args.layer)}
        compile_cases(checks, args.compiler, folders)
    else:
        script_cases(checks)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed or not checks.passed else 0


if __name__ == "__main__":
    sys.exit(main())
