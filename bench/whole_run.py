#!/usr/bin/python3
"""Whole-process cost of one CGI run: wall time, user+sys CPU and peak RSS,
the median (and 90th percentile) of many runs, against a fast local SMTP
responder. Compared in the same run with the floor (bench/floor_client.c,
the same SMTP exchange and nothing else) and with the program's start-up
alone ("-version"). Further rows: a 1000-line settings file, the largest
form body (100000 bytes in 1000 pairs), the typical form with every
abuse guard on (the rate limit's state file growing by one entry a run),
the typical form submitted over STARTTLS with AUTH PLAIN (certificates
of a test CA made with the openssl command), next to the same form in
plain text, and a multipart post with a 1 MB file attached.

    bench/whole_run.py [--bin [LABEL=]PATH ...] [--runs 200]

Give --bin several times to compare builds (e.g. linking variants). Prints
figures only; a run that does not deliver its message stops the benchmark,
since its time would mean nothing.

Children are started by a small C launcher compiled here: the peak RSS the
kernel reports for a child includes its parent's at the time of the fork,
so Python cannot start them itself."""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "cli"))
import tls_fixture  # noqa: E402

LAUNCHER = r"""
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char **environ;
/* launcher RUNS STDIN_FILE PROGRAM ARGS...: one line per run:
   wall_ns user_us sys_us maxrss_kib exit_status minor_faults */
int main(int argc, char **argv) {
  int runs = atoi(argv[1]);
  for (int i = 0; i < runs; ++i) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, argv[2], O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    if (posix_spawn(&pid, argv[3], &actions, NULL, argv + 3, environ) != 0) return 1;
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);
    long long wall = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    printf("%lld %ld %ld %ld %d %ld\n", wall,
           usage.ru_utime.tv_sec * 1000000L + usage.ru_utime.tv_usec,
           usage.ru_stime.tv_sec * 1000000L + usage.ru_stime.tv_usec,
           usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
           usage.ru_minflt);
  }
  return 0;
}
"""

GREETING = b"220 bench.test ESMTP\r\n"
REPLIES = {b"EHLO": b"250-bench.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n",
           b"HELO": b"250 bench.test\r\n", b"MAIL": b"250 2.1.0 ok\r\n",
           b"RCPT": b"250 2.1.5 ok\r\n", b"DATA": b"354 go ahead\r\n",
           b"QUIT": b"221 2.0.0 bye\r\n"}
END_OF_DATA = b"\r\n.\r\n"


TLS_EHLO = b"250-bench.test\r\n250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n"


class Responder:
    """A minimal SMTP server on 127.0.0.1, one connection at a time, that
    answers at once and keeps the last message's content. With `tls` (a
    server-side ssl.SSLContext) it offers STARTTLS and takes any AUTH."""

    def __init__(self, tls=None):
        self.tls = tls
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.messages = 0
        self.last_content = b""
        self.last_session = b""  # every byte the last connection sent
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            conn, _ = self.listener.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.conn = conn
            self.received = b""
            try:
                self.session(conn)
            except OSError:
                pass
            self.conn.close()
            self.last_session = self.received

    def session(self, conn):
        conn_plain = conn
        conn.sendall(GREETING)
        buf = b""
        while True:
            while b"\n" not in buf:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                self.received += chunk
                buf += chunk
            line, _, buf = buf.partition(b"\n")
            verb = line.split(b" ", 1)[0].strip().upper()
            if self.tls is not None and verb in (b"EHLO", b"STARTTLS", b"AUTH"):
                if verb == b"EHLO":
                    conn.sendall(TLS_EHLO)
                elif verb == b"AUTH":
                    conn.sendall(b"235 2.7.0 ok\r\n")
                else:
                    conn.sendall(b"220 2.0.0 go ahead\r\n")
                    conn = self.conn = self.tls.wrap_socket(conn, server_side=True)
                continue
            conn.sendall(REPLIES.get(verb, b"500 what\r\n"))
            if verb == b"MAIL" and self.tls is not None and self.conn is conn_plain:
                return  # no mail in plain text here
            if verb == b"DATA":
                while END_OF_DATA not in buf:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    self.received += chunk
                    buf += chunk
                end = buf.index(END_OF_DATA) + len(END_OF_DATA)
                self.last_content, buf = buf[:end], buf[end:]
                self.messages += 1
                conn.sendall(b"250 2.0.0 queued\r\n")
            elif verb == b"QUIT":
                return


def typical_settings(port, logging, extra_lines=()):
    lines = ["smtp 127.0.0.1:%d" % port, "logging " + logging, "email_CR=LFCR",
             "success_html_page success.html", "failure_html_page failure.html",
             "headerline To: \"Site\" <owner@example.com>",
             "headerline From: \"Form\" <form@example.com>",
             "headerline Subject: Form Submission Data",
             "bodycontent_line Here are the details that they submitted:",
             "use_submitted_variable_for_bodycontent Name:",
             "use_submitted_variable_for_bodycontent Email:",
             "use_submitted_variable_for_bodycontent Message:"]
    return "\n".join(lines + list(extra_lines)) + "\n"


def thousand_line_settings(port):
    # Comment lines, static body lines and variable lines mixed, 1000 in all.
    return plus_lines(port, 1000 - 12)


def plus_lines(port, count):
    """The typical settings and `count` more lines: comments, static body
    lines and variable body lines in turn."""
    extra = []
    for i in range(count):
        kind = i % 3
        if kind == 0:
            extra.append("This line is a comment about the form, number %d." % i)
        elif kind == 1:
            extra.append("bodycontent_line Section %d of the form" % i)
        else:
            extra.append("use_submitted_variable_for_bodycontent Field%d:" % i)
    return typical_settings(port, "errors", extra)


GUARD_LINES = ["honeypot_variable website", "required_variable Name:",
               "allowed_origin www.example.com", "allowed_recipient owner@example.com",
               "rate_limit 10000/10"]
GUARD_ENV = {"HTTP_ORIGIN": "https://www.example.com", "REMOTE_ADDR": "192.0.2.1"}

TYPICAL_FORM = ("Name%3A=Joe+Bloggs&Email%3A=joe%40example.org&Message%3A=Hello%2C+"
                "I+would+like+to+know+more+about+your+sailing+courses.%0D%0A"
                "Please+call+me+back.")


def upload_form(size=1024 * 1024):
    """A multipart body as a browser sends it: two text fields and a file
    of `size` bytes (every byte value), and its CONTENT_TYPE."""
    b = b"----WebKitFormBoundaryq1w2e3r4t5y6u7i8"
    data = bytes(range(256)) * (size // 256)
    body = (b"--" + b + b'\r\nContent-Disposition: form-data; name="Name:"\r\n\r\nJoe Bloggs\r\n'
            b"--" + b + b'\r\nContent-Disposition: form-data; name="Email:"\r\n\r\n'
            b"joe@example.org\r\n--" + b + b'\r\nContent-Disposition: form-data; name="cv"; '
            b'filename="cv.pdf"\r\nContent-Type: application/pdf\r\n\r\n' + data +
            b"\r\n--" + b + b"--\r\n")
    return "multipart/form-data; boundary=" + b.decode(), body


def largest_form():
    pairs = []
    for i in range(1000):
        pairs.append("Field%d%%3A=" % i + "v" * 92)
    body = "&".join(pairs)
    return body[:100000]


class Bench:
    def __init__(self, work, runs):
        self.work = work
        self.runs = runs
        self.responder = Responder()
        self.tls_files = tls_fixture.TlsFiles() if tls_fixture.available() else None
        self.tls_responder = (Responder(self.tls_files.server_context())
                              if self.tls_files else None)
        self.launcher = self.compile(LAUNCHER, "launcher")
        with open(os.path.join(HERE, "floor_client.c")) as f:
            self.floor = self.compile(f.read(), "floor_client")

    def compile(self, source, name, flags=()):
        src = os.path.join(self.work, name + ".c")
        with open(src, "w") as f:
            f.write(source)
        out = os.path.join(self.work, name)
        subprocess.run(["cc", "-O2"] + list(flags) + ["-o", out, src], check=True)
        return out

    def measure(self, argv, body, env=None, cwd=None, delivers=True, responder=None):
        responder = responder or self.responder
        body_file = os.path.join(self.work, "body")
        with open(body_file, "wb") as f:
            f.write(body if isinstance(body, bytes) else body.encode())
        full_env = {"PATH": "/usr/bin:/bin", "TZ": "UTC", "CONTENT_LENGTH": str(len(body))}
        full_env.update(env or {})
        before = responder.messages
        out = subprocess.run([self.launcher, str(self.runs), body_file] + argv,
                             env=full_env, cwd=cwd, capture_output=True, check=True).stdout
        rows = [list(map(int, line.split())) for line in out.decode().splitlines()]
        failed = sum(1 for row in rows if row[4] != 0)
        sent = responder.messages - before
        if len(rows) != self.runs or failed or (delivers and sent != self.runs):
            sys.exit("%s: %d runs, %d failed, %d messages delivered: figures void"
                     % (" ".join(argv), len(rows), failed, sent))
        return rows


def site(work, name, binary, settings, pages=True):
    """A directory with the program (copied) and its settings file."""
    directory = os.path.join(work, name)
    os.makedirs(directory, exist_ok=True)
    program = os.path.join(directory, "quillon")
    subprocess.run(["cp", binary, program], check=True)
    with open(os.path.join(directory, "quillon.ini"), "w") as f:
        f.write(settings)
    if pages:
        with open(os.path.join(directory, "success.html"), "w") as f:
            f.write("<html><body>Thank you, ||Name:||.</body></html>\n")
        with open(os.path.join(directory, "failure.html"), "w") as f:
            f.write("<html><body>Sorry.</body></html>\n")
    return program, directory


def summary(rows):
    walls = sorted(r[0] / 1e6 for r in rows)
    cpu = sorted((r[1] + r[2]) / 1e3 for r in rows)
    rss = sorted(r[3] for r in rows)
    return {"wall": statistics.median(walls), "wall90": walls[int(0.9 * (len(walls) - 1))],
            "cpu": statistics.median(cpu), "rss": statistics.median(rss), "rss_max": rss[-1]}


def print_row(label, s, floor_wall=None):
    ratio = "%5.2fx" % (s["wall"] / floor_wall) if floor_wall else "     "
    print("%-44s %8.3f %8.3f %s %8.3f %8d %8d" % (label, s["wall"], s["wall90"], ratio,
                                                  s["cpu"], s["rss"], s["rss_max"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", action="append",
                        help="[LABEL=]PATH of a build (default build/quillon)")
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--bench-form", help="bench_form to run as well "
                        "(default: the one beside the first build, if any)")
    args = parser.parse_args()
    builds = []
    for choice in args.bin or [os.path.join(REPO, "build", "quillon")]:
        label, _, path = choice.rpartition("=")
        builds.append((label or os.path.relpath(path, REPO), os.path.abspath(path)))

    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as work:
        bench = Bench(work, args.runs)
        port = bench.responder.port
        print("%d runs each; times in ms (median, 90th percentile), CPU = user+sys ms "
              "(median), peak RSS in KiB (median, max)" % args.runs)
        print("%-44s %8s %8s %6s %8s %8s %8s" % ("case", "wall", "wall90", "/floor",
                                                 "cpu", "rss", "rss_max"))

        # The floor sends exactly what the gateway sends for the typical form.
        program, cwd = site(work, "probe", builds[0][1], typical_settings(port, "errors"))
        bench.measure([program], TYPICAL_FORM, cwd=cwd)
        content = os.path.join(work, "content")
        with open(content, "wb") as f:
            f.write(bench.responder.last_content)
        floor = summary(bench.measure(
            [bench.floor, "EHLO", str(port), "form@example.com", "owner@example.com", content],
            TYPICAL_FORM))
        print_row("floor (floor_client.c, cc -O2)", floor)

        for index, (label, binary) in enumerate(builds):
            cases = [
                ("start-up alone (-version)", "version", None, None, False),
                ("typical form, logging errors", "errors",
                 typical_settings(port, "errors"), TYPICAL_FORM, True),
                ("typical form, logging debug", "debug",
                 typical_settings(port, "debug"), TYPICAL_FORM, True),
                ("1000-line settings file, logging errors", "thousand",
                 thousand_line_settings(port), TYPICAL_FORM, True),
                ("100000-byte body, 1000 pairs, logging errors", "largest",
                 typical_settings(port, "errors", ["sendall true"]), largest_form(), True),
                ("typical form, every guard on, logging errors", "guards",
                 typical_settings(port, "errors", GUARD_LINES), TYPICAL_FORM, True, GUARD_ENV),
            ]
            print("-- %s (%d bytes)" % (label, os.path.getsize(binary)))
            for name, tag, settings, body, delivers, *env in cases:
                program, cwd = site(work, "%s-%d" % (tag, index), binary,
                                    settings or "logging errors\n")
                argv = [program, "-version"] if settings is None else [program]
                s = summary(bench.measure(argv, body or "", env=env[0] if env else None,
                                          cwd=cwd, delivers=delivers))
                print_row("  " + name, s, floor["wall"])
            # Builds that know the setting: the typical form over STARTTLS
            # with AUTH, the certificate checked against the test CA.
            with open(binary, "rb") as f:
                knows_tls = b"smtp_security " in f.read()
            if bench.tls_responder is not None and knows_tls:
                settings = typical_settings(bench.tls_responder.port, "errors", [
                    "smtp_security starttls", "smtp_ca_file " + bench.tls_files.ca,
                    "smtp_user form@example.com", "smtp_password secret"])
                program, cwd = site(work, "starttls-%d" % index, binary, settings)
                s = summary(bench.measure([program], TYPICAL_FORM, cwd=cwd,
                                          responder=bench.tls_responder))
                print_row("  typical form, STARTTLS + AUTH PLAIN", s, floor["wall"])
            # Builds that attach files: a 1 MB upload, attached.
            with open(binary, "rb") as f:
                knows_attachments = b"attachments_max_kb " in f.read()
            if knows_attachments:
                content_type, body = upload_form()
                program, cwd = site(work, "upload-%d" % index, binary, typical_settings(
                    port, "errors", ["attachments_max_kb 2048"]))
                s = summary(bench.measure([program], body, cwd=cwd,
                                          env={"CONTENT_TYPE": content_type}))
                print_row("  multipart, 1 MB file attached, errors", s, floor["wall"])

        if bench.tls_files:
            bench.tls_files.cleanup()

    # The form decoder alone, on bodies up to the largest.
    bench_form = args.bench_form or os.path.join(os.path.dirname(builds[0][1]), "bench_form")
    if os.path.exists(bench_form):
        print("-- form decoder (%s)" % os.path.relpath(bench_form, REPO))
        sys.stdout.flush()
        subprocess.run([bench_form], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
