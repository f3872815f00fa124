#!/usr/bin/python3
"""What the archive costs: the typical run with and without `archive`
(wall time, CPU and peak RSS, median of many runs, side by side), and
`-archive export csv` of 100,000 records (time and peak RSS, against
10,000 records: the memory must not grow with the number of records).

    bench/archive_bench.py [--bin PATH] [--runs 200] [--records 100000]

Reuses whole_run.py's launcher and SMTP responder."""

import argparse
import os
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import whole_run  # noqa: E402


def fill(database, records):
    """`records` copies of the one row the program wrote, with new ids."""
    with sqlite3.connect(database) as db:
        columns = [r[1] for r in db.execute("PRAGMA table_info(submissions)") if r[1] != "seq"]
        row = db.execute("SELECT %s FROM submissions" % ", ".join(columns)).fetchone()
        at = columns.index("id")
        db.executemany("INSERT INTO submissions (%s) VALUES (%s)"
                       % (", ".join(columns), ", ".join("?" * len(columns))),
                       (row[:at] + ("bench-%d" % i,) + row[at + 1:]
                        for i in range(records - 1)))


def export_figures(bench, program, directory, records):
    fill(os.path.join(directory, "db", "archive.sqlite"), records)
    out = subprocess.run([bench.launcher, "1", "/dev/null", program, "-archive", "export", "csv"],
                         cwd=directory, capture_output=True, check=True).stdout
    wall_ns, _, _, rss, status = list(map(int, out.split()))[:5]
    if status != 0:
        sys.exit("export failed")
    return wall_ns / 1e9, rss


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.join(whole_run.REPO, "build", "quillon"))
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--records", type=int, default=100000)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quillon-archive-bench-")
    bench = whole_run.Bench(work, args.runs)
    port = bench.responder.port
    env = {"REQUEST_METHOD": "POST", "REMOTE_ADDR": "192.0.2.1"}
    print("%-44s %8s %8s %s %8s %8s %8s" % ("run (ms, KiB)", "wall", "wall90", "     ",
                                            "cpu", "rss", "rss_max"))
    rows = {}
    for label, extra in (("typical form, no archive", []),
                         ("typical form, archive (SQLite, local disk)",
                          ["archive db/archive.sqlite"])):
        name = "archive" if extra else "plain"
        program, directory = whole_run.site(work, name, os.path.abspath(args.bin),
                                            whole_run.typical_settings(port, "errors", extra))
        os.makedirs(os.path.join(directory, "db"), mode=0o700, exist_ok=True)
        rows[name] = whole_run.summary(bench.measure([program], whole_run.TYPICAL_FORM, env=env,
                                                     cwd=directory))
        whole_run.print_row(label, rows[name])
    print("archive adds %.3f ms wall (median) and %d KiB peak RSS"
          % (rows["archive"]["wall"] - rows["plain"]["wall"],
             rows["archive"]["rss"] - rows["plain"]["rss"]))
    program, directory = os.path.join(work, "archive", "quillon"), os.path.join(work, "archive")
    for count in (args.records // 10, args.records):
        with sqlite3.connect(os.path.join(directory, "db", "archive.sqlite")) as db:
            db.execute("DELETE FROM submissions WHERE seq > 1")
        started = time.monotonic()
        seconds, rss = export_figures(bench, program, directory, count)
        print("export csv of %7d records: %6.2f s, peak RSS %d KiB (filling took %.1f s)"
              % (count, seconds, rss, time.monotonic() - started - seconds))


if __name__ == "__main__":
    main()
