#!/usr/bin/env python3
"""Checks what `make package` made, as a user would meet it.

Debian package tolvarin: its file list; its control fields (name, the
project's version, section, dependencies computed from the binary); the
manual page compressed as Debian expects and equal to the one built; the
binary unpacked with `dpkg -x` converts the demo to exactly what the build's
binary writes; lintian finds no error but those only the project's owner can
settle.

Debian package libtolvarin<major>: its file list (the shared library under
its SONAME's name); its control fields (section libs, dependencies computed
from the library, no dependency on the converter); its shlibs file; dpkg's
ldconfig trigger rather than maintainer scripts; lintian as for the
converter's package.

Debian package libtolvarin-dev: its file list; its control fields (name,
version, section libdevel, architecture, a dependency on exactly this
version of the shared library's package, none on the converter); its
headers are the sources'; its pkg-config file names /usr; the example
programs, built against it and the shared library's package unpacked with
`dpkg -x` (the C++ and the C one with CMake through find_package(tolvarin),
linking the shared library, the C++ one with pkg-config too, the unpacked
tree as its system root), convert the demo to exactly what the build's
binary writes; lintian as for the converter's package.

Windows zip: its file list, the README with CRLF line ends, the two programs
of the right kinds, and the x86-64 one run under Wine on the demo, its
outputs identical to the native build's.

Parts whose tools are missing (lintian, Wine) are reported as skipped."""
import argparse
import glob
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

from checks import Checks  # noqa: E402
from library_example import (C_EXAMPLE, CXX_EXAMPLE, build_with_cmake, build_with_pkg_config,  # noqa: E402
                             needs_shared_library, run_command_line, run_example)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Lintian errors that no one but the project's owner may settle: a
# maintainer address.
OWNERS_ERRORS = {"malformed-contact"}


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tolvarin VERSION ([0-9.]+)", f.read()).group(1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def convert(command, workdir, demo):
    """Converts a copy of the demo in `workdir`; returns status, text after the banner, outputs."""
    os.makedirs(workdir)
    shutil.copy(demo, os.path.join(workdir, "demo.dat"))
    result = subprocess.run(command + ["demo.dat"], cwd=workdir, capture_output=True)
    outputs = {}
    for name in sorted(os.listdir(workdir)):
        if name.endswith(".mid"):
            with open(os.path.join(workdir, name), "rb") as f:
                outputs[name] = f.read()
    text = result.stdout.replace(b"\r\n", b"\n").split(b"\n", 1)
    return result.returncode, text[1] if len(text) > 1 else b"", outputs


def check_deb(checks, deb, manual, binary, demo, work):
    version = project_version()
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    files = {line.split()[-1] for line in listing.splitlines() if not line.startswith("d")}
    expected = {"./usr/bin/tolvarin", "./usr/share/man/man1/tolvarin.1.gz", "./usr/share/doc/tolvarin/README.md",
                "./usr/share/doc/tolvarin/copyright", "./usr/share/doc/tolvarin/changelog.gz"}
    checks.expect("deb: file list", files == expected, str(sorted(files ^ expected)))

    def field(name):
        return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True).stdout.strip()

    architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    checks.expect("deb: name", field("Package") == "tolvarin", field("Package"))
    checks.expect("deb: version", field("Version") == version, field("Version"))
    checks.expect("deb: section", field("Section") == "sound", field("Section"))
    checks.expect("deb: architecture", field("Architecture") == architecture, field("Architecture"))
    depends = field("Depends")
    # The converter carries its own C++ runtime; the C library is the system's.
    checks.expect("deb: dependencies from the binary", "libc6 (>=" in depends and "libstdc++6" not in depends, depends)
    checks.expect("deb: description", len(field("Description").splitlines()) > 2, field("Description"))

    unpacked = os.path.join(work, "unpacked")
    subprocess.run(["dpkg", "-x", deb, unpacked], check=True)
    with open(os.path.join(unpacked, "usr/share/man/man1/tolvarin.1.gz"), "rb") as f:
        compressed = f.read()
    with open(manual, "rb") as f:
        checks.expect("deb: manual page is the one built", gzip.decompress(compressed) == f.read())
    # gzip -9n: no file name (flag 0x08) and no time stamp in the header.
    flags, mtime = compressed[3], struct.unpack_from("<I", compressed, 4)[0]
    checks.expect("deb: manual page compressed without name or time", flags & 0x08 == 0 and mtime == 0,
                  f"flags {flags:#x}, mtime {mtime}")

    packaged = convert([os.path.join(unpacked, "usr/bin/tolvarin")], os.path.join(work, "deb-run"), demo)
    built = convert([os.path.abspath(binary)], os.path.join(work, "build-run"), demo)
    checks.expect("deb: the packaged binary converts the demo", packaged[0] == 0 and len(packaged[2]) == 4,
                  str(packaged[:2]))
    checks.expect("deb: outputs identical to the build's", packaged == built)

    check_lintian(checks, "deb", deb)


def check_lintian(checks, label, deb):
    if shutil.which("lintian") is None:
        checks.skipped.append(f"lintian on {os.path.basename(deb)} (not installed)")
        return
    report = subprocess.run(["lintian", "--tag-display-limit", "0", "-I", "-E", "--pedantic", deb],
                            capture_output=True, text=True).stdout
    errors = [line for line in report.splitlines() if line.startswith("E: ")]
    unsettled = [line for line in errors if line.split()[2] not in OWNERS_ERRORS]
    checks.expect(f"{label}: lintian finds no error but the owner's", not unsettled, "\n".join(unsettled))
    print(f"lintian {os.path.basename(deb)}:\n  " + "\n  ".join(report.splitlines()))


def package_names(relations):
    """The packages a Depends-like field names."""
    return {re.split(r"[ (:]", name.strip())[0] for name in re.split(r"[,|]", relations) if name.strip()}


def check_library_deb(checks, deb, work):
    version = project_version()
    major = version.split(".")[0]
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    files = {" ".join(line.split()[5:]) for line in listing.splitlines() if not line.startswith("d")}
    libdir = "./usr/lib/" + subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True,
                                           text=True).stdout.strip()
    package = f"libtolvarin{major}"
    expected = {f"{libdir}/libtolvarin.so.{major} -> libtolvarin.so.{version}", f"{libdir}/libtolvarin.so.{version}",
                f"./usr/share/doc/{package}/copyright", f"./usr/share/doc/{package}/changelog.gz"}
    checks.expect("lib: file list", files == expected, str(sorted(files ^ expected)))

    def field(name):
        return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True).stdout.strip()

    checks.expect("lib: name, version, section", (field("Package"), field("Version"), field("Section")) ==
                  (package, version, "libs"), field("Package"))
    depends = package_names(field("Depends"))
    checks.expect("lib: dependencies from the library, none on the converter",
                  {"libc6", "libstdc++6"} <= depends and "tolvarin" not in depends, field("Depends"))
    control = os.path.join(work, "lib-control")
    subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
    names = sorted(os.listdir(control))
    shlibs, triggers = (read(os.path.join(control, name)).decode() if name in names else "" for name in
                        ("shlibs", "triggers"))
    checks.expect("lib: shlibs names the library, its package and this version",
                  shlibs.split() == ["libtolvarin", major, package, "(>=", f"{version})"], shlibs)
    checks.expect("lib: dpkg's ldconfig trigger, no maintainer script", triggers == "activate-noawait ldconfig\n"
                  and names == ["control", "md5sums", "shlibs", "triggers"], f"{names} {triggers!r}")
    subprocess.run(["dpkg", "-x", deb, os.path.join(work, "lib")], check=True)
    dynamic = subprocess.run(["readelf", "-d", os.path.join(work, "lib", libdir, f"libtolvarin.so.{version}")],
                             capture_output=True, text=True).stdout
    checks.expect(f"lib: SONAME libtolvarin.so.{major}", f"soname: [libtolvarin.so.{major}]" in dynamic, dynamic)
    check_lintian(checks, "lib", deb)


def check_dev_deb(checks, deb, library_deb, binary, demo, work):
    version = project_version()
    major = version.split(".")[0]
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    files = {" ".join(line.split()[5:]) for line in listing.splitlines() if not line.startswith("d")}
    multiarch = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True,
                               text=True).stdout.strip()
    libdir = f"./usr/lib/{multiarch}"
    headers = sorted(os.listdir(os.path.join(ROOT, "include", "tolvarin")))
    expected = {f"./usr/include/tolvarin/{name}" for name in headers}
    expected |= {f"{libdir}/libtolvarin.a", f"{libdir}/libtolvarin.so -> libtolvarin.so.{major}",
                 f"{libdir}/pkgconfig/tolvarin.pc",
                 f"{libdir}/cmake/tolvarin/tolvarin-config.cmake",
                 f"{libdir}/cmake/tolvarin/tolvarin-config-version.cmake",
                 f"{libdir}/cmake/tolvarin/tolvarin-targets.cmake",
                 f"{libdir}/cmake/tolvarin/tolvarin-targets-release.cmake",
                 "./usr/share/doc/libtolvarin-dev/copyright", "./usr/share/doc/libtolvarin-dev/changelog.gz"}
    checks.expect("dev: file list", files == expected, str(sorted(files ^ expected)))

    def field(name):
        return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True).stdout.strip()

    architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    checks.expect("dev: name", field("Package") == "libtolvarin-dev", field("Package"))
    checks.expect("dev: version", field("Version") == version, field("Version"))
    checks.expect("dev: section", field("Section") == "libdevel", field("Section"))
    checks.expect("dev: architecture", field("Architecture") == architecture, field("Architecture"))
    relations = " ".join(field(name) for name in ("Pre-Depends", "Depends"))
    checks.expect("dev: no dependency on the converter", "tolvarin" not in package_names(relations), relations)
    checks.expect(f"dev: depends on libtolvarin{major} (= {version})",
                  field("Depends") == f"libtolvarin{major} (= {version})", field("Depends"))
    checks.expect("dev: description", len(field("Description").splitlines()) > 2, field("Description"))
    check_lintian(checks, "dev", deb)

    # The development package with the shared library's, as installing it brings both.
    unpacked = os.path.join(work, "dev-unpacked")
    for package in (deb, library_deb):
        subprocess.run(["dpkg", "-x", package, unpacked], check=True)
    library_dir = os.path.join(unpacked, "usr", "lib", multiarch)
    for name in headers:
        path = os.path.join(unpacked, "usr", "include", "tolvarin", name)
        checks.expect(f"dev: {name} is the source's",
                      os.path.exists(path) and read(path) == read(os.path.join(ROOT, "include", "tolvarin", name)))

    status, expected_outputs = run_command_line(binary, demo, os.path.join(work, "dev-cli"))
    for label, example in (("the example", CXX_EXAMPLE), ("the C example", C_EXAMPLE)):
        program, log, package_dir = build_with_cmake(os.path.join(unpacked, "usr"),
                                                     os.path.join(work, f"dev-cmake-{example.program}"), example)
        checks.expect(f"dev: {label} builds with find_package(tolvarin)", program is not None, log)
        if program:
            checks.expect(f"dev: {label}: find_package takes the package's files, links the shared library",
                          package_dir == os.path.join(library_dir, "cmake", "tolvarin") and
                          needs_shared_library(program), package_dir)
            outputs = run_example(program, demo, os.path.join(work, f"dev-run-{example.program}"), library_dir)
            checks.expect(f"dev: {label}: the CMake build's outputs are the build's binary's",
                          status == 0 and outputs == (0, expected_outputs), str(outputs[0]))
    if shutil.which("pkg-config") is None:
        checks.skipped.append("the dev package's pkg-config build (pkg-config not installed)")
        return
    # The package's paths under /usr, read as pkg-config reads a cross
    # build's: from the unpacked tree as the system root.
    env = dict(os.environ, PKG_CONFIG_SYSROOT_DIR=unpacked,
               PKG_CONFIG_LIBDIR=os.path.join(unpacked, libdir, "pkgconfig"))
    checks.expect("dev: tolvarin.pc names the prefix /usr",
                  b"\nprefix=/usr\n" in b"\n" + read(os.path.join(unpacked, libdir, "pkgconfig", "tolvarin.pc")))
    program, log = build_with_pkg_config(env, os.path.join(work, "dev-pkg-config"))
    checks.expect("dev: the example builds with pkg-config", program is not None, log)
    if program:
        outputs = run_example(program, demo, os.path.join(work, "dev-pkg-config-run"), library_dir)
        checks.expect("dev: the pkg-config build's outputs are the build's binary's",
                      status == 0 and outputs == (0, expected_outputs), str(outputs[0]))


def pe_magic(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, pe + 24)[0] if data[pe:pe + 4] == b"PE\0\0" else None


def check_zip(checks, archive, binary, demo, work):
    with zipfile.ZipFile(archive) as z:
        names = set(z.namelist())
        checks.expect("zip: file list", names == {"Tolvarin.exe", "x86_64/Tolvarin.exe", "README.txt"}, str(names))
        readme = z.read("README.txt")
        with open(os.path.join(ROOT, "README.md"), "rb") as f:
            source = f.read()
        checks.expect("zip: README with CRLF line ends", readme == source.replace(b"\n", b"\r\n"))
        checks.expect("zip: 32-bit program", pe_magic(z.read("Tolvarin.exe")) == 0x10B)
        checks.expect("zip: x86-64 program", pe_magic(z.read("x86_64/Tolvarin.exe")) == 0x20B)
        unpacked = os.path.join(work, "zip")
        z.extractall(unpacked)
    if shutil.which("wine") is None:
        checks.skipped.append("the zip's program under Wine (Wine not installed)")
        return
    with tempfile.TemporaryDirectory(prefix="tolvarin-wine-") as prefix:
        os.environ.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all"})
        subprocess.run(["wine", "cmd", "/c", "exit"], capture_output=True)
        run = convert(["wine", os.path.join(unpacked, "x86_64", "Tolvarin.exe")], os.path.join(work, "wine-run"), demo)
    built = convert([os.path.abspath(binary)], os.path.join(work, "build-run-2"), demo)
    checks.expect("zip: the x86-64 program converts the demo under Wine", run == built,
                  f"{run[:2]} / {built[:2]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packages", required=True, help="the directory `make package` wrote to")
    parser.add_argument("--manual", required=True, help="the manual page as built")
    parser.add_argument("--binary", required=True, help="the build's converter")
    parser.add_argument("--demo", required=True)
    args = parser.parse_args()
    checks = Checks()
    version = project_version()
    with tempfile.TemporaryDirectory(prefix="tolvarin-package-") as work:
        debs = glob.glob(os.path.join(args.packages, f"tolvarin_{version}_*.deb"))
        checks.expect("deb: one package for this version", len(debs) == 1, str(debs))
        if len(debs) == 1:
            check_deb(checks, debs[0], args.manual, args.binary, args.demo, work)
        library_debs = glob.glob(os.path.join(args.packages, f"libtolvarin{version.split('.')[0]}_{version}_*.deb"))
        checks.expect("lib: one package for this version", len(library_debs) == 1, str(library_debs))
        if len(library_debs) == 1:
            check_library_deb(checks, library_debs[0], work)
        dev_debs = glob.glob(os.path.join(args.packages, f"libtolvarin-dev_{version}_*.deb"))
        checks.expect("dev: one package for this version", len(dev_debs) == 1, str(dev_debs))
        if len(dev_debs) == 1 and len(library_debs) == 1:
            check_dev_deb(checks, dev_debs[0], library_debs[0], args.binary, os.path.abspath(args.demo), work)
        archive = os.path.join(args.packages, f"tolvarin-{version}-windows.zip")
        if os.path.exists(archive):
            check_zip(checks, archive, args.binary, args.demo, work)
        else:
            checks.skipped.append("the Windows zip (no Windows build)")
    skipped = f", skipped: {'; '.join(checks.skipped)}" if checks.skipped else ""
    print(f"packages: {checks.passed} passed, {checks.failed} failed{skipped}")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
