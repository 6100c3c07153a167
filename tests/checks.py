"""A tally of named checks for the test scripts that are not GoogleTest:
each failure is printed with its name, and the script's exit status comes
from the count."""


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.skipped = []

    def expect(self, name, condition, detail=""):
        if condition:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAILED: {name} {detail}")
