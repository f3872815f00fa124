#!/usr/bin/python3
"""What one CAPTCHA verification adds to a run, against the local
verification service (tests/cli/captcha_server.py, HTTPS on 127.0.0.1).

    bench/captcha_bench.py [--probe build/captcha_probe] [--quillon build/quillon] [--runs 200]

Each row starts the probe program once per verification, as a CGI run
would: "no call" is the probe with an empty token (no connection), "verify"
a whole verification (TLS library loaded, connect, handshake, POST, answer).
"server" is the service's own time per request, from the request read to
the answer written; "connection" its time per connection, handshake to
close, which includes its waits for the client. The added time is verify -
no call - server (goal: under 10 ms). Every verification must pass; one that does not stops the
benchmark, since its time would mean nothing.

The whole-run rows run the built program as a CGI with the typical form
(bench/whole_run.py's settings and SMTP responder, logging errors): with
`captcha turnstile` against the local service and its token in the form,
and the same run without `captcha`, in alternating rounds so that a change
of the machine's load falls on both. The added time is with - without -
server, against the same goal. Every run must deliver its message."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "cli"))

from captcha_server import CaptchaServer  # noqa: E402
sys.path.insert(0, HERE)
import whole_run  # noqa: E402

ROUNDS = 5


def timed_runs(cmd, runs, expect):
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        done = subprocess.run(cmd, capture_output=True, text=True)
        times.append((time.perf_counter() - began) * 1000)
        if not done.stdout.startswith(expect):
            sys.exit("unexpected outcome: %r %r" % (done.stdout, done.stderr))
    return times


def row(name, times):
    q = statistics.quantiles(times, n=10)
    print("%-10s median %7.2f ms   p90 %7.2f ms" % (name, statistics.median(times), q[-1]))


def whole_runs(quillon, runs, server, secret, work):
    """(with captcha, without, server) times in ms of `runs` runs each."""
    bench = whole_run.Bench(work, max(1, runs // ROUNDS))
    port = bench.responder.port
    plain = whole_run.typical_settings(port, "errors")
    checked = whole_run.typical_settings(port, "errors", [
        "captcha turnstile", "captcha_secret_file " + secret, "captcha_ca_file " + server.ca,
        "captcha_verify_url " + server.url("turnstile")])
    without, cwd_without = whole_run.site(work, "without", quillon, plain)
    with_captcha, cwd_with = whole_run.site(work, "with", quillon, checked)
    body = whole_run.TYPICAL_FORM + "&cf-turnstile-response=bench-token"
    env = {"REMOTE_ADDR": "127.0.0.1", "REQUEST_METHOD": "POST"}
    bench.measure([with_captcha], body, env=env, cwd=cwd_with)  # warm-up
    server.handling_ms.clear()
    rows_with, rows_without = [], []
    for _ in range(ROUNDS):
        rows_with += bench.measure([with_captcha], body, env=env, cwd=cwd_with)
        rows_without += bench.measure([without], body, env=env, cwd=cwd_without)
    if bench.tls_files:
        bench.tls_files.cleanup()
    return ([r[0] / 1e6 for r in rows_with], [r[0] / 1e6 for r in rows_without],
            list(server.handling_ms))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", default=os.path.join(REPO, "build", "captcha_probe"))
    parser.add_argument("--quillon", default=os.path.join(REPO, "build", "quillon"))
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    with CaptchaServer() as server, tempfile.TemporaryDirectory() as work:
        secret = os.path.join(work, "secret")
        with open(secret, "w") as f:
            f.write("bench-secret\n")
        base = [args.probe, "url=" + server.url("turnstile"), "ca_file=" + server.ca,
                "secret_file=" + secret, "remote=127.0.0.1"]
        timed_runs(base + ["token=warm-up"], 5, "passed")
        server.handling_ms.clear()
        server.connection_ms.clear()
        no_call = timed_runs(base + ["token="], args.runs, "refused")
        verify = timed_runs(base + ["token=bench-token"], args.runs, "passed")
        served = list(server.handling_ms)
        connections = list(server.connection_ms)
        run_with, run_without, run_served = whole_runs(
            os.path.abspath(args.quillon), args.runs, server, secret, work)
    print("%d runs each, probe %s" % (args.runs, args.probe))
    row("no call", no_call)
    row("verify", verify)
    row("server", served)
    row("connection", connections)
    added = statistics.median(verify) - statistics.median(no_call) - statistics.median(served)
    print("added per verification beyond the server's own time: %.2f ms (goal: under 10 ms)"
          % added)
    print("whole CGI runs, typical form, logging errors, %d runs each, %s"
          % (len(run_with), os.path.relpath(os.path.abspath(args.quillon), REPO)))
    row("without", run_without)
    row("captcha", run_with)
    row("server", run_served)
    added = (statistics.median(run_with) - statistics.median(run_without)
             - statistics.median(run_served))
    print("added per run with captcha beyond the server's own time: %.2f ms (goal: under 10 ms)"
          % added)
    load = os.getloadavg()
    print("load average %.2f %.2f %.2f on %d cores" % (load + (os.cpu_count(),)))


if __name__ == "__main__":
    main()
