#!/usr/bin/python3
"""What the shared state in PostgreSQL adds to a run, side by side in one
run: the typical form with the usual guards and `rate_limit` kept in the
local state file, then in a PostgreSQL 15 started here (as tests/deploy's
farm suite starts it, as root) over its local socket (trust), over TCP
with a SCRAM password, and over TCP with SCRAM and TLS.

    sudo bench/shared_state_bench.py [--quillon build/quillon] [--runs 100]

The whole-run rows use bench/whole_run.py's launcher and SMTP responder,
in alternating rounds so that a change of the machine's load falls on
every row; every run must deliver its message. The set-up rows are
`-check`'s own figures for the same addresses: the connection (socket,
handshake, authentication, a new server process) and one round trip."""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "deploy"))
sys.path.insert(0, HERE)
import test_farm  # noqa: E402
import whole_run  # noqa: E402

ROUNDS = 5


def check_figures(program, cwd, times):
    """Medians of -check's connection and round-trip times in ms."""
    connect, trip = [], []
    for _ in range(times):
        out = subprocess.run([program, "-check"], capture_output=True, text=True, cwd=cwd).stdout
        found = re.search(r"shared_state: connected in (\d+) ms, a round trip takes (\d+) ms", out)
        if not found:
            sys.exit("-check did not connect:\n" + out)
        connect.append(int(found.group(1)))
        trip.append(int(found.group(2)))
    return statistics.median(connect), statistics.median(trip)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quillon", default=os.path.join(REPO, "build", "quillon"))
    parser.add_argument("--runs", type=int, default=100)
    args = parser.parse_args()
    test_farm.setUpModule()
    if test_farm.pg is None:
        sys.exit("PostgreSQL 15 (initdb) or openssl is missing")
    pg = test_farm.pg
    try:
        with tempfile.TemporaryDirectory() as work:
            password = os.path.join(work, "db-password")
            with open(password, "w") as f:
                f.write(test_farm.PASSWORD + "\n")
            tcp = "postgresql://quillon@127.0.0.1:%d/forms" % pg["port"]
            addresses = {
                "socket": "shared_state postgresql://quillon@/forms?host=%s&port=%d"
                          % (pg["sock"], pg["port"]),
                "scram": "shared_state %s?sslmode=disable\ndatabase_password_file %s"
                         % (tcp, password),
                "scram+tls": "shared_state %s?sslmode=verify-full&sslrootcert=%s\n"
                             "database_password_file %s" % (tcp, pg["ca"], password),
            }
            bench = whole_run.Bench(work, max(1, args.runs // ROUNDS))
            guards = whole_run.GUARD_LINES + ["rate_limit 10000/1"]
            sites = {"file": whole_run.site(work, "file", os.path.abspath(args.quillon),
                                            whole_run.typical_settings(
                                                bench.responder.port, "errors", guards))}
            for name, lines in addresses.items():
                sites[name] = whole_run.site(work, name, os.path.abspath(args.quillon),
                                             whole_run.typical_settings(
                                                 bench.responder.port, "errors",
                                                 guards + lines.split("\n")))
            env = dict(whole_run.GUARD_ENV)
            env["REQUEST_METHOD"] = "POST"
            walls = {name: [] for name in sites}
            for name, (program, cwd) in sites.items():  # warm-up
                bench.measure([program], whole_run.TYPICAL_FORM, env=env, cwd=cwd)
            for _ in range(ROUNDS):
                for name, (program, cwd) in sites.items():
                    rows = bench.measure([program], whole_run.TYPICAL_FORM, env=env, cwd=cwd)
                    walls[name] += [r[0] / 1e6 for r in rows]
            print("whole CGI runs, typical form and guards, rate_limit, %d runs each"
                  % len(walls["file"]))
            base = statistics.median(walls["file"])
            for name, times in walls.items():
                median = statistics.median(times)
                print("%-10s median %7.2f ms   p90 %7.2f ms   added %+6.2f ms"
                      % (name, median, statistics.quantiles(times, n=10)[-1], median - base))
            print("connection set-up and one round trip (-check, median of 20)")
            for name in addresses:
                program, cwd = sites[name]
                connect, trip = check_figures(program, cwd, 20)
                print("%-10s connect %4d ms   round trip %3d ms" % (name, connect, trip))
            if bench.tls_files:
                bench.tls_files.cleanup()
    finally:
        test_farm.tearDownModule()
    load = os.getloadavg()
    print("load average %.2f %.2f %.2f on %d cores" % (load + (os.cpu_count(),)))


if __name__ == "__main__":
    main()
