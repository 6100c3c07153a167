"""Points the module at the build's shared library (TOLVARIN_BUILD, by
default build/release) unless TOLVARIN_LIBRARY names one, and imports the
module from the source tree unless TOLVARIN_INSTALLED is set. A library
built without the 1.1 calls gets them from stand_in.c, built beside it."""
import ctypes
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.abspath(os.environ.get("TOLVARIN_BUILD", os.path.join(ROOT, "build", "release")))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
if not os.environ.get("TOLVARIN_INSTALLED"):
    sys.path.insert(0, os.path.dirname(HERE))


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tolvarin VERSION ([0-9.]+)", f.read()).group(1)


def library_path():
    library = os.path.join(BUILD, "libtolvarin.so.1")
    if hasattr(ctypes.CDLL(library), "tolvarin_open_with_status"):
        return library
    stand_in = os.path.join(tempfile.mkdtemp(prefix="tolvarin-stand-in-"), "libtolvarin_stand_in.so")
    subprocess.run(["cc", "-shared", "-fPIC", f'-DSTAND_IN_VERSION="{project_version()}"',
                    "-I", os.path.join(ROOT, "include"), os.path.join(HERE, "stand_in.c"), "-L", BUILD,
                    "-l:libtolvarin.so.1", f"-Wl,-rpath,{BUILD}", "-o", stand_in], check=True)
    return stand_in


if not os.environ.get("TOLVARIN_LIBRARY"):
    os.environ["TOLVARIN_LIBRARY"] = library_path()
