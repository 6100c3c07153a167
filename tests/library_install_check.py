#!/usr/bin/env python3
"""Checks that the library, installed, serves other programs.

Installs the release build with `cmake --install --prefix` into a temporary
prefix, then checks the installed file list and that the headers are the
sources'; compiles each installed header alone in a translation unit with
-Wall -Wextra -Wpedantic -Werror (C++20, and the C header as C11 too); checks
that find_package(tolvarin) takes a request for this major version and
refuses the major versions around it; checks the shared library's name
(SONAME libtolvarin.so.<major>) and that it exports every function the
headers declare and nothing the headers do not; builds the C++ example
(examples/library) and the C example (examples/library_c, a project that
enables no C++) against the prefix, each with CMake through
find_package(tolvarin) for the shared and the static library and with the
pkg-config lines their headers give, and runs every build on the demo: its
outputs must be byte for byte what the build's command line writes for it,
and it must need libtolvarin.so.<major> exactly when it was to link it;
links the whole static library into a shared object (it must be
position-independent) and the C example with that.

A missing pkg-config is reported as skipped."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

from checks import Checks  # noqa: E402
from library_example import (C_EXAMPLE, CXX_EXAMPLE, ROOT, build_with_cmake, build_with_pkg_config,  # noqa: E402
                             needs_shared_library, pkg_config_lines, run_command_line, run_example)

HEADERS_DIR = os.path.join(ROOT, "include", "tolvarin")


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tolvarin VERSION ([0-9.]+)", f.read()).group(1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def cached(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return re.search(rf"^{name}:[A-Z]+=(.*)$", f.read(), re.MULTILINE).group(1)


class Report(Checks):
    """Checks that say what they checked, passed or failed."""

    def expect(self, name, condition, detail=""):
        super().expect(name, condition, detail)
        if condition:
            print(f"ok: {name}")


def check_files(checks, prefix, libdir, version):
    installed = set()
    for directory, _, names in os.walk(prefix):
        installed |= {os.path.relpath(os.path.join(directory, name), prefix) for name in names}
    headers = sorted(os.listdir(HEADERS_DIR))
    expected = {"bin/tolvarin", "share/man/man1/tolvarin.1", "share/doc/tolvarin/README.md",
                f"{libdir}/libtolvarin.a", f"{libdir}/libtolvarin.so", f"{libdir}/libtolvarin.so.{version.split('.')[0]}",
                f"{libdir}/libtolvarin.so.{version}", f"{libdir}/pkgconfig/tolvarin.pc",
                f"{libdir}/cmake/tolvarin/tolvarin-config.cmake",
                f"{libdir}/cmake/tolvarin/tolvarin-config-version.cmake",
                f"{libdir}/cmake/tolvarin/tolvarin-targets.cmake",
                f"{libdir}/cmake/tolvarin/tolvarin-targets-release.cmake"}
    expected |= {f"include/tolvarin/{name}" for name in headers}
    checks.expect("install: file list (program, manual page, README, libraries, headers, CMake and pkg-config files)",
                  installed == expected, str(sorted(installed ^ expected)))
    for name in headers:
        path = os.path.join(prefix, "include", "tolvarin", name)
        checks.expect(f"install: include/tolvarin/{name} is the source's",
                      os.path.exists(path) and read(path) == read(os.path.join(HEADERS_DIR, name)))
    return headers


def check_headers_alone(checks, prefix, headers, work):
    include = os.path.join(prefix, "include")
    for name in headers:
        units = [("C++20", "c++", "-std=c++20", ".cpp")]
        if name.endswith(".h"):
            units.append(("C11", "cc", "-std=c11", ".c"))
        for language, compiler, standard, suffix in units:
            unit = os.path.join(work, f"alone_{name.replace('.', '_')}{suffix}")
            with open(unit, "w") as f:
                f.write(f"#include <tolvarin/{name}>\n")
            result = subprocess.run([compiler, standard, "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-I", include,
                                     "-c", unit, "-o", unit + ".o"], capture_output=True, text=True)
            checks.expect(f"headers: <tolvarin/{name}> compiles alone as {language} with -Wall -Wextra -Wpedantic "
                          f"-Werror", result.returncode == 0, result.stderr)


def check_versions(checks, prefix, version, work):
    """find_package(tolvarin) takes this major version (any minor and patch
    at or below the installed one) and refuses the majors around it."""
    major = int(version.split(".")[0])
    project = os.path.join(work, "versions")
    os.makedirs(project)
    with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
        f.write(f"""cmake_minimum_required(VERSION 3.20)
project(versions LANGUAGES CXX)
foreach(request {major + 1} {major - 1}.0)
  find_package(tolvarin ${{request}} QUIET)
  message(STATUS "request ${{request}}: found=${{tolvarin_FOUND}}")
endforeach()
find_package(tolvarin {major}.0 REQUIRED)
message(STATUS "request {major}.0: found=${{tolvarin_FOUND}} version=${{tolvarin_VERSION}}")
""")
    result = subprocess.run(["cmake", "-S", project, "-B", os.path.join(project, "build"),
                             f"-DCMAKE_PREFIX_PATH={prefix}"], capture_output=True, text=True)
    lines = dict(re.findall(r"-- request (\S+): (.*)", result.stdout))
    checks.expect(f"find_package: tolvarin {major}.0 found, version {version}",
                  lines.get(f"{major}.0") == f"found=1 version={version}", result.stdout + result.stderr)
    checks.expect(f"find_package: tolvarin {major + 1} refused", lines.get(f"{major + 1}") == "found=0", str(lines))
    checks.expect(f"find_package: tolvarin {major - 1}.0 refused", lines.get(f"{major - 1}.0") == "found=0", str(lines))


def check_shared_library(checks, library, version):
    """Its SONAME names the major version; it exports the C functions
    tolvarin.h declares, the functions and classes of tolvarin.hpp's
    namespace that are not inline, and nothing else."""
    major = version.split(".")[0]
    dynamic = subprocess.run(["readelf", "-d", library], capture_output=True, text=True).stdout
    checks.expect(f"shared library: SONAME libtolvarin.so.{major}",
                  re.search(rf"\(SONAME\).*\[libtolvarin\.so\.{major}\]", dynamic) is not None, dynamic)
    symbols = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True).stdout.split()
    names = symbols[2::3]
    demangled = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True).stdout.split("\n")
    with open(os.path.join(HEADERS_DIR, "tolvarin.h")) as f:
        c_declared = set(re.findall(r"\b(tolvarin_\w+)\s*\(", f.read()))
    with open(os.path.join(HEADERS_DIR, "tolvarin.hpp")) as f:
        cxx_header = f.read()
    cxx_words = set(re.findall(r"\w+", cxx_header))
    cxx_functions = set(re.findall(r"^[a-z_:]+[ &*]+(\w+)\(", cxx_header, re.MULTILINE))
    c_exported = {name for name in names if not name.startswith("_Z")}
    checks.expect(f"shared library: exports the {len(c_declared)} C functions of tolvarin.h, no other C symbol",
                  c_exported == c_declared, str(sorted(c_exported ^ c_declared)))
    foreign = []
    cxx_exported = set()
    for name in demangled[:len(names)]:
        if name in c_exported:
            continue
        entity = re.sub(r"^(vtable|typeinfo|typeinfo name) for ", "", name).split("(")[0]
        parts = entity.split("::")
        # An operator's name is the word "operator" and its sign.
        words = [re.sub(r"^operator\W.*", "operator", part.lstrip("~")) for part in parts[1:]]
        if parts[0] != "tolvarin" or not all(word in cxx_words for word in words):
            foreign.append(name)
        cxx_exported.add(parts[-1])
    checks.expect(f"shared library: every one of its {len(names)} exported symbols belongs to the public headers",
                  not foreign, "\n".join(foreign))
    checks.expect("shared library: exports every namespace-level function tolvarin.hpp declares",
                  cxx_functions <= cxx_exported, str(sorted(cxx_functions - cxx_exported)))
    print(f"shared library: {len(names)} symbols exported, {len(c_exported)} C and {len(names) - len(c_exported)} C++")


def check_consumers(checks, prefix, libdir, demo, expected, work):
    """The examples built each way against the prefix: CMake's default is the
    shared library, tolvarin_USE_STATIC_LIBS the static one; pkg-config's
    plain line the shared one, -static with --static the static one."""
    library_dir = os.path.join(prefix, libdir)
    builds = [("C++", CXX_EXAMPLE, "CMake", (), True), ("C++", CXX_EXAMPLE, "CMake", ("-Dtolvarin_USE_STATIC_LIBS=ON",), False),
              ("C", C_EXAMPLE, "CMake", (), True), ("C", C_EXAMPLE, "CMake", ("-Dtolvarin_USE_STATIC_LIBS=ON",), False)]
    have_pkg_config = shutil.which("pkg-config") is not None
    if have_pkg_config:
        builds += [(language, example, "pkg-config", line, "-static" not in line)
                   for language, example in (("C++", CXX_EXAMPLE), ("C", C_EXAMPLE))
                   for line in pkg_config_lines(example)]
    else:
        checks.skipped.append("the pkg-config builds (pkg-config not installed)")
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(library_dir, "pkgconfig"))
    for number, (language, example, tool, how, shared) in enumerate(builds):
        label = f"{language} example, {tool} " + (" ".join(how) or "(default)" if tool == "CMake" else repr(how))
        build_dir = os.path.join(work, f"consumer-{number}")
        os.makedirs(build_dir)
        if tool == "CMake":
            program, log, package_dir = build_with_cmake(prefix, build_dir, example, how)
            checks.expect(f"{label}: the package found is the installed one",
                          package_dir in (None, os.path.join(library_dir, "cmake", "tolvarin")), str(package_dir))
        else:
            program, log = build_with_pkg_config(env, build_dir, example, how)
        checks.expect(f"{label}: builds", program is not None, log)
        if not program:
            continue
        kind = "shared" if shared else "static"
        checks.expect(f"{label}: links the {kind} library", needs_shared_library(program) == shared)
        status, outputs = run_example(program, demo, os.path.join(build_dir, "run"), library_dir)
        checks.expect(f"{label}: its outputs are the command line's", status == 0 and outputs == expected,
                      f"status {status}, {sorted(outputs)}")


def check_static_library_in_a_shared_object(checks, prefix, libdir, demo, expected, work):
    """The static library, every object of it, linked into a shared object
    (which only position-independent code can be), and the C example linked
    with that shared object converts the demo as the command line does."""
    build = os.path.join(work, "plugin")
    os.makedirs(build)
    plugin = os.path.join(build, "libplugin.so")
    pc_private = subprocess.run(["pkg-config", "--libs-only-other", "--libs-only-l", "--static", "tolvarin"],
                                env=dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, libdir, "pkgconfig")),
                                capture_output=True, text=True).stdout.split()
    link = subprocess.run(["cc", "-shared", "-o", plugin, "-Wl,--whole-archive",
                           os.path.join(prefix, libdir, "libtolvarin.a"), "-Wl,--no-whole-archive", "-Wl,--no-undefined",
                           *[flag for flag in pc_private if flag != "-ltolvarin"]], capture_output=True, text=True)
    checks.expect("static library: every object links into a shared object", link.returncode == 0, link.stderr)
    if link.returncode != 0:
        return
    program = os.path.join(build, C_EXAMPLE.program)
    compiled = subprocess.run(["cc", "-std=c11", "-I", os.path.join(prefix, "include"),
                               os.path.join(C_EXAMPLE.directory, C_EXAMPLE.source), "-L", build, "-lplugin",
                               "-o", program], capture_output=True, text=True)
    checks.expect("static library in a shared object: the C example links with it", compiled.returncode == 0,
                  compiled.stderr)
    if compiled.returncode == 0:
        status, outputs = run_example(program, demo, os.path.join(build, "run"), build)
        checks.expect("static library in a shared object: the C example's outputs are the command line's",
                      status == 0 and outputs == expected, f"status {status}, {sorted(outputs)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the release build directory, with its tolvarin")
    parser.add_argument("--demo", required=True)
    args = parser.parse_args()
    checks = Report()
    version = project_version()
    build = os.path.abspath(args.build)
    demo = os.path.abspath(args.demo)
    libdir = cached(build, "CMAKE_INSTALL_LIBDIR")
    with tempfile.TemporaryDirectory(prefix="tolvarin-library-") as work:
        prefix = os.path.join(work, "prefix")
        install = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True)
        checks.expect(f"cmake --install {args.build} --prefix <temporary prefix>", install.returncode == 0,
                      install.stdout + install.stderr)
        headers = check_files(checks, prefix, libdir, version)
        check_headers_alone(checks, prefix, headers, work)
        check_versions(checks, prefix, version, work)
        check_shared_library(checks, os.path.join(prefix, libdir, "libtolvarin.so"), version)

        status, expected = run_command_line(os.path.join(build, "tolvarin"), demo, os.path.join(work, "cli"))
        checks.expect(f"the command line converts the demo ({len(expected)} outputs)", status == 0 and expected)
        check_consumers(checks, prefix, libdir, demo, expected, work)
        if shutil.which("pkg-config") is not None:
            check_static_library_in_a_shared_object(checks, prefix, libdir, demo, expected, work)

        if shutil.which("pkg-config") is not None:
            env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, libdir, "pkgconfig"))

            def query(*options):
                return subprocess.run(["pkg-config", *options, "tolvarin"], env=env, capture_output=True,
                                      text=True).stdout.strip()

            checks.expect("pkg-config: the installed tolvarin.pc names the prefix it was installed under",
                          query("--variable=prefix") == prefix, query("--variable=prefix"))
            checks.expect(f"pkg-config: version {version}", query("--modversion") == version, query("--modversion"))
    skipped = f", skipped: {'; '.join(checks.skipped)}" if checks.skipped else ""
    print(f"library install: {checks.passed} passed, {checks.failed} failed{skipped}")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
