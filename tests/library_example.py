"""Builds the library's examples against an installed library the ways their
users do, with CMake through find_package(tolvarin) and with the pkg-config
lines their headers show, and runs them and the command line on a
container; for library_install_check.py and package_test.py.

examples/library/convert_in_memory.cpp is a C++ program;
examples/library_c/convert_pieces.c a C program in a C-only CMake project."""
import collections
import os
import re
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
Example = collections.namedtuple("Example", "directory source program")
CXX_EXAMPLE = Example(os.path.join(ROOT, "examples", "library"), "convert_in_memory.cpp", "convert_in_memory")
C_EXAMPLE = Example(os.path.join(ROOT, "examples", "library_c"), "convert_pieces.c", "convert_pieces")
EXAMPLE_DIR = CXX_EXAMPLE.directory
EXAMPLE_SOURCE = os.path.join(CXX_EXAMPLE.directory, CXX_EXAMPLE.source)


def pkg_config_lines(example=CXX_EXAMPLE):
    """The build lines the example's header gives, as a user would copy them."""
    with open(os.path.join(example.directory, example.source)) as f:
        return re.findall(r"^(?://|/?\s*\*)\s+((?:c\+\+|cc) .*pkg-config.*)$", f.read(), re.MULTILINE)


def pkg_config_line():
    """The C++ example's one build line."""
    return pkg_config_lines()[0]


def needs_shared_library(program):
    """Whether the program asks the loader for libtolvarin.so.<major>."""
    dynamic = subprocess.run(["readelf", "-d", program], capture_output=True, text=True).stdout
    return re.search(r"\(NEEDED\).*\[libtolvarin\.so\.", dynamic) is not None


def build_with_cmake(prefix_path, work, example=CXX_EXAMPLE, options=()):
    """Configures and builds the example with CMAKE_PREFIX_PATH=prefix_path
    and the CMake `options`. Returns the program (None when the build
    failed), the build's log and the directory find_package took the package
    from."""
    build = os.path.join(work, "cmake-build")
    log = ""
    for command in (["cmake", "-S", example.directory, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     f"-DCMAKE_PREFIX_PATH={prefix_path}", *options],
                    ["cmake", "--build", build]):
        result = subprocess.run(command, capture_output=True, text=True)
        log += result.stdout + result.stderr
        if result.returncode != 0:
            return None, log, None
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        found = re.search(r"^tolvarin_DIR:PATH=(.*)$", f.read(), re.MULTILINE)
    return os.path.join(build, example.program), log, found.group(1) if found else None


def build_with_pkg_config(env, work, example=CXX_EXAMPLE, line=None):
    """Compiles a copy of the example with a line from its header (its first
    by default), in a shell with `env`. Returns the program (None when the
    build failed) and the log."""
    build = os.path.join(work, "pkg-config-build")
    os.makedirs(build)
    shutil.copy(os.path.join(example.directory, example.source), build)
    result = subprocess.run(["sh", "-c", line or pkg_config_lines(example)[0]], cwd=build, env=env,
                            capture_output=True, text=True)
    program = os.path.join(build, example.program)
    return (program if result.returncode == 0 else None), result.stdout + result.stderr


def outputs_in(directory):
    outputs = {}
    for name in sorted(os.listdir(directory)):
        if name.endswith(".mid"):
            with open(os.path.join(directory, name), "rb") as f:
                outputs[name] = f.read()
    return outputs


def run_command_line(binary, container, workdir):
    """The command line's outputs for a copy of `container` in `workdir`: status and {name: bytes}."""
    os.makedirs(workdir)
    copy = os.path.join(workdir, os.path.basename(container))
    shutil.copy(container, copy)
    result = subprocess.run([os.path.abspath(binary), copy], capture_output=True)
    return result.returncode, outputs_in(workdir)


def run_example(program, container, workdir, library_dir=None):
    """The example's outputs for `container`, written into the empty
    `workdir`; the loader looks for the shared library in `library_dir` too."""
    os.makedirs(workdir)
    env = dict(os.environ, LD_LIBRARY_PATH=library_dir) if library_dir else None
    result = subprocess.run([program, container, workdir], capture_output=True, env=env)
    return result.returncode, outputs_in(workdir)
