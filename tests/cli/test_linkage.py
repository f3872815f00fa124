"""The Linux program needs no shared library but the C library: the C++
runtime (and libm and libgcc_s behind it) would cost every CGI run its
loading and binding, about as much again as the run itself."""

import os
import re
import shutil
import subprocess
import unittest

import harness


class LinkageTest(unittest.TestCase):
    @unittest.skipIf(harness.IS_EXE, "a Windows program has no ELF dynamic section")
    def test_needs_only_libc(self):
        readelf = shutil.which("readelf")
        if readelf is None:
            harness.cannot_run(self, "readelf is not installed")
        dynamic = subprocess.run([readelf, "-d", harness.BIN], capture_output=True, text=True,
                                 check=True, env=dict(os.environ, LC_ALL="C")).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
        others = [name for name in needed
                  if name != "libc.so.6" and not name.startswith("ld-linux")]
        self.assertEqual((True, []), ("libc.so.6" in needed, others),
                         "NEEDED: %s; `nm -D --undefined-only` shows what pulls them in "
                         "(a linker without --as-needed keeps libstdc++ even unused)" % needed)


if __name__ == "__main__":
    unittest.main()
