"""The module from the source tree (unless TOLVARIN_INSTALLED is set) over
the shared library of the build TOLVARIN_BUILD (build/release) unless
TOLVARIN_LIBRARY names one; a library without the C interface's 1.1 calls
gets them from stand_in.c."""
import atexit
import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.abspath(os.environ.get("TOLVARIN_BUILD", os.path.join(ROOT, "build", "release")))
sys.path[:0] = [os.path.join(ROOT, "scripts"), os.path.join(ROOT, "tests")]
if not os.environ.get("TOLVARIN_INSTALLED"):
    sys.path.insert(0, os.path.dirname(HERE))


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tolvarin VERSION ([0-9.]+)", f.read()).group(1)


if not os.environ.get("TOLVARIN_LIBRARY"):
    os.environ["TOLVARIN_LIBRARY"] = os.path.join(BUILD, "libtolvarin.so.1")
    if not hasattr(ctypes.CDLL(os.environ["TOLVARIN_LIBRARY"]), "tolvarin_open_with_status"):
        work = tempfile.mkdtemp(prefix="tolvarin-")
        atexit.register(shutil.rmtree, work, ignore_errors=True)
        os.environ["TOLVARIN_LIBRARY"] = os.path.join(work, "stand_in.so")
        subprocess.run(["cc", "-shared", "-fPIC", f'-DSTAND_IN_VERSION="{project_version()}"', "-I",
                        os.path.join(ROOT, "include"), os.path.join(HERE, "stand_in.c"), "-L", BUILD,
                        "-l:libtolvarin.so.1", f"-Wl,-rpath,{BUILD}", "-o", os.environ["TOLVARIN_LIBRARY"]], check=True)
