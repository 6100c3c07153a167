"""The module from the source tree (unless TOLVARIN_INSTALLED is set) over
the shared library of the build TOLVARIN_BUILD (build/release) unless
TOLVARIN_LIBRARY names one."""
import os
import re
import sys

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
