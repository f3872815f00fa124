#!/usr/bin/python3
"""The figures to keep, side by side in one run:

1. one process each: /bin/true, the floor (floor_client.c, the same SMTP
   exchange and bytes in C and nothing else) in EHLO and HELO mode (and in
   EHLO mode linked with -static-pie: the loader's share), and the
   program in HELO and EHLO mode with `logging errors` and `logging debug`:
   wall time (median and 90th percentile), CPU (user+sys), peak RSS and
   instructions (valgrind's callgrind, one run);
2. submissions through lighttpd at 1, 8 and 32 concurrent clients (EHLO
   mode, `logging errors`): requests per second, median and 99th percentile
   time, and how many took 40-70 ms, against smtp-sink and aiosmtpd;
3. per input and feature (scaling.py), each against its goal: peak RSS of
   a STARTTLS + AUTH run, instructions of a 50 KB and a 100 KB body and per
   line of a settings file 1000 lines longer, the rate limit with 10,000
   entries in its state (peak RSS, instructions, wall), and the spool's
   fsync, rename and mkdir calls (strace).

    bench/figures.py [--bin [LABEL=]PATH ...] [--runs 1000] [--rounds 50]
                     [--load-n 2000] [--load-rounds 10] [--levels 1,8,32]
                     [--servers sink,aiosmtpd] [--scaling-runs 200]
                     [--rate-entries 10000]

Runs of different cases alternate in rounds, in a new order each round, so
that other work on the machine weighs on all alike. Every run must deliver its message (the
process rows count them at the responder, the load rows check every token at
the SMTP server); otherwise the figures are void and the benchmark stops."""

import argparse
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import load  # noqa: E402
import scaling  # noqa: E402
from whole_run import TYPICAL_FORM, Bench, site, typical_settings  # noqa: E402

FROM, TO = "form@example.com", "owner@example.com"


def uptime():
    text = subprocess.run(["uptime"], capture_output=True, text=True).stdout
    return "load average" + text.split("load average", 1)[-1].rstrip()


def instructions(argv, body, cwd=None):
    """Instructions of one run under callgrind, or None when it failed."""
    with tempfile.NamedTemporaryFile(prefix="quillon-callgrind-") as out:
        env = {"PATH": "/usr/bin:/bin", "TZ": "UTC", "CONTENT_LENGTH": str(len(body))}
        run = subprocess.run(["valgrind", "--tool=callgrind",
                              "--callgrind-out-file=" + out.name] + argv,
                             input=body.encode(), env=env, cwd=cwd, capture_output=True)
        m = re.search(rb"Collected : (\d+)", run.stderr)
        return int(m.group(1)) if run.returncode == 0 and m else None


class Case:
    def __init__(self, label, argv, body, cwd=None, delivers=True, floor=None):
        self.label, self.argv, self.body, self.cwd = label, argv, body, cwd
        self.delivers, self.floor = delivers, floor
        self.rows = []
        self.instructions = None


def summary(rows):
    walls = sorted(r[0] / 1e6 for r in rows)
    return {"wall": statistics.median(walls), "wall90": walls[int(0.9 * (len(walls) - 1))],
            "cpu": statistics.median(sorted((r[1] + r[2]) / 1e3 for r in rows)),
            "rss": statistics.median(r[3] for r in rows), "rss_max": max(r[3] for r in rows),
            "faults": statistics.median(r[5] for r in rows)}


def process_rows(bench, builds, runs, rounds):
    port = bench.responder.port
    work = bench.work
    cases = [Case("/bin/true", ["/bin/true"], "", delivers=False)]
    floors = {}
    programs = []
    for mode in ("EHLO", "HELO"):
        extra = ["hello_method HELO"] if mode == "HELO" else []
        # The floor sends what the first build sends: its content, taken
        # from a run, and the whole session compared byte for byte.
        program, cwd = site(work, "probe-" + mode, builds[0][1],
                            typical_settings(port, "errors", extra))
        bench.measure([program], TYPICAL_FORM, cwd=cwd)
        time.sleep(0.05)
        program_session = bench.responder.last_session
        content = os.path.join(work, "content-" + mode)
        with open(content, "wb") as f:
            f.write(bench.responder.last_content)
        floor = Case("floor, %s mode (C, cc -O2)" % mode,
                     [bench.floor, mode, str(port), FROM, TO, content], TYPICAL_FORM)
        bench.measure(floor.argv, TYPICAL_FORM)
        time.sleep(0.05)
        if bench.responder.last_session != program_session:
            sys.exit("the %s floor does not send what %s sends:\n%r\n%r"
                     % (mode, builds[0][0], bench.responder.last_session, program_session))
        floors[mode] = floor
        cases.append(floor)
        if mode == "EHLO":
            # The same floor without the dynamic loader: what loading libc
            # costs any dynamic program, the floor included.
            with open(os.path.join(HERE, "floor_client.c")) as f:
                static = bench.compile(f.read(), "floor_client_static", ["-static-pie"])
            cases.append(Case("floor, EHLO mode, static-pie", [static] + floor.argv[1:],
                              TYPICAL_FORM, floor=floor))
    for index, (label, binary) in enumerate(builds):
        for mode in ("HELO", "EHLO"):
            extra = ["hello_method HELO"] if mode == "HELO" else []
            for logging in ("errors", "debug"):
                program, cwd = site(work, "%s-%s-%d" % (mode, logging, index), binary,
                                    typical_settings(port, logging, extra))
                programs.append(Case("%s, %s mode, logging %s" % (label, mode, logging),
                                     [program], TYPICAL_FORM, cwd=cwd, floor=floors[mode]))
    cases += programs
    per_round = max(1, runs // rounds)
    # A new order every round: a disturbance that comes back at some period
    # cannot fall on the same case each time.
    order = random.Random(15)
    for _ in range(rounds):
        for case in order.sample(cases, len(cases)):
            bench.runs = per_round
            case.rows += bench.measure(case.argv, case.body, cwd=case.cwd,
                                       delivers=case.delivers)
    for case in cases:
        case.instructions = instructions(case.argv, case.body, case.cwd)

    print("\n%d runs per row in %d alternating rounds: wall and CPU in ms (median; wall90 = "
          "90th percentile), peak RSS in KiB (median, max), instructions of one run "
          "(callgrind), minor page faults (median)" % (per_round * rounds, rounds))
    print("%-40s %7s %7s %7s %7s %6s %6s %6s %11s"
          % ("case", "wall", "wall90", "/floor", "cpu", "rss", "rssmax", "faults", "instr"))
    for case in cases:
        s = summary(case.rows)
        ratio = ("%6.2fx" % (s["wall"] / statistics.median(r[0] / 1e6 for r in case.floor.rows))
                 if case.floor else "")
        instr = "%9.0f K" % (case.instructions / 1e3) if case.instructions else "-"
        print("%-40s %7.3f %7.3f %7s %7.3f %6d %6d %6d %11s"
              % (case.label, s["wall"], s["wall90"], ratio, s["cpu"], s["rss"], s["rss_max"],
                 s["faults"], instr))


def load_rows(builds, n, levels, servers, rounds):
    print("\nthrough lighttpd, EHLO mode, logging errors: %d submissions per row in %d "
          "alternating blocks; ms per submission at the client; delack = acknowledgements "
          "sent by the kernel's delayed-ACK timer meanwhile (whole machine); sess = the "
          "SMTP session as aiosmtpd saw it" % (max(1, n // rounds) * rounds, rounds))
    with tempfile.TemporaryDirectory(prefix="quillon-figures-load-") as work:
        runner = load.Load(work, servers)
        try:
            tallies = {}
            for _ in range(rounds):
                for server in servers:
                    for c in levels:
                        for label, binary in builds:
                            path = runner.site(label, binary, server, "EHLO")
                            tallies.setdefault((label, server, c), load.Tally()).add(
                                *runner.block(path, server, c, max(1, n // rounds), 600))
        finally:
            runner.stop()
    print(load.HEADER)
    for server in servers:
        for c in levels:
            for label, _ in builds:
                print(load.format_row("%s %s c=%d" % (label, server, c),
                                      tallies[(label, server, c)].row()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", action="append", help="[LABEL=]PATH (default build/quillon)")
    parser.add_argument("--runs", type=int, default=1000,
                        help="runs per process row (0: leave them out)")
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--load-n", type=int, default=2000, help="submissions per load row")
    parser.add_argument("--load-rounds", type=int, default=10)
    parser.add_argument("--levels", default="1,8,32", help="concurrent clients of the load rows")
    parser.add_argument("--servers", default="sink,aiosmtpd")
    parser.add_argument("--scaling-runs", type=int, default=200,
                        help="runs per case of the per-input rows (0: leave them out)")
    parser.add_argument("--rate-entries", type=int, default=10000,
                        help="entries the rate state is filled with first")
    args = parser.parse_args()
    builds = load.parse_bins(args.bin)
    for label, binary in builds:
        print("%s: %s (%d bytes)" % (label, os.path.relpath(binary, load.REPO),
                                     os.path.getsize(binary)))
    print("machine: %d cores, %s" % (os.cpu_count(), uptime()))
    with tempfile.TemporaryDirectory(prefix="quillon-figures-") as work:
        bench = Bench(work, max(1, args.runs))
        if args.runs > 0:
            process_rows(bench, builds, args.runs, args.rounds)
        if args.scaling_runs > 0:
            scaling.scaling_rows(bench, builds, args.scaling_runs, min(10, args.scaling_runs),
                                 args.rate_entries)
    if args.load_n > 0:
        load_rows(builds, args.load_n, [int(c) for c in args.levels.split(",")],
                  args.servers.split(","), min(args.load_rounds, args.load_n))
    print("\nmachine at the end: %s" % uptime())
    return 0


if __name__ == "__main__":
    sys.exit(main())
