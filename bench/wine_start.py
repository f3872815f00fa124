#!/usr/bin/python3
"""Start-up cost of the Windows build under Wine: wall time of
"quillon.exe -version" and of one plain CGI run (the typical form, EHLO,
no TLS) against aiosmtpd on 127.0.0.1, medians of many runs with a warm
wineserver.

    bench/wine_start.py [--bin [LABEL=]PATH ...] [--runs 30]

Give --bin several times to compare builds; the rows of the builds take
turns, so a change in the machine's load touches every build alike. Uses
the prefix of tests/wine/run_cli_tests.sh (WINEPREFIX to choose another),
waits for that script's lock on it (a test stage running there would lose
its wineserver to ours), starts its own wineserver and stops it again. Prints figures only; a CGI
run that does not deliver its message stops the benchmark."""

import argparse
import fcntl
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "cli"))
# The harness reads QUILLON_BIN when imported (an .exe: run through Wine);
# each sandbox below copies harness.BIN, set to its build first.
os.environ.setdefault("QUILLON_BIN", "quillon.exe")
import harness  # noqa: E402


def wine_env():
    env = dict(os.environ)
    cache = env.get("XDG_CACHE_HOME") or os.path.join(env.get("HOME", "/tmp"), ".cache")
    env.setdefault("WINEPREFIX", os.path.join(cache, "quillon", "wineprefix"))
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe=d"
    return env


def timed(cmd, cwd, env, stdin=b""):
    started = time.monotonic()
    proc = subprocess.run(cmd, cwd=cwd, env=env, input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return (time.monotonic() - started) * 1000.0, proc


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", action="append", default=[])
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    builds = []
    for item in args.bin or [os.path.join(REPO, "build-windows", "quillon.exe")]:
        label, _, path = item.rpartition("=")
        builds.append((label or path, os.path.abspath(path)))

    env = wine_env()
    wine = os.environ.get("QUILLON_WINE", "wine")
    wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
    os.makedirs(os.path.dirname(env["WINEPREFIX"]), exist_ok=True)
    lock = open(env["WINEPREFIX"] + ".lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    subprocess.run([wineserver, "-p"], env=env, check=True)
    try:
        subprocess.run([wine, "wineboot"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with harness.CaptureSMTP() as smtp:
            boxes = []
            for _, path in builds:
                harness.BIN = path
                box = harness.Sandbox()
                box.write_ini(harness.standard_ini(smtp.port).replace(
                    "logging debug", "logging errors"))
                box.write("success.html", harness.SUCCESS)
                box.write("failure.html", harness.FAILURE)
                boxes.append(box)
            cgi_env = dict(env, CONTENT_LENGTH=str(len(harness.FORM)),
                           REQUEST_METHOD="POST")
            version = [[] for _ in builds]
            cgi = [[] for _ in builds]
            for _ in range(args.runs):
                for i, box in enumerate(boxes):
                    ms, _ = timed([wine, box.program, "-version"], box.dir, env)
                    version[i].append(ms)
                    before = len(smtp.messages)
                    ms, proc = timed([wine, box.program], box.dir, cgi_env,
                                     harness.FORM.encode())
                    if len(smtp.messages) != before + 1:
                        sys.exit("no message delivered by %s: %r" %
                                 (builds[i][0], proc.stdout[:200]))
                    cgi[i].append(ms)
            for box in boxes:
                box.cleanup()
    finally:
        subprocess.run([wineserver, "-k"], env=env)

    print("%-40s %14s %14s" % ("build (%d runs, median ms)" % args.runs,
                               "-version", "plain CGI"))
    for i, (label, _) in enumerate(builds):
        print("%-40s %14.1f %14.1f" % (label, statistics.median(version[i]),
                                       statistics.median(cgi[i])))


if __name__ == "__main__":
    main()
