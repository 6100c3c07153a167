"""Builds examples/library/convert_in_memory.cpp against an installed library
the two ways its users do, with CMake through find_package(tolvarin) and with
the pkg-config line its header shows, and runs it and the command line on a
container; for library_install_check.py and package_test.py."""
import os
import re
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXAMPLE_DIR = os.path.join(ROOT, "examples", "library")
EXAMPLE_SOURCE = os.path.join(EXAMPLE_DIR, "convert_in_memory.cpp")


def pkg_config_line():
    """The build line the example's header gives, as a user would copy it."""
    with open(EXAMPLE_SOURCE) as f:
        return re.search(r"^//\s+(c\+\+ .*pkg-config.*)$", f.read(), re.MULTILINE).group(1)


def build_with_cmake(prefix_path, work):
    """Configures and builds the example with CMAKE_PREFIX_PATH=prefix_path.
    Returns the program (None when the build failed), the build's log and the
    directory find_package took the package from."""
    build = os.path.join(work, "cmake-build")
    log = ""
    for command in (["cmake", "-S", EXAMPLE_DIR, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     f"-DCMAKE_PREFIX_PATH={prefix_path}"],
                    ["cmake", "--build", build]):
        result = subprocess.run(command, capture_output=True, text=True)
        log += result.stdout + result.stderr
        if result.returncode != 0:
            return None, log, None
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        found = re.search(r"^tolvarin_DIR:PATH=(.*)$", f.read(), re.MULTILINE)
    return os.path.join(build, "convert_in_memory"), log, found.group(1) if found else None


def build_with_pkg_config(env, work):
    """Compiles a copy of the example with the line from its header, in a shell
    with `env`. Returns the program (None when the build failed) and the log."""
    build = os.path.join(work, "pkg-config-build")
    os.makedirs(build)
    shutil.copy(EXAMPLE_SOURCE, build)
    result = subprocess.run(["sh", "-c", pkg_config_line()], cwd=build, env=env, capture_output=True, text=True)
    program = os.path.join(build, "convert_in_memory")
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


def run_example(program, container, workdir):
    """The example's outputs for `container`, written into the empty `workdir`."""
    os.makedirs(workdir)
    result = subprocess.run([program, container, workdir], capture_output=True)
    return result.returncode, outputs_in(workdir)
