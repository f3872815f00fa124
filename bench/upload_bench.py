#!/usr/bin/python3
"""Peak memory and time of a CGI run that mails one uploaded file, for
files of 0.1, 1, 5 and 19 MB, over plain SMTP to a local sink server;
with several builds, side by side.

    bench/upload_bench.py [--bin build/quillon] [--bin old=/tmp/old/quillon]
                          [--runs 3] [--spool]

Each run is started by /usr/bin/time (a small process, so its peak is the
run's own: a child's peak counts its parent's from before the exec) with
the body read from a file. Prints one row per build and size: the peak RSS
in KiB and the median wall time. With --spool the server is down and the
message goes to the spool instead."""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SIZES_MB = [0.1, 1, 5, 19]


class Sink:
    """An SMTP server that takes every message and keeps nothing."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            conn, _ = self.listener.accept()
            threading.Thread(target=self.session, args=(conn,), daemon=True).start()

    def session(self, conn):
        reader = conn.makefile("rb")
        conn.sendall(b"220 sink\r\n")
        in_data = False
        for line in reader:
            if in_data:
                if line in (b".\r\n", b".\n"):
                    in_data = False
                    conn.sendall(b"250 ok\r\n")
                continue
            verb = line[:4].upper()
            if verb == b"DATA":
                in_data = True
                conn.sendall(b"354 go\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                break
            else:
                conn.sendall(b"250 ok\r\n")
        conn.close()


def body_file(folder, size):
    path = os.path.join(folder, "body-%d" % size)
    with open(path, "wb") as out:
        out.write(b'--XyZ\r\nContent-Disposition: form-data; name="Name:"\r\n\r\nJoe\r\n'
                  b'--XyZ\r\nContent-Disposition: form-data; name="upload"; '
                  b'filename="scan.pdf"\r\nContent-Type: application/pdf\r\n\r\n')
        left = size
        while left > 0:
            chunk = min(left, 1 << 20)
            out.write(os.urandom(chunk))
            left -= chunk
        out.write(b"\r\n--XyZ--\r\n")
    return path


def settings(folder, port, spool):
    lines = ["smtp 127.0.0.1:%d" % port, "logging errors", "email_CR=LFCR",
             "attachments_max_kb 20480",
             'headerline To: "Site" <owner@example.com>',
             'headerline From: "Form" <form@example.com>',
             "headerline Subject: Form Submission Data",
             "use_submitted_variable_for_bodycontent Name:"]
    if spool:
        lines.append("spool_folder spool")
    with open(os.path.join(folder, "quillon.ini"), "w") as out:
        out.write("\n".join(lines) + "\n")


def one_run(program, folder, body):
    # The settings file is found beside the program.
    link = os.path.join(folder, "quillon")
    os.symlink(program, link)
    env = {"PATH": "/usr/bin:/bin", "REQUEST_METHOD": "POST",
           "CONTENT_TYPE": "multipart/form-data; boundary=XyZ",
           "CONTENT_LENGTH": str(os.path.getsize(body)), "HTTP_ACCEPT": "application/json",
           "TMPDIR": folder}
    with open(body, "rb") as stdin:
        done = subprocess.run(["/usr/bin/time", "-f", "peak %M elapsed %e", link],
                              cwd=folder, env=env, stdin=stdin, capture_output=True)
    said = done.stderr.decode(errors="replace").splitlines()
    peak = [line.split() for line in said if line.startswith("peak ")]
    if not peak or b'"ok": true' not in done.stdout:
        sys.exit("a run failed: %s %s" % (done.stdout[:300], said[-3:]))
    return int(peak[0][1]), float(peak[0][3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", action="append", default=[])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--spool", action="store_true")
    args = parser.parse_args()
    builds = [b.split("=", 1) if "=" in b else [b, b] for b in args.bin or ["build/quillon"]]
    folder = tempfile.mkdtemp(prefix="upload-bench-")
    try:
        sink = Sink()
        down = socket.socket()
        down.bind(("127.0.0.1", 0))
        port = down.getsockname()[1] if args.spool else sink.port
        bodies = {mb: body_file(folder, int(mb * 1024 * 1024)) for mb in SIZES_MB}
        print("%-20s %8s %12s %10s" % ("build", "file MB", "peak KiB", "time s"))
        for name, program in builds:
            program = os.path.abspath(program)
            for mb in SIZES_MB:
                peaks, times = [], []
                for _ in range(args.runs):
                    run_folder = tempfile.mkdtemp(dir=folder)
                    settings(run_folder, port, args.spool)
                    peak, elapsed = one_run(program, run_folder, bodies[mb])
                    peaks.append(peak)
                    times.append(elapsed)
                    shutil.rmtree(run_folder)
                print("%-20s %8s %12d %10.2f" % (name, mb, max(peaks), statistics.median(times)))
        down.close()
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
