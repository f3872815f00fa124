#!/usr/bin/python3
"""What a reply page full of tokens costs as the number of submitted fields
grows: instructions of one whole CGI run (valgrind's callgrind, which counts
the same on a busy machine as on an idle one) for forms of 10, 100 and 1000
fields and a success page of 10000 lines, each with a token naming the last
field. The look-up is meant to cost the same however many fields there are,
so the three counts should differ by little more than the decoding of the
extra fields. Also shown: the instructions spent in form_value and below.

    bench/lookup_bench.py [--bin [LABEL=]PATH ...] [--lines 10000]

Each run delivers its message to a local responder and must print the
success page; otherwise the benchmark stops."""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from whole_run import REPO, Responder, site, typical_settings  # noqa: E402

FIELD_COUNTS = (10, 100, 1000)


def form(fields):
    return "&".join("Field%04d%%3A=value+%d" % (i, i) for i in range(1, fields + 1))


def page(fields, lines):
    token = "||Field%04d:||" % fields
    return "<html><body>\n" + "<p>%s</p>\n" % token * lines + "</body></html>\n"


def callgrind(program, cwd, body, work):
    """(total instructions, instructions in form_value and below)."""
    out_file = os.path.join(work, "callgrind.out")
    env = {"PATH": "/usr/bin:/bin", "TZ": "UTC", "CONTENT_LENGTH": str(len(body))}
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file,
                          program], input=body.encode(), env=env, cwd=cwd,
                         capture_output=True, check=False)
    if run.returncode != 0 or b"SUCCESS" not in run.stdout:
        sys.exit("%s: exit %d, no success page: figures void\n%s"
                 % (program, run.returncode, run.stderr.decode()[-2000:]))
    total = int(re.search(rb"Collected : (\d+)", run.stderr).group(1))
    annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", out_file],
                              capture_output=True, text=True, check=True).stdout
    lookup = 0
    for line in annotate.splitlines():
        m = re.match(r"\s*([\d,]+) .*\bform_value\b", line)
        if m:
            lookup = int(m.group(1).replace(",", ""))
            break
    os.remove(out_file)
    return total, lookup


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", action="append", help="[LABEL=]PATH (default build/quillon)")
    parser.add_argument("--lines", type=int, default=10000, help="lines of the reply page")
    args = parser.parse_args()
    builds = []
    for choice in args.bin or [os.path.join(REPO, "build", "quillon")]:
        label, _, path = choice.rpartition("=")
        builds.append((label or os.path.relpath(path, REPO), os.path.abspath(path)))

    responder = Responder()
    print("instructions of one whole run (callgrind), reply page of %d lines each naming "
          "the last field; M = million" % args.lines)
    print("%-16s %7s %14s %14s" % ("build", "fields", "whole run", "in form_value"))
    with tempfile.TemporaryDirectory(prefix="quillon-lookup-") as work:
        for fields in FIELD_COUNTS:
            for index, (label, binary) in enumerate(builds):
                program, cwd = site(work, "f%d-%d" % (fields, index), binary,
                                    typical_settings(responder.port, "errors"), pages=False)
                with open(os.path.join(cwd, "success.html"), "w") as f:
                    f.write(page(fields, args.lines).replace("<body>", "<body>SUCCESS", 1))
                with open(os.path.join(cwd, "failure.html"), "w") as f:
                    f.write("<html><body>FAILURE</body></html>\n")
                total, lookup = callgrind(program, cwd, form(fields), work)
                print("%-16s %7d %12.1f M %12.1f M" % (label, fields, total / 1e6, lookup / 1e6))
                sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
