#!/usr/bin/env python3
"""The Windows build, end to end. The x86-64 exe runs under Wine through the
same kinds of cases as the Linux binary; the 32-bit exe (which this kernel
cannot run) and the x86-64 one are checked for their headers: PE32 / PE32+,
console subsystem, the asInvoker manifest as resource 1 of type 24, and no
DLL beyond the system's.

Exits 77 (skipped) when Wine is not installed. Prints 'N passed, M failed'."""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from zarq import header_block  # noqa: E402
from checks import Checks  # noqa: E402

SKIP = 77
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}

BANNER = re.compile(rb"Tolvarin BuildDate:\[[A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\]\r\n")


# Songs whose output is worked out by hand: compact stream, track data written.
SONGS = [
    (header_block(96, 0xDEADBEEF), "00 90 3C 40 60 80 3C 00 FF 2F 00", "00 90 3C 40 60 80 3C 00 00 FF 2F 00"),
    (header_block(480, 0), "00 FF 51 03 07 A1 20 00 C0 05 00 E0 40 83 60 90 3C 40 00 FF 2F 00",
     "00 FF 51 03 07 A1 20 00 C0 05 00 E0 40 00 83 60 90 3C 40 00 FF 2F 00"),
    (header_block(120, 0x7FFFFFFF), "00 FF 2F 00", "00 FF 2F 00"),
    (header_block(24, 0), "00 80 3C 05 3E 00 FF 2F 00", "00 80 3C 00 05 3E 00 00 FF 2F 00"),
]


def container():
    image = bytearray(16)
    for number, (header, stream, _) in enumerate(SONGS):
        if number > 0:
            struct.pack_into("<I", image, 4 * number, len(image) - 4)
        image += header + bytes.fromhex(stream)
    return bytes(image)


def expected_output(number):
    header, _, track = SONGS[number - 1]
    track = bytes.fromhex(track)
    return header[:18] + struct.pack(">I", len(track)) + track


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def run(exe, args, cwd):
    result = subprocess.run(["wine", exe, *args], cwd=cwd, capture_output=True)
    return result.returncode, result.stdout


def after_banner(checks, name, out):
    match = BANNER.match(out)
    checks.expect(name + ": banner", match is not None, repr(out[:60]))
    return out[match.end():] if match else out


def end_to_end(checks, exe, work):
    status, out = run(exe, [], work)
    checks.expect("usage: status", status == 255, str(status))
    checks.expect("usage: text", after_banner(checks, "usage", out) == b"Usage\r\n\tTolvarin.exe <Zarqfile>\r\n")

    cases = [("backslashes", windows_path(f"{work}/a/tune.dat"), "a/tune"),
             ("forward slashes", f"Z:{work}/b/tune.dat", "b/tune"),
             ("relative", "c\\x.y.dat", "c/x.y"),
             ("non-ASCII", windows_path(f"{work}/d/Überlied ♪.dat"), "d/Überlied ♪")]
    for name, argument, base in cases:
        folder = os.path.join(work, os.path.dirname(base))
        os.makedirs(folder, exist_ok=True)
        source = os.path.join(work, base + ".dat")
        with open(source, "wb") as f:
            f.write(container())
        status, out = run(exe, [argument], work)
        checks.expect(f"{name}: status", status == 0, str(status))
        checks.expect(f"{name}: quiet", after_banner(checks, name, out) == b"")
        for number in range(1, 5):
            path = os.path.join(work, f"{base}_{number}.mid")
            data = open(path, "rb").read() if os.path.exists(path) else None
            checks.expect(f"{name}: output {number}", data == expected_output(number))

    missing = windows_path(f"{work}/Fehlt ♪.dat")
    status, out = run(exe, [missing], work)
    checks.expect("missing: status", status == 255, str(status))
    checks.expect("missing: message in UTF-8",
                  after_banner(checks, "missing", out) == f"No file or already opened : {missing}\r\n".encode())

    # In a console (Wine makes one of a terminal) the path goes out through
    # the console's wide-character call; it must come through whole.
    if shutil.which("script"):
        command = f"wine '{exe}' '{missing}'"
        result = subprocess.run(["script", "-qec", command, "/dev/null"], cwd=work, capture_output=True,
                                env={**os.environ, "LANG": "C.UTF-8"})
        checks.expect("console: non-ASCII path shown", f"opened : {missing}".encode() in result.stdout,
                      repr(result.stdout[-80:]))

    os.makedirs(os.path.join(work, "folder.dat"))
    status, out = run(exe, ["folder.dat"], work)
    checks.expect("directory: status", status == 255, str(status))
    checks.expect("directory: message", after_banner(checks, "directory", out) == b"No file or already opened : folder.dat\r\n")

    os.makedirs(os.path.join(work, "e", "tune_2.mid"))
    with open(os.path.join(work, "e", "tune.dat"), "wb") as f:
        f.write(container())
    target = windows_path(f"{work}/e/tune.dat")
    status, out = run(exe, [target], work)
    checks.expect("blocked output: status", status == 255, str(status))
    checks.expect("blocked output: message",
                  after_banner(checks, "blocked", out) == f"No file or already opened : {target[:-4]}_2.mid\r\n".encode())
    first = os.path.join(work, "e", "tune_1.mid")
    checks.expect("blocked output: first complete", os.path.exists(first) and open(first, "rb").read() == expected_output(1))
    checks.expect("blocked output: no third", not os.path.exists(os.path.join(work, "e", "tune_3.mid")))
    checks.expect("blocked output: no temporary file", temporaries(os.path.join(work, "e")) == [])

    # An existing output is replaced whole; a read-only one (Wine shows a file
    # without write permission as read-only) is refused before anything is
    # written, and left as it was.
    folder = os.path.join(work, "f")
    os.makedirs(folder)
    with open(os.path.join(folder, "tune.dat"), "wb") as f:
        f.write(container())
    old = b"\xA5" * 5000
    for number in (1, 2):
        with open(os.path.join(folder, f"tune_{number}.mid"), "wb") as f:
            f.write(old)
    os.chmod(os.path.join(folder, "tune_2.mid"), 0o444)
    target = windows_path(f"{work}/f/tune.dat")
    status, out = run(exe, [target], work)
    checks.expect("read-only output: status", status == 255, str(status))
    checks.expect("read-only output: message",
                  after_banner(checks, "read-only", out) == f"No file or already opened : {target[:-4]}_2.mid\r\n".encode())
    checks.expect("read-only output: earlier output replaced", read(os.path.join(folder, "tune_1.mid")) == expected_output(1))
    checks.expect("read-only output: left as it was", read(os.path.join(folder, "tune_2.mid")) == old)
    checks.expect("read-only output: no temporary file", temporaries(folder) == [])
    os.chmod(os.path.join(folder, "tune_2.mid"), 0o644)
    status, out = run(exe, [target], work)
    checks.expect("replaced outputs: status", status == 0, str(status))
    for number in range(1, 5):
        checks.expect(f"replaced outputs: output {number}", read(os.path.join(folder, f"tune_{number}.mid")) == expected_output(number))
    checks.expect("replaced outputs: no temporary file", temporaries(folder) == [])

    container_through_links(checks, exe, work)

    # A container converted on several threads gives the same bytes.
    folder = os.path.join(work, "g")
    os.makedirs(folder)
    image, outputs = large_container()
    with open(os.path.join(folder, "big.dat"), "wb") as f:
        f.write(image)
    status, out = run(exe, [windows_path(f"{work}/g/big.dat")], work)
    checks.expect("large container: status", status == 0, str(status))
    for number, expected in enumerate(outputs, start=1):
        checks.expect(f"large container: output {number}",
                      read(os.path.join(folder, f"big_{number}.mid")) == expected)


def container_through_links(checks, exe, work):
    """A container given through a link to one of its own outputs. Moving
    that output over the container's last name would delete the container,
    so the output is refused; a container that keeps another name (a hard
    link) is converted whole. The links are made on the Unix side: Wine opens
    the container through the symbolic link and reports the file's index and
    link count as the Linux inode and link count, which is what the program
    compares. Wine shows no Unix link as a reparse point, so a link at an
    output name cannot be told from its target here: what Windows does with
    a real symbolic link or junction at an output name is not covered."""
    cases = [
        # (name, (link, target) pairs of symbolic links, (new name, existing) hard links, the container's
        #  file, outputs new, refused output, names that must still hold the container)
        ("link to its only name", [("real.dat", "real_2.mid")], [], "real_2.mid", 1, 2, ["real_2.mid", "real.dat"]),
        ("link to a hard-linked name", [("real.dat", "real_2.mid")], [("keep.dat", "real_2.mid")], "real_2.mid",
         4, None, ["keep.dat"]),
        # Outputs 1 and 2 are both its names: once output 1 replaced one,
        # output 2 is its last.
        ("outputs 1 and 2 its names", [("real.dat", "real_1.mid")], [("real_2.mid", "real_1.mid")], "real_1.mid",
         1, 2, ["real_2.mid"]),
    ]
    image = container()
    for index, (name, symlinks, hard_links, file, renamed, refused, kept) in enumerate(cases):
        folder = os.path.join(work, f"link{index}")
        os.makedirs(folder)
        with open(os.path.join(folder, file), "wb") as f:
            f.write(image)
        for new, existing in hard_links:
            os.link(os.path.join(folder, existing), os.path.join(folder, new))
        for link, target in symlinks:
            os.symlink(target, os.path.join(folder, link))
        target = windows_path(f"{folder}/real.dat")
        status, out = run(exe, [target], work)
        message = f"No file or already opened : {target[:-4]}_{refused}.mid\r\n".encode() if refused else b""
        checks.expect(f"{name}: status", status == (255 if refused else 0), str(status))
        checks.expect(f"{name}: message", after_banner(checks, name, out) == message, repr(out[-80:]))
        for number in range(1, renamed + 1):
            checks.expect(f"{name}: output {number}",
                          read(os.path.join(folder, f"real_{number}.mid")) == expected_output(number))
        if refused:
            for number in range(refused + 1, 5):
                checks.expect(f"{name}: no output {number}",
                              not os.path.exists(os.path.join(folder, f"real_{number}.mid")))
        for kept_name in kept:
            checks.expect(f"{name}: container kept at {kept_name}", read(os.path.join(folder, kept_name)) == image)
        checks.expect(f"{name}: no temporary file", temporaries(folder) == [])


def large_container():
    """Three sequences of about 2 MB each (large enough to be converted on
    several threads) and their outputs, worked out from the format: note ons
    running and explicit, note offs that gain a zero, text and two-byte delta
    times, then an end of track."""
    image = bytearray(16)
    outputs = []
    for number in range(3):
        if number > 0:
            struct.pack_into("<I", image, 4 * number, len(image) - 4)
        stream = bytearray()
        track = bytearray()
        for i in range(80000):
            note = (i + 7 * number) % 128
            stream += bytes([0x00, 0x90, note, 0x40, 0x05, note, 0x30, 0x00, 0x80, note, 0x81, 0x10, note,
                             0x00, 0xFF, 0x01, 0x03, 0x61, 0x62, 0x63])
            track += bytes([0x00, 0x90, note, 0x40, 0x05, note, 0x30, 0x00, 0x80, note, 0x00, 0x81, 0x10, note, 0x00,
                            0x00, 0xFF, 0x01, 0x03, 0x61, 0x62, 0x63])
        stream += bytes([0x00, 0xFF, 0x2F, 0x00])
        track += bytes([0x00, 0xFF, 0x2F, 0x00])
        header = header_block(96 + number, 0)
        image += header + stream
        outputs.append(header[:18] + struct.pack(">I", len(track)) + bytes(track))
    return bytes(image), outputs


def read(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def temporaries(folder):
    return [name for name in os.listdir(folder) if name.startswith(".tolvarin-")]


def pe_facts(path):
    """Reads the headers of a PE file: its kind, subsystem, imported DLLs and
    the manifest resource (type 24, name 1)."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    sections_count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    sections = []
    for i in range(sections_count):
        entry = optional + optional_size + 40 * i
        size, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
        sections.append((address, max(size, raw_size), raw_offset))

    def offset(rva):
        for address, size, raw in sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(hex(rva))

    def c_string(at):
        return data[at:data.index(b"\0", at)].decode()

    imports_rva = struct.unpack_from("<I", data, directories + 8)[0]
    dlls = []
    at = offset(imports_rva)
    while struct.unpack_from("<I", data, at + 12)[0] != 0:
        dlls.append(c_string(offset(struct.unpack_from("<I", data, at + 12)[0])))
        at += 20

    resources = offset(struct.unpack_from("<I", data, directories + 16)[0])

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, directory + 12)
        for i in range(named + numbered):
            ident, target = struct.unpack_from("<II", data, directory + 16 + 8 * i)
            yield ident, target

    manifest = None
    for ident, target in entries(resources):
        if ident == 24 and target & 0x80000000:
            for name, inner in entries(resources + (target & 0x7FFFFFFF)):
                if name == 1 and inner & 0x80000000:
                    for _, leaf in entries(resources + (inner & 0x7FFFFFFF)):
                        rva, size = struct.unpack_from("<II", data, resources + leaf)
                        manifest = data[offset(rva):offset(rva) + size]
    return {"magic": magic, "subsystem": subsystem, "dlls": dlls, "manifest": manifest}


def check_headers(checks, path, magic):
    facts = pe_facts(path)
    name = os.path.basename(os.path.dirname(path))
    checks.expect(f"{name}: {'PE32' if magic == 0x10B else 'PE32+'}", facts["magic"] == magic, hex(facts["magic"]))
    checks.expect(f"{name}: console subsystem", facts["subsystem"] == 3, str(facts["subsystem"]))
    checks.expect(f"{name}: system DLLs only", {d.lower() for d in facts["dlls"]} <= SYSTEM_DLLS, str(facts["dlls"]))
    manifest = facts["manifest"] or b""
    checks.expect(f"{name}: asInvoker manifest", b'requestedExecutionLevel level="asInvoker"' in manifest)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe32", required=True)
    parser.add_argument("--exe64", required=True)
    args = parser.parse_args()
    checks = Checks()
    check_headers(checks, args.exe32, 0x10B)
    check_headers(checks, args.exe64, 0x20B)
    if shutil.which("wine") is None:
        print(f"{checks.passed} passed, {checks.failed} failed, 1 skipped (no wine: the exe was not run)")
        return 1 if checks.failed else SKIP
    with tempfile.TemporaryDirectory(prefix="tolvarin-wine-") as prefix, \
            tempfile.TemporaryDirectory(prefix="tolvarin-win-") as work:
        os.environ.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all"})
        subprocess.run(["wine", "cmd", "/c", "exit"], capture_output=True)  # creates the prefix
        end_to_end(checks, os.path.abspath(args.exe64), work)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
