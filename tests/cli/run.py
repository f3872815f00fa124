"""Runs test modules as `python -m unittest -v MODULE...` does, with one
more outcome: when nothing failed but a case could not run for want of a
tool (harness.cannot_run), the exit code is 77, which ctest counts as
Skipped rather than Passed."""

import sys
import unittest

import harness

if __name__ == "__main__":
    program = unittest.main(module=None, argv=[sys.argv[0], "-v"] + sys.argv[1:],
                            exit=False)
    if not program.result.wasSuccessful():
        sys.exit(1)
    for line in harness.CANNOT_RUN:
        sys.stderr.write("could not run: %s\n" % line)
    sys.exit(77 if harness.CANNOT_RUN else 0)
