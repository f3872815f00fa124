#!/usr/bin/python3
"""What a webhook adds to a CGI run: whole runs that deliver one message to
a local scripted SMTP server, without a webhook, with one to a plain http
receiver on loopback (webhook_allow_http), and with one over TLS to a
receiver holding a certificate of the tests' own CA (webhook_ca_file).

    bench/webhook_bench.py [--bin build/quillon] [--runs 200]

Prints figures only; every run must reach the receiver or the benchmark
stops."""

import argparse
import http.server
import os
import resource
import shutil
import statistics
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "cli"))
sys.path.insert(0, HERE)

import tls_fixture  # noqa: E402
from scripted_smtp import ScriptedSMTP  # noqa: E402
from spool_bench import run_once, settings  # noqa: E402


class Receiver:
    def __init__(self, tls):
        self.count = 0
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length", 0)))
                outer.count += 1
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls is not None:
            self.server.socket = tls.server_context().wrap_socket(self.server.socket,
                                                                  server_side=True)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def timed(binary, port, extra, runs, receiver=None):
    root = tempfile.mkdtemp(prefix="quillon-webhook-bench-")
    try:
        program = os.path.join(root, "quillon")
        os.symlink(os.path.abspath(binary), program)
        with open(os.path.join(root, "quillon.ini"), "w") as f:
            f.write(settings(port, extra))
        times, cpu = [], []
        for _ in range(runs):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            times.append(run_once(program))
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu.append((after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
                       * 1000)
        if receiver is not None and receiver.count < runs:
            sys.exit("the receiver got %d of %d requests" % (receiver.count, runs))
        return sorted(times), statistics.median(cpu)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(REPO, "build", "quillon"))
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    tls = tls_fixture.TlsFiles()
    plain = Receiver(None)
    secure = Receiver(tls)
    cases = [
        ("no webhook", "", None),
        ("one webhook, http on loopback",
         "webhook http://127.0.0.1:%d/in\nwebhook_allow_http true\n" % plain.port, plain),
        ("one webhook, https on loopback",
         "webhook https://localhost:%d/in\nwebhook_ca_file %s\n" % (secure.port, tls.ca),
         secure),
    ]
    print("%d runs each of %s\n" % (args.runs, args.bin))
    # Wall times follow the machine's load; the CPU time of the run itself
    # (user + system) does much less.
    print("%-34s %9s %9s %9s %10s %7s %10s" % ("", "median ms", "p90 ms", "min ms", "added",
                                              "CPU ms", "CPU added"))
    baseline = None
    cpu_baseline = None
    try:
        with ScriptedSMTP() as server:
            for label, extra, receiver in cases:
                times, cpu = timed(args.bin, server.port, extra, args.runs, receiver)
                median = statistics.median(times)
                p90 = times[int(len(times) * 0.9) - 1]
                added = "" if baseline is None else "%+.2f ms" % (median - baseline)
                cpu_added = "" if cpu_baseline is None else "%+.2f ms" % (cpu - cpu_baseline)
                baseline = median if baseline is None else baseline
                cpu_baseline = cpu if cpu_baseline is None else cpu_baseline
                print("%-34s %9.2f %9.2f %9.2f %10s %7.2f %10s"
                      % (label, median, p90, times[0], added, cpu, cpu_added))
    finally:
        tls.cleanup()


if __name__ == "__main__":
    main()
