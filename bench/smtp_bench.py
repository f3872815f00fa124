#!/usr/bin/python3
"""Wall time of whole CGI runs that deliver one message to a local SMTP
server, in HELO mode (a reply awaited after every command) and in EHLO mode
(the envelope sent in one go), against the same run with no server to talk
to. The difference between the medians is what the SMTP exchange costs.

    bench/smtp_bench.py [--bin build/quillon] [--runs 100]

Prints figures only. Every run must deliver its message; one that does not
stops the benchmark, since its time would mean nothing."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "cli"))

from scripted_smtp import ScriptedSMTP  # noqa: E402

FORM = b"Name%3A=Joe+Bloggs&Email%3A=joe%40example.org&Comments%3A=hello"


def settings(port, helo, logging):
    lines = ["logging %s" % logging, "email_CR=LFCR",
             'headerline To: "Site" <owner@example.com>',
             'headerline From: "Form" <form@example.com>',
             "headerline Subject: Form Submission Data",
             "bodycontent_line Here are the details that they submitted:",
             "use_submitted_variable_for_bodycontent Name:",
             "use_submitted_variable_for_bodycontent Email:",
             "use_submitted_variable_for_bodycontent Comments:"]
    if port is not None:
        lines.append("smtp 127.0.0.1:%d" % port)
    if helo:
        lines.append("hello_method HELO")
    return "\n".join(lines) + "\n"


def time_runs(program, runs):
    env = {"PATH": "/usr/bin:/bin", "TZ": "UTC",
           "CONTENT_LENGTH": str(len(FORM))}
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        proc = subprocess.run([program], input=FORM, env=env,
                              cwd=os.path.dirname(program),
                              stdout=subprocess.DEVNULL, check=False)
        times.append((time.perf_counter() - start) * 1000)
        if proc.returncode != 0:
            sys.exit("%s exited with %d" % (program, proc.returncode))
    return times


def bench_row(binary, runs, server, helo, logging):
    root = tempfile.mkdtemp(prefix="quillon-bench-")
    try:
        program = os.path.join(root, "quillon")
        os.symlink(os.path.abspath(binary), program)
        port = server.port if server is not None else None
        with open(os.path.join(root, "quillon.ini"), "w") as f:
            f.write(settings(port, helo, logging))
        delivered_before = len(server.sessions) if server is not None else 0
        times = time_runs(program, runs)
        if server is not None:
            server.wait_sessions_done()
            sessions = server.sessions[delivered_before:]
            good = sum(1 for s in sessions if s.data and s.data.endswith(b"\r\n.\r\n"))
            if good != runs:
                sys.exit("only %d of %d runs delivered their message" % (good, runs))
        return times
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(REPO, "build", "quillon"))
    parser.add_argument("--runs", type=int, default=100)
    args = parser.parse_args()
    if not os.path.exists(args.bin):
        sys.exit("no program at %s (build it, or give --bin)" % args.bin)

    rows = [
        ("no server (baseline)", False, False, "errors"),
        ("HELO mode", True, True, "errors"),
        ("EHLO mode", True, False, "errors"),
        ("HELO mode, debug log", True, True, "debug"),
    ]
    print("%d runs each of %s\n" % (args.runs, args.bin))
    print("%-24s %9s %9s %9s %12s" % ("", "median ms", "p90 ms", "min ms",
                                      "SMTP share"))
    baseline = None
    with ScriptedSMTP() as server:
        for label, with_server, helo, logging in rows:
            times = sorted(bench_row(args.bin, args.runs,
                                     server if with_server else None,
                                     helo, logging))
            median = statistics.median(times)
            p90 = times[min(len(times) - 1, int(len(times) * 0.9))]
            if baseline is None:
                baseline = median
                share = ""
            else:
                share = "%+.2f ms" % (median - baseline)
            print("%-24s %9.2f %9.2f %9.2f %12s" % (label, median, p90,
                                                     times[0], share))


if __name__ == "__main__":
    main()
