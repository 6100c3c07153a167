#!/usr/bin/env python3
"""Checks that the library, installed, serves other programs.

Installs the release build with `cmake --install --prefix` into a temporary
prefix, then checks the installed file list and that the headers are the
sources'; compiles each installed header alone in a translation unit with
-Wall -Wextra -Wpedantic -Werror (C++20, and the C header as C11 too); checks
that find_package(tolvarin) takes a request for this major version and
refuses the major versions around it; builds examples/library/convert_in_memory.cpp
against the prefix with CMake through find_package(tolvarin) and with the
pkg-config line its header gives, and runs both on the demo: their outputs
must be byte for byte what the build's command line writes for it.

A missing pkg-config is reported as skipped."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

from checks import Checks  # noqa: E402
from library_example import (ROOT, build_with_cmake, build_with_pkg_config, run_command_line,  # noqa: E402
                             run_example)

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


def check_files(checks, prefix, libdir):
    installed = set()
    for directory, _, names in os.walk(prefix):
        installed |= {os.path.relpath(os.path.join(directory, name), prefix) for name in names}
    headers = sorted(os.listdir(HEADERS_DIR))
    expected = {"bin/tolvarin", "share/man/man1/tolvarin.1", "share/doc/tolvarin/README.md",
                f"{libdir}/libtolvarin.a", f"{libdir}/pkgconfig/tolvarin.pc",
                f"{libdir}/cmake/tolvarin/tolvarin-config.cmake",
                f"{libdir}/cmake/tolvarin/tolvarin-config-version.cmake",
                f"{libdir}/cmake/tolvarin/tolvarin-targets.cmake",
                f"{libdir}/cmake/tolvarin/tolvarin-targets-release.cmake"}
    expected |= {f"include/tolvarin/{name}" for name in headers}
    checks.expect("install: file list (program, manual page, README, library, headers, CMake and pkg-config files)",
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
        headers = check_files(checks, prefix, libdir)
        check_headers_alone(checks, prefix, headers, work)
        check_versions(checks, prefix, version, work)

        status, expected = run_command_line(os.path.join(build, "tolvarin"), demo, os.path.join(work, "cli"))
        checks.expect(f"the command line converts the demo ({len(expected)} outputs)", status == 0 and expected)

        program, log, package_dir = build_with_cmake(prefix, work)
        checks.expect("CMake: the example builds with find_package(tolvarin)", program is not None, log)
        if program:
            checks.expect("CMake: the package found is the installed one",
                          package_dir == os.path.join(prefix, libdir, "cmake", "tolvarin"), str(package_dir))
            status, outputs = run_example(program, demo, os.path.join(work, "cmake-run"))
            checks.expect("CMake: the example's outputs are the command line's", status == 0 and outputs == expected,
                          f"status {status}, {sorted(outputs)}")

        if shutil.which("pkg-config") is None:
            checks.skipped.append("the pkg-config build (pkg-config not installed)")
        else:
            env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, libdir, "pkgconfig"))

            def query(*options):
                return subprocess.run(["pkg-config", *options, "tolvarin"], env=env, capture_output=True,
                                      text=True).stdout.strip()

            checks.expect("pkg-config: the installed tolvarin.pc names the prefix it was installed under",
                          query("--variable=prefix") == prefix, query("--variable=prefix"))
            checks.expect(f"pkg-config: version {version}", query("--modversion") == version, query("--modversion"))
            program, log = build_with_pkg_config(env, work)
            checks.expect("pkg-config: the example builds with its header's line", program is not None, log)
            if program:
                status, outputs = run_example(program, demo, os.path.join(work, "pkg-config-run"))
                checks.expect("pkg-config: the example's outputs are the command line's",
                              status == 0 and outputs == expected, f"status {status}, {sorted(outputs)}")
    skipped = f", skipped: {'; '.join(checks.skipped)}" if checks.skipped else ""
    print(f"library install: {checks.passed} passed, {checks.failed} failed{skipped}")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
