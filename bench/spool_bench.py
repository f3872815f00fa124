#!/usr/bin/python3
"""What the spool adds to a CGI run: whole runs that deliver one message to
a local scripted SMTP server, without and with `spool_folder` (with
`spool_keep_sent false` too), and what a flush to disk costs on its own
here; then the time -resend takes per waiting message.

    bench/spool_bench.py [--bin build/quillon] [--runs 200] [--dir DIR]

The spool lies in a fresh folder under DIR (default: the system's temporary
folder), so give a DIR on the disk a site would use. Prints figures only;
every run must deliver its message or the benchmark stops."""

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

from harness import free_port  # noqa: E402
from scripted_smtp import ScriptedSMTP  # noqa: E402

FORM = b"Name%3A=Joe+Bloggs&Email%3A=joe%40example.org&Comments%3A=hello"


def settings(port, extra):
    lines = ["smtp 127.0.0.1:%d" % port, "logging errors", "email_CR=LFCR",
             'headerline To: "Site" <owner@example.com>',
             'headerline From: "Form" <form@example.com>',
             "headerline Subject: Form Submission Data",
             "bodycontent_line Here are the details that they submitted:",
             "use_submitted_variable_for_bodycontent Name:",
             "use_submitted_variable_for_bodycontent Email:",
             "use_submitted_variable_for_bodycontent Comments:"]
    return "\n".join(lines) + "\n" + extra


def run_once(program, args=()):
    env = {"PATH": "/usr/bin:/bin", "TZ": "UTC", "CONTENT_LENGTH": str(len(FORM))}
    start = time.perf_counter()
    proc = subprocess.run([program] + list(args), input=FORM, env=env,
                          cwd=os.path.dirname(program), stdout=subprocess.DEVNULL,
                          check=False)
    elapsed = (time.perf_counter() - start) * 1000
    if proc.returncode != 0:
        sys.exit("%s exited with %d" % (program, proc.returncode))
    return elapsed


def sandbox(binary, parent, port, extra):
    root = tempfile.mkdtemp(prefix="quillon-spool-bench-", dir=parent)
    program = os.path.join(root, "quillon")
    os.symlink(os.path.abspath(binary), program)
    with open(os.path.join(root, "quillon.ini"), "w") as f:
        f.write(settings(port, extra))
    return root, program


def delivered(server, before):
    server.wait_sessions_done()
    return sum(1 for s in server.sessions[before:]
               if s.data and s.data.endswith(b"\r\n.\r\n"))


def flush_cost(parent, runs):
    """Median ms of writing a 600-byte file, with and without fsync, and of
    fsync on a folder, through the same system calls the spool makes."""
    root = tempfile.mkdtemp(prefix="quillon-fsync-bench-", dir=parent)
    data = b"x" * 600
    rows = {"write": [], "write+fsync": [], "folder fsync": []}
    try:
        for i in range(runs):
            for label, sync in (("write", False), ("write+fsync", True)):
                path = os.path.join(root, "%s-%d" % (label, i))
                start = time.perf_counter()
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
                os.write(fd, data)
                if sync:
                    os.fsync(fd)
                os.close(fd)
                rows[label].append((time.perf_counter() - start) * 1000)
            start = time.perf_counter()
            fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
            os.fsync(fd)
            os.close(fd)
            rows["folder fsync"].append((time.perf_counter() - start) * 1000)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return {label: statistics.median(times) for label, times in rows.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(REPO, "build", "quillon"))
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    if not os.path.exists(args.bin):
        sys.exit("no program at %s (build it, or give --bin)" % args.bin)

    print("%d runs each of %s, spool under %s\n" % (args.runs, args.bin, args.dir))
    print("%-34s %9s %9s %9s %10s" % ("", "median ms", "p90 ms", "min ms", "added"))
    rows = [("no spool", ""),
            ("spool_folder", "spool_folder spool\n"),
            ("spool_folder, keep_sent false", "spool_folder spool\nspool_keep_sent false\n")]
    baseline = None
    with ScriptedSMTP() as server:
        for label, extra in rows:
            root, program = sandbox(args.bin, args.dir, server.port, extra)
            try:
                before = len(server.sessions)
                # Interleaved warm-up run, not counted.
                run_once(program)
                times = sorted(run_once(program) for _ in range(args.runs))
                if delivered(server, before) != args.runs + 1:
                    sys.exit("%s: not every run delivered its message" % label)
            finally:
                shutil.rmtree(root, ignore_errors=True)
            median = statistics.median(times)
            p90 = times[min(len(times) - 1, int(len(times) * 0.9))]
            added = "" if baseline is None else "%+.2f ms" % (median - baseline)
            if baseline is None:
                baseline = median
            print("%-34s %9.2f %9.2f %9.2f %10s" % (label, median, p90, times[0], added))

    print("\nflush to disk on its own (median ms):")
    for label, ms in flush_cost(args.dir, args.runs).items():
        print("  %-14s %.3f" % (label, ms))

    # -resend: the queue filled by runs with no server, then sent in one go.
    root, program = sandbox(args.bin, args.dir, free_port(), "spool_folder spool\n")
    try:
        for _ in range(args.runs):
            run_once(program)
        with ScriptedSMTP() as server:
            with open(os.path.join(root, "quillon.ini"), "w") as f:
                f.write(settings(server.port, "spool_folder spool\n"))
            start = time.perf_counter()
            subprocess.run([program, "-resend"], cwd=root, stdout=subprocess.DEVNULL,
                           check=False)
            elapsed = (time.perf_counter() - start) * 1000
            if delivered(server, 0) != args.runs:
                sys.exit("-resend did not deliver every message")
        print("\n-resend of %d waiting messages: %.0f ms, %.2f ms per message"
              % (args.runs, elapsed, elapsed / args.runs))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
