"""The module's version is the project's, from the CMakeLists.txt beside it."""
import os
import re

from setuptools import setup

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")) as f:
    setup(version=re.search(r"project\(tolvarin VERSION ([0-9.]+)", f.read()).group(1))
