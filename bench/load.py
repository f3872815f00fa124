#!/usr/bin/python3
"""Submissions through lighttpd under load: COUNT form posts at CONCURRENCY
clients, the program run as lighttpd's CGI and delivering to a loopback SMTP
server (Postfix's smtp-sink, or aiosmtpd), in EHLO and HELO mode. Prints,
per build, server and mode: requests per second, median and 99th percentile
of the time per submission, and how many took 40-70 ms (the time a delayed
acknowledgement costs). With aiosmtpd, the same for the SMTP sessions as
the server saw them (connection to close).

    bench/load.py [--bin [LABEL=]PATH ...] [-n 10000] [-c 8] [--rounds 5]
                  [--server sink,aiosmtpd] [--mode EHLO,HELO]

Builds given together run in alternating blocks (n/rounds submissions each),
so that other work on the machine weighs on all of them alike. Every
submission must come back as the success page naming its token, and every
token must reach the server exactly once; otherwise the figures are void
and the benchmark stops. Everything listens on 127.0.0.1; each block stops
after --seconds even when unfinished."""

import argparse
import asyncio
import glob
import os
import pwd
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"

FORM = ("Name%3A=Joe+Bloggs&Token%3A={token}&Email%3A=joe%40example.org&Message%3A=Hello%2C+"
        "I+would+like+to+know+more+about+your+sailing+courses.%0D%0APlease+call+me+back.")
TOKEN = "tok%07d"
SUCCESS_PAGE = "<html><body>THANKS ||Token:||</body></html>\n"
FAILURE_PAGE = "<html><body>SORRY ||Token:||</body></html>\n"
BAND = (40.0, 70.0)  # ms
WINE_WRAPPER = """#!/bin/sh
export WINEPREFIX='%s' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe=d'
export HOME="$WINEPREFIX"
exec wine '%s'
"""


def settings(smtp_port, mode, logging="errors"):
    lines = ["smtp 127.0.0.1:%d" % smtp_port, "logging " + logging, "email_CR=LFCR",
             "success_html_page success.html", "failure_html_page failure.html",
             "headerline To: \"Site\" <owner@example.com>",
             "headerline From: \"Form\" <form@example.com>",
             "headerline Subject: Form Submission Data",
             "bodycontent_line Here are the details that they submitted:",
             "use_submitted_variable_for_bodycontent Name:",
             "use_submitted_variable_for_bodycontent Token:",
             "use_submitted_variable_for_bodycontent Email:",
             "use_submitted_variable_for_bodycontent Message:"]
    if mode == "HELO":
        lines.append("hello_method HELO")
    return "\n".join(lines) + "\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_greeting(port, proc, what):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            break
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                if s.recv(100).startswith(b"220"):
                    s.sendall(b"QUIT\r\n")
                    return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("%s did not start" % what)


def stop_process(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def delayed_acks():
    """The kernel's count of acknowledgements sent by the delayed-ACK timer
    (all of the machine's sockets; nearly still when nothing else talks)."""
    with open("/proc/net/netstat") as f:
        lines = f.read().split("\n")
    for names, values in zip(lines[::2], lines[1::2]):
        if names.startswith("TcpExt:"):
            return int(values.split()[names.split().index("DelayedACKs")])
    return 0


class TokenReader:
    """The tokens in a growing set of files, read on from where the last
    call stopped (a line is taken only once it is whole)."""

    def __init__(self):
        self.offsets = {}
        self.found = []

    def read(self, paths):
        for path in paths:
            with open(path, "rb") as f:
                f.seek(self.offsets.get(path, 0))
                data = f.read()
            whole = data.rfind(b"\n") + 1
            self.offsets[path] = self.offsets.get(path, 0) + whole
            self.found += re.findall(rb"tok\d{7}", data[:whole])
        return self.found


class Sink:
    """smtp-sink, appending every message to one dump file (its name gets a
    random suffix)."""
    name = "smtp-sink"

    def __init__(self, work):
        self.dir = os.path.join(work, "sink")
        os.makedirs(self.dir)
        os.chmod(work, 0o711)  # it writes as nobody
        os.chmod(self.dir, 0o777)
        self.dump = os.path.join(self.dir, "dump")
        self.reader = TokenReader()
        self.port = free_port()
        self.proc = subprocess.Popen(
            ["/usr/sbin/smtp-sink", "-u", "nobody", "-D", self.dump,
             "127.0.0.1:%d" % self.port, "1024"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_greeting(self.port, self.proc, "smtp-sink")

    def tokens(self):
        return self.reader.read(glob.glob(self.dump + "*"))

    def sessions(self):
        return None

    def stop(self):
        stop_process(self.proc)


def serve_aiosmtpd(directory, port_file):
    """Appends each message's tokens to `tokens` and each session's length
    in microseconds (connection made to connection lost) to `sessions`."""
    from aiosmtpd.smtp import SMTP

    tokens = open(os.path.join(directory, "tokens"), "ab", buffering=0)
    sessions = open(os.path.join(directory, "sessions"), "a", buffering=1)

    class Store:
        async def handle_DATA(self, server, session, envelope):
            found = re.findall(rb"tok\d{7}", envelope.original_content)
            tokens.write(b"".join(t + b"\n" for t in found) or b"none\n")
            return "250 OK"

    class TimedSMTP(SMTP):
        def connection_made(self, transport):
            self._bench_started = time.monotonic()
            super().connection_made(transport)

        def connection_lost(self, error):
            sessions.write("%d\n" % ((time.monotonic() - self._bench_started) * 1e6))
            super().connection_lost(error)

    async def main():
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        loop = asyncio.get_running_loop()
        server = await loop.create_server(lambda: TimedSMTP(Store(), hostname="bench.test"),
                                          sock=sock, backlog=1024)
        stop = loop.create_future()
        loop.add_signal_handler(signal.SIGTERM, lambda: stop.done() or stop.set_result(0))
        with open(port_file + ".part", "w") as f:
            f.write("%d" % sock.getsockname()[1])
        os.rename(port_file + ".part", port_file)
        await stop
        server.close()

    asyncio.run(main())


class Aiosmtpd:
    name = "aiosmtpd"

    def __init__(self, work):
        self.dir = os.path.join(work, "aiosmtpd")
        os.makedirs(self.dir)
        port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen([PYTHON, os.path.abspath(__file__), "--serve-aiosmtpd",
                                      self.dir, port_file], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("aiosmtpd did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())
        self.seen_sessions = 0
        self.reader = TokenReader()
        wait_for_greeting(self.port, self.proc, "aiosmtpd")

    def tokens(self):
        return self.reader.read([os.path.join(self.dir, "tokens")])

    def sessions(self):
        """Session lengths in ms recorded since the last call."""
        path = os.path.join(self.dir, "sessions")
        with open(path) as f:
            lines = f.read().split("\n")[:-1]
        new, self.seen_sessions = lines[self.seen_sessions:], len(lines)
        return [int(x) / 1000.0 for x in new]

    def stop(self):
        stop_process(self.proc)


SERVERS = {"sink": Sink, "aiosmtpd": Aiosmtpd}


# Started as root, lighttpd becomes this user and runs the CGI as it.
WEB_USER = "www-data"


def give_to_web_user(*paths):
    """Hands files to the user lighttpd runs the CGI as, when that is not us."""
    if os.geteuid() != 0:
        return
    www = pwd.getpwnam(WEB_USER)
    for path in paths:
        os.chown(path, www.pw_uid, www.pw_gid)


def as_web_user(argv):
    """argv run as the CGI's user (when we are root, who lighttpd leaves)."""
    if os.geteuid() != 0:
        return argv
    return ["setpriv", "--reuid=" + WEB_USER, "--regid=" + WEB_USER, "--clear-groups"] + argv


class Web:
    """lighttpd as deploy/lighttpd.conf sets it up; each site is a folder
    under cgi-bin with the program, its settings and its pages, writable by
    the user the CGI runs as (for its log)."""

    def __init__(self, work):
        self.run_dir = os.path.join(work, "web")
        os.chmod(work, 0o711)
        for sub in ("htdocs", "cgi-bin", "logs"):
            os.makedirs(os.path.join(self.run_dir, sub))
        with open(os.path.join(self.run_dir, "htdocs", "index.html"), "w") as f:
            f.write("<html><body>bench</body></html>\n")
        give_to_web_user(*[os.path.join(self.run_dir, sub)
                           for sub in ("", "htdocs", "cgi-bin", "logs")])
        self.port = free_port()
        env = dict(os.environ, QUILLON_RUN=self.run_dir, QUILLON_HTTP_PORT=str(self.port))
        self.proc = subprocess.Popen(
            ["lighttpd", "-D", "-f", os.path.join(REPO, "deploy", "lighttpd.conf")],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2):
                    break
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit("lighttpd did not start")
                time.sleep(0.05)

    def site(self, name, binary, ini_text, wine_prefix=None):
        directory = os.path.join(self.run_dir, "cgi-bin", name)
        os.makedirs(directory)
        if wine_prefix is None:
            shutil.copy2(binary, os.path.join(directory, "quillon"))
        else:
            # The Windows build, started by Wine from a script in its place.
            shutil.copy2(binary, os.path.join(directory, "quillon.exe"))
            with open(os.path.join(directory, "quillon"), "w") as f:
                f.write(WINE_WRAPPER % (wine_prefix, os.path.join(directory, "quillon.exe")))
            os.chmod(os.path.join(directory, "quillon"), 0o755)
        for file_name, text in (("quillon.ini", ini_text), ("success.html", SUCCESS_PAGE),
                                ("failure.html", FAILURE_PAGE)):
            with open(os.path.join(directory, file_name), "w") as f:
                f.write(text)
        give_to_web_user(directory)
        return "/cgi-bin/%s/quillon" % name

    def stop(self):
        stop_process(self.proc)


class Load:
    """The web server, the SMTP servers and the compiled client, shared by
    every block of one benchmark run."""

    def __init__(self, work, server_names, wine_prefix=None):
        self.work = work
        self.wine_prefix = wine_prefix
        self.client = os.path.join(work, "load_client")
        subprocess.run(["cc", "-O2", "-pthread", "-o", self.client,
                        os.path.join(HERE, "load_client.c")], check=True)
        self.servers = {}
        self.web = None
        self.next_token = 0
        self.sites = {}
        try:
            for name in server_names:
                self.servers[name] = SERVERS[name](work)
            self.web = Web(work)
        except BaseException:
            self.stop()
            raise

    def site(self, label, binary, server, mode, logging="errors"):
        key = (label, server, mode, logging)
        if key not in self.sites:
            name = "site%d" % len(self.sites)
            self.sites[key] = self.web.site(
                name, binary, settings(self.servers[server].port, mode, logging),
                self.wine_prefix if binary.endswith(".exe") else None)
        return self.sites[key]

    def block(self, path, server, concurrency, count, seconds):
        """Runs one block; returns (times in ms, wall seconds, delayed ACKs,
        session ms or None). Stops the benchmark when a submission went wrong."""
        first = self.next_token
        self.next_token += count
        body = FORM.replace("%", "%%").replace("{token}", TOKEN)
        srv = self.servers[server]
        acks = delayed_acks()
        started = time.monotonic()
        out = subprocess.run(
            [self.client, str(self.web.port), path, str(concurrency), str(first), str(count),
             str(seconds), body, "THANKS " + TOKEN],
            capture_output=True, check=True).stdout
        wall = time.monotonic() - started
        acks = delayed_acks() - acks
        rows = [tuple(map(int, line.split())) for line in out.decode().splitlines()]
        bad = sum(1 for r in rows if r[2] != 1)
        if len(rows) != count or bad:
            raise SystemExit("%s via %s: %d of %d submissions done, %d not answered with "
                             "their success page: figures void"
                             % (path, server, len(rows), count, bad))
        self.check_delivered(srv, first, count)
        return [r[1] / 1000.0 for r in rows], wall, acks, srv.sessions()

    def check_delivered(self, srv, first, count):
        """Every token of the block reached the server exactly once."""
        wanted = {(TOKEN % i).encode() for i in range(first, first + count)}
        deadline = time.monotonic() + 30
        while True:
            found = [t for t in srv.tokens() if t in wanted]
            if len(found) >= count or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        time.sleep(0.1)  # a doubled message would arrive about now
        found = [t for t in srv.tokens() if t in wanted]
        if len(found) != count or set(found) != wanted:
            raise SystemExit("%s: %d messages for %d submissions (%d distinct): figures void"
                             % (srv.name, len(found), count, len(set(found))))

    def stop(self):
        if self.web is not None:
            self.web.stop()
        for srv in self.servers.values():
            srv.stop()


def wine_session(prefix):
    """A Wine prefix of the benchmark's own (made on first use), owned by
    the user the CGI runs as, with its wineserver kept running, so that each
    start costs a tenth of a second instead of seconds. Returns the function
    that ends it."""
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d", HOME=prefix)
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL, "env": env}
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        give_to_web_user(prefix)
        subprocess.run(as_web_user(["wineboot", "-i"]), timeout=300, **quiet)
        subprocess.run(as_web_user(["wineserver", "-w"]), timeout=300, **quiet)
    subprocess.run(as_web_user(["wineserver", "-p"]), timeout=60, **quiet)
    subprocess.run(as_web_user(["wine", "wineboot"]), timeout=300, **quiet)
    return lambda: subprocess.run(as_web_user(["wineserver", "-k"]), timeout=60, **quiet)


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def in_band(values):
    return sum(1 for v in values if BAND[0] <= v < BAND[1])


class Tally:
    def __init__(self):
        self.times, self.sessions, self.wall, self.acks = [], [], 0.0, 0

    def add(self, times, wall, acks, sessions):
        self.times += times
        self.wall += wall
        self.acks += acks
        if sessions is not None:
            self.sessions += sessions

    def row(self):
        t = sorted(self.times)
        cells = {"n": len(t), "rps": len(t) / self.wall, "p50": statistics.median(t),
                 "p99": percentile(t, 0.99), "max": t[-1], "band": in_band(t),
                 "over": sum(1 for v in t if v >= BAND[1]), "acks": self.acks}
        if self.sessions:
            s = sorted(self.sessions)
            cells.update(s_p50=statistics.median(s), s_p99=percentile(s, 0.99),
                         s_band=in_band(s))
        return cells


HEADER = ("%-30s %6s %7s %7s %7s %7s %6s %6s %7s | %7s %7s %6s"
          % ("build / server / mode / c", "n", "req/s", "p50", "p99", "max", "40-70", ">=70",
             "delack", "sess50", "sess99", "40-70"))


def format_row(label, cells):
    text = ("%-30s %6d %7.0f %7.2f %7.2f %7.1f %6d %6d %7d"
            % (label, cells["n"], cells["rps"], cells["p50"], cells["p99"], cells["max"],
               cells["band"], cells["over"], cells["acks"]))
    if "s_p50" in cells:
        text += " | %7.2f %7.2f %6d" % (cells["s_p50"], cells["s_p99"], cells["s_band"])
    return text


def parse_bins(choices):
    builds = []
    for choice in choices or [os.path.join(REPO, "build", "quillon")]:
        label, _, path = choice.rpartition("=")
        builds.append((label or os.path.relpath(path, REPO), os.path.abspath(path)))
    return builds


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--serve-aiosmtpd":
        serve_aiosmtpd(sys.argv[2], sys.argv[3])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", action="append", help="[LABEL=]PATH (default build/quillon)")
    parser.add_argument("-n", type=int, default=10000, help="submissions per build and case")
    parser.add_argument("-c", type=int, action="append", help="concurrent clients (default 8)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--server", default="sink,aiosmtpd")
    parser.add_argument("--mode", default="EHLO,HELO")
    parser.add_argument("--seconds", type=float, default=600, help="time limit of a block")
    parser.add_argument("--wine-prefix", default="/tmp/quillon-bench-wineprefix-web",
                        help="Wine prefix for builds ending in .exe (made when missing)")
    args = parser.parse_args()
    builds = parse_bins(args.bin)
    servers = args.server.split(",")
    modes = args.mode.split(",")
    levels = args.c or [8]
    per_block = max(1, args.n // args.rounds)

    print("uptime:%s" % subprocess.run(["uptime"], capture_output=True, text=True)
          .stdout.split("load")[1].rstrip())
    print("%d submissions per row in %d alternating blocks; times in ms at the client "
          "(post to last byte of the page); delack = acknowledgements the kernel's "
          "delayed-ACK timer sent meanwhile (whole machine); sess = SMTP session at the "
          "server" % (per_block * args.rounds, args.rounds))
    with tempfile.TemporaryDirectory(prefix="quillon-load-") as work:
        end_wine = None
        if any(binary.endswith(".exe") for _, binary in builds):
            end_wine = wine_session(args.wine_prefix)
        load = Load(work, servers, args.wine_prefix)
        try:
            tallies = {}
            for _ in range(args.rounds):
                for server in servers:
                    for mode in modes:
                        for c in levels:
                            for label, binary in builds:
                                path = load.site(label, binary, server, mode)
                                key = (label, server, mode, c)
                                tallies.setdefault(key, Tally()).add(
                                    *load.block(path, server, c, per_block, args.seconds))
            print(HEADER)
            for server in servers:
                for mode in modes:
                    for c in levels:
                        for label, _ in builds:
                            cells = tallies[(label, server, mode, c)].row()
                            print(format_row("%s %s %s c=%d" % (label, server, mode, c), cells))
        finally:
            load.stop()
            if end_wine is not None:
                end_wine()
        print("uptime:%s" % subprocess.run(["uptime"], capture_output=True, text=True)
              .stdout.split("load")[1].rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
