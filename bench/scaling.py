"""The rows of figures.py that follow one input or one feature, each printed
against its goal: the STARTTLS + AUTH run's peak RSS, instructions per body
byte (50 KB against 100 KB) and per settings line, the rate limit's state
file at 10,000 entries, and the spool's flushes, renames and folder
creations.

Instruction counts (callgrind), peak RSS (wait4) and system-call counts
(strace) do not depend on what else the machine runs; the wall-time
columns do, and are only there to be read next to them."""

import os
import random
import re
import statistics
import subprocess
import tempfile

from whole_run import TYPICAL_FORM, plus_lines, site, typical_settings

TLS_GOAL_KIB = 6 * 1024
BODY_GOAL_RATIO = 2.1
SETTINGS_GOAL_PER_LINE = 1000
RATE_GOAL_KIB = 2 * 1024
RATE_GOAL_MS = 0.1
# The flushes durability needs (the message file, then its folder once the
# file is in queue/) and the two renames (into queue/, then into sent/).
SPOOL_GOAL = {"fsync": 2, "rename": 2, "mkdir failed": 0}
RATE_CLIENT, MEASURED_CLIENT = "192.0.2.1", "192.0.2.200"


def instructions(argv, body, cwd, env=None):
    """Instructions of one run under callgrind (None when the run failed)."""
    with tempfile.NamedTemporaryFile(prefix="quillon-callgrind-") as out:
        full_env = {"PATH": "/usr/bin:/bin", "TZ": "UTC", "CONTENT_LENGTH": str(len(body))}
        full_env.update(env or {})
        run = subprocess.run(["valgrind", "--tool=callgrind",
                              "--callgrind-out-file=" + out.name] + argv,
                             input=body.encode(), env=full_env, cwd=cwd, capture_output=True)
        m = re.search(rb"Collected : (\d+)", run.stderr)
        return int(m.group(1)) if run.returncode == 0 and m else None


def fields_body(size, fields=10):
    """A body of `size` bytes in `fields` pairs of equal length."""
    each = size // fields
    pairs = []
    for i in range(fields):
        name = "Field%d%%3A=" % i
        pairs.append(name + "v" * (each - len(name) - (1 if i else 0)))
    body = "&".join(pairs)
    return body + "v" * (size - len(body))


def syscalls(argv, body, cwd):
    """Counts of the spool's calls in one run, by strace: fsync (and
    fdatasync), renames, mkdir, and the mkdir calls that failed."""
    with tempfile.NamedTemporaryFile(prefix="quillon-strace-", mode="r") as out:
        env = {"PATH": "/usr/bin:/bin", "TZ": "UTC", "CONTENT_LENGTH": str(len(body))}
        subprocess.run(["strace", "-f", "-o", out.name, "-e",
                        "trace=fsync,fdatasync,rename,renameat,renameat2,mkdir,mkdirat"]
                       + argv, input=body.encode(), env=env, cwd=cwd,
                       capture_output=True, check=True)
        counts = {"fsync": 0, "rename": 0, "mkdir": 0, "mkdir failed": 0}
        for line in out.read().splitlines():
            m = re.search(r"\b(fsync|fdatasync|rename\w*|mkdir\w*)\(", line)
            if not m:
                continue
            name = m.group(1)
            key = ("fsync" if name.startswith("f") else
                   "rename" if name.startswith("rename") else "mkdir")
            counts[key] += 1
            if key == "mkdir" and re.search(r"= -1 ", line):
                counts["mkdir failed"] += 1
        return counts


class Sites:
    """The cases of one build, each in a folder of its own."""

    def __init__(self, bench, index, binary):
        work, port = bench.work, bench.responder.port
        self.typical = site(work, "s-typical-%d" % index, binary,
                            typical_settings(port, "errors"))
        self.settings = site(work, "s-plus-%d" % index, binary, plus_lines(port, 1000))
        sendall = typical_settings(port, "errors", ["sendall true"])
        self.body = site(work, "s-body-%d" % index, binary, sendall)
        self.rate = site(work, "s-rate-%d" % index, binary,
                         typical_settings(port, "errors", ["rate_limit 10000/600"]))
        spool = os.path.join(work, "s-spool-%d" % index, "spool")
        self.spool = site(work, "s-spool-%d" % index, binary,
                          typical_settings(port, "errors", ["spool_folder " + spool]))
        os.makedirs(spool, exist_ok=True)
        self.tls = None
        if bench.tls_responder is not None:
            self.tls = site(work, "s-tls-%d" % index, binary, typical_settings(
                bench.tls_responder.port, "errors", [
                    "smtp_security starttls", "smtp_ca_file " + bench.tls_files.ca,
                    "smtp_user form@example.com", "smtp_password secret"]))


def fill_rate_state(bench, sites, entries):
    """The program itself fills its state file, one run per entry, so that
    every build measures its own format."""
    runs = bench.runs
    bench.runs = entries
    bench.measure([sites.rate[0]], TYPICAL_FORM, env={"REMOTE_ADDR": RATE_CLIENT},
                  cwd=sites.rate[1])
    bench.runs = runs


def timed_rounds(bench, all_sites, runs, rounds):
    """Wall and peak RSS of the typical form, the rate case, the spool case
    and the TLS case, in alternating rounds; rows per (build, case)."""
    rows = {}
    per_round = max(1, runs // rounds)
    order = random.Random(24)
    cases = []
    for index, sites in enumerate(all_sites):
        cases += [(index, "typical", sites.typical, None, None),
                  (index, "rate", sites.rate, {"REMOTE_ADDR": MEASURED_CLIENT}, None),
                  (index, "spool", sites.spool, None, None)]
        if sites.tls:
            cases.append((index, "tls", sites.tls, None, bench.tls_responder))
    saved = bench.runs
    bench.runs = per_round
    for _ in range(rounds):
        for index, name, (program, cwd), env, responder in order.sample(cases, len(cases)):
            rows.setdefault((index, name), []).extend(
                bench.measure([program], TYPICAL_FORM, env=env, cwd=cwd, responder=responder))
    bench.runs = saved
    return rows


def median(rows, column):
    return statistics.median(r[column] for r in rows)


def verdict(met):
    return "met" if met else "NOT met"


def report_build(label, sites, rows, index, entries):
    def count(program_cwd, body, env=None):
        return instructions([program_cwd[0]], body, program_cwd[1], env)

    print("-- %s" % label)
    typical = count(sites.typical, TYPICAL_FORM)
    if sites.tls:
        tls = rows[(index, "tls")]
        rss, rss_max = median(tls, 3), max(r[3] for r in tls)
        tls_instr = count(sites.tls, TYPICAL_FORM)
        print("  STARTTLS + AUTH: peak RSS %d KiB (max %d), %.2f ms wall, %.2f ms CPU, "
              "%.1f M instructions; goal < %d KiB: %s"
              % (rss, rss_max, median(tls, 0) / 1e6,
                 statistics.median((r[1] + r[2]) / 1e3 for r in tls),
                 (tls_instr or 0) / 1e6, TLS_GOAL_KIB, verdict(rss_max < TLS_GOAL_KIB)))
    small, large = count(sites.body, fields_body(50000)), count(sites.body, fields_body(100000))
    if small and large:
        print("  body 50 KB / 100 KB, 10 fields, sendall: %.2f M / %.2f M instructions "
              "(%.0f / %.0f a byte), ratio %.2f; goal <= %.1f: %s"
              % (small / 1e6, large / 1e6, small / 50000, large / 100000, large / small,
                 BODY_GOAL_RATIO, verdict(large / small <= BODY_GOAL_RATIO)))
    plus = count(sites.settings, TYPICAL_FORM)
    if plus and typical:
        per_line = (plus - typical) / 1000
        print("  settings file +1000 lines: +%.0f K instructions, %.0f a line; goal <= %d: %s"
              % ((plus - typical) / 1e3, per_line, SETTINGS_GOAL_PER_LINE,
                 verdict(per_line <= SETTINGS_GOAL_PER_LINE)))
    rate_env = {"REMOTE_ADDR": MEASURED_CLIENT}
    rate, base = rows[(index, "rate")], rows[(index, "typical")]
    rate_instr = count(sites.rate, TYPICAL_FORM, rate_env)
    added_ms = (median(rate, 0) - median(base, 0)) / 1e6
    rss_max = max(r[3] for r in rate)
    print("  rate_limit, %d entries: peak RSS %d KiB (max %d; typical run %d), +%.0f K "
          "instructions, %+.3f ms wall (load-dependent); goal < %d KiB: %s, <= %.1f ms: %s"
          % (entries, median(rate, 3), rss_max, median(base, 3), ((rate_instr or 0) - (typical or 0)) / 1e3, added_ms,
             RATE_GOAL_KIB, verdict(rss_max < RATE_GOAL_KIB), RATE_GOAL_MS,
             verdict(added_ms <= RATE_GOAL_MS)))
    calls = syscalls([sites.spool[0]], TYPICAL_FORM, sites.spool[1])
    spool = rows[(index, "spool")]
    met = all(calls[k] <= v for k, v in SPOOL_GOAL.items())
    print("  spool on: %d fsync, %d renames, %d mkdir (%d failed), %+.3f ms wall "
          "(load-dependent); goal %s: %s"
          % (calls["fsync"], calls["rename"], calls["mkdir"], calls["mkdir failed"],
             (median(spool, 0) - median(base, 0)) / 1e6,
             ", ".join("%s %d" % kv for kv in SPOOL_GOAL.items()), verdict(met)))


def scaling_rows(bench, builds, runs, rounds, entries):
    all_sites = []
    for index, (label, binary) in enumerate(builds):
        sites = Sites(bench, index, binary)
        # A first spooled run makes the spool's folders, as on a live site.
        bench.measure([sites.spool[0]], TYPICAL_FORM, cwd=sites.spool[1])
        fill_rate_state(bench, sites, entries)
        all_sites.append(sites)
    rows = timed_rounds(bench, all_sites, runs, rounds)
    print("\nper input and feature: instructions of one run (callgrind), peak RSS in KiB "
          "(wait4; median and max of %d runs a case in %d alternating rounds), system calls "
          "of one run (strace); rate state filled with %d entries by the program"
          % (max(1, runs // rounds) * rounds, rounds, entries))
    for index, (label, _) in enumerate(builds):
        report_build(label, all_sites[index], rows, index, entries)
