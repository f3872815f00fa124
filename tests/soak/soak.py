#!/usr/bin/python3
"""Concurrency soak: many form submissions at the same moment, all sharing
one log file and one real SMTP server (aiosmtpd), first by starting the
program directly as a CGI, then through lighttpd.

    soak.py --bin build/quillon [-n 200] [--mode binary|lighttpd|both] [--keep]

Each submission carries a token of its own. Checked for every mode:
  - every process exited 0 and answered with the success page;
  - every submission's mail arrived exactly once, as the server received it
    from a lone reference run (with that run's token put in);
  - the log holds, for every process, the records of the reference run in
    the same order, each whole: a record is a timestamped line with its
    continuation lines, and one written in pieces or mixed with another
    process's would not compare equal.
Then, with "rate_limit 5/10", the same number of submissions at once from
one client address and from two (lighttpd sees them come from 127.0.0.1
and 127.0.0.2): exactly 5 per address are sent, every other run answers
with the failure page and logs the refusal with its address.
Prints the figures of each mode. Exits 1 when a check fails."""

import argparse
import asyncio
import http.client
import itertools
import json
import os
import pwd
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "cli"))
from harness import LOG_LINE  # noqa: E402

PYTHON = "/usr/bin/python3"
TOKEN = "tok%06d"
REFERENCE = 999999  # the reference run's token number, never a soak run's
SUCCESS_PAGE = "<html><body>THANKS ||Name:|| for ||Token:||</body></html>\n"
FAILURE_PAGE = "<html><body>SORRY ||Token:||</body></html>\n"
WRAPPER = """#!/bin/sh
# Runs the program and notes its pid and exit status, which a web server
# does not pass on. Standard input is handed over explicitly: a background
# command would otherwise read /dev/null.
exec 3<&0
"${0%/*}/quillon.cgi" <&3 3<&- &
pid=$!
exec 3<&-
wait "$pid"
status=$?
echo "$pid $status" >> "${0%/*}/exit-status"
exit "$status"
"""


class SoakFailure(Exception):
    pass


def settings(smtp_port, extra=()):
    return "".join(line + "\n" for line in list(extra) + [
        "smtp 127.0.0.1:%d" % smtp_port,
        "logging debug",
        "email_CR=LFCR",
        "smtp_timeout 60",
        "success_html_page success.html",
        "failure_html_page failure.html",
        "headerline To: \"Site\" <owner@example.com>",
        "headerline From: \"Form\" <form@example.com>",
        "use_submitted_variable_for_headerline Subject:",
        "bodycontent_line Here are the details that they submitted:",
        "use_submitted_variable_for_bodycontent Name:",
        "use_submitted_variable_for_bodycontent Token:",
        "use_submitted_variable_for_bodycontent Message:",
        "sendall true",
    ])


def form_body(number):
    token = TOKEN % number
    return ("Subject%%3A=Soak+%s&Name%%3A=Joe+Bloggs&Token%%3A=%s&"
            "Message%%3A=first+line%%0D%%0Asecond+line+%s%%0D%%0A.+third&"
            "Email%%3A=joe%%40example.org" % (token, token, token)).encode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# The SMTP server, run as a child process of this script.

def serve_smtp(directory, port_file):
    """Stores every message as NNNN.eml (bytes as received) and NNNN.json
    (envelope). The listening queue is long enough for every run at once."""
    from aiosmtpd.smtp import SMTP

    numbers = itertools.count(1)

    class Store:
        async def handle_DATA(self, server, session, envelope):
            base = os.path.join(directory, "%04d" % next(numbers))
            meta = {"mail_from": envelope.mail_from,
                    "rcpt_tos": list(envelope.rcpt_tos)}
            write_atomically(base + ".json", json.dumps(meta).encode())
            write_atomically(base + ".eml", envelope.original_content)
            return "250 OK"

    async def main():
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        loop = asyncio.get_running_loop()
        # asyncio listens again with its own backlog (100 by default): an
        # overflowing queue shows as connections reset after the connect.
        server = await loop.create_server(
            lambda: SMTP(Store(), hostname="soak.test"), sock=sock, backlog=4096)
        stop = loop.create_future()
        loop.add_signal_handler(signal.SIGTERM, lambda: stop.done() or stop.set_result(0))
        write_atomically(port_file, b"%d" % sock.getsockname()[1])
        await stop
        server.close()

    asyncio.run(main())


def write_atomically(path, data):
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.rename(path + ".part", path)


class SmtpServer:
    def __init__(self, work):
        self.dir = os.path.join(work, "mail")
        os.makedirs(self.dir)
        port_file = os.path.join(work, "smtp.port")
        self.err = open(os.path.join(work, "smtp.err"), "wb")
        self.proc = subprocess.Popen(
            [PYTHON, os.path.abspath(__file__), "--serve-smtp", self.dir, port_file],
            stdin=subprocess.DEVNULL, stdout=self.err, stderr=self.err)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SoakFailure("the SMTP server did not start (see %s)" % self.err.name)
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()

    def messages(self):
        """{name: (envelope, bytes)} of every stored message."""
        out = {}
        for name in sorted(os.listdir(self.dir)):
            if name.endswith(".eml"):
                base = os.path.join(self.dir, name[:-4])
                with open(base + ".json") as f:
                    meta = json.load(f)
                with open(base + ".eml", "rb") as f:
                    out[name] = (meta, f.read())
        return out

    def wait_for(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if sum(n.endswith(".eml") for n in os.listdir(self.dir)) >= count:
                break
            time.sleep(0.05)
        time.sleep(0.3)  # a duplicate would arrive about now
        return self.messages()


# The two ways of starting runs.

class DirectRuns:
    """The program started as a web server would, with the body on a pipe."""
    name = "binary"

    def __init__(self, work, binary, smtp_port, extra=()):
        self.dir = os.path.join(work, "cgi")
        os.makedirs(self.dir)
        self.program = os.path.join(self.dir, "quillon")
        shutil.copy2(binary, self.program)
        install_site(self.dir, smtp_port, extra)
        self.log_path = os.path.join(self.dir, "quillon.log")
        self.clients = {}  # run number -> client address (REMOTE_ADDR)
        self.env = {"PATH": "/usr/bin:/bin", "TZ": "UTC",
                    "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "detect_leaks=0")}

    def start(self, number):
        body = form_body(number)
        env = dict(self.env, CONTENT_LENGTH=str(len(body)))
        if number in self.clients:
            env["REMOTE_ADDR"] = self.clients[number]
        proc = subprocess.Popen([self.program], cwd=self.dir, env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        return proc, body

    def run_one(self, number):
        proc, body = self.start(number)
        out, err = proc.communicate(body, timeout=120)
        return {"pid": proc.pid, "code": proc.returncode, "page": out,
                "stderr": err}

    def run_many(self, numbers):
        """Starts every run; each waits for its body on standard input, so
        all are alive before the first is released."""
        procs = {}
        for number in numbers:
            proc, body = self.start(number)
            procs[proc.pid] = (number, proc, body)
        released = time.monotonic()
        for _, proc, body in procs.values():
            try:
                proc.stdin.write(body)
                proc.stdin.close()
            except BrokenPipeError:
                pass  # it ended early; its exit code tells why
        results = {}
        while len(results) < len(procs):
            pid, status, usage = os.wait4(-1, 0)
            ended = time.monotonic()
            if pid not in procs:
                raise SoakFailure("an unexpected child %d ended (the SMTP server?)" % pid)
            number, proc, _ = procs[pid]
            proc.returncode = os.waitstatus_to_exitcode(status)
            results[number] = {"pid": pid, "code": proc.returncode,
                               "wall": ended - released,
                               "cpu": usage.ru_utime + usage.ru_stime}
        for number, proc, _ in procs.values():
            results[number]["page"] = proc.stdout.read()
            results[number]["stderr"] = proc.stderr.read()
            proc.stdout.close()
            proc.stderr.close()
        return results, time.monotonic() - released

    def stop(self):
        pass


class LighttpdRuns:
    """The program as lighttpd's CGI, set up as deploy/lighttpd.conf says."""
    name = "lighttpd"

    def __init__(self, work, binary, smtp_port, extra=()):
        self.run_dir = os.path.join(work, "web")
        cgi = os.path.join(self.run_dir, "cgi-bin")
        for sub in ("htdocs", "cgi-bin", "logs"):
            os.makedirs(os.path.join(self.run_dir, sub))
        with open(os.path.join(self.run_dir, "htdocs", "index.html"), "w") as f:
            f.write("<html><body>soak</body></html>\n")
        shutil.copy2(binary, os.path.join(cgi, "quillon.cgi"))
        with open(os.path.join(cgi, "quillon"), "w") as f:
            f.write(WRAPPER)
        os.chmod(os.path.join(cgi, "quillon"), 0o755)
        install_site(cgi, smtp_port, extra)
        if os.geteuid() == 0:
            # Started as root, lighttpd runs the CGI as www-data, which here
            # may write the whole run directory: the log, the wrapper's
            # exit-status file and lighttpd's own error log.
            www = pwd.getpwnam("www-data")
            os.chmod(work, 0o711)
            for top, _, files in os.walk(self.run_dir):
                for path in [top] + [os.path.join(top, f) for f in files]:
                    os.chown(path, www.pw_uid, www.pw_gid)
        self.log_path = os.path.join(cgi, "quillon.log")
        self.clients = {}  # run number -> the address the request comes from
        self.status_path = os.path.join(cgi, "exit-status")
        self.proc = None
        self.start_server()

    def start_server(self):
        for _ in range(3):
            self.port = free_port()
            env = dict(os.environ, QUILLON_RUN=self.run_dir,
                       QUILLON_HTTP_PORT=str(self.port))
            out = open(os.path.join(self.run_dir, "logs", "lighttpd.out"), "wb")
            self.proc = subprocess.Popen(
                ["lighttpd", "-D", "-f", os.path.join(REPO, "deploy", "lighttpd.conf")],
                env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
            out.close()
            deadline = time.monotonic() + 10
            while self.proc.poll() is None and time.monotonic() < deadline:
                try:
                    status, _, _ = self.post(None, "/")
                    if status == 200:
                        return
                except OSError:
                    time.sleep(0.05)
            self.stop()
        raise SoakFailure("lighttpd did not start (see %s/logs)" % self.run_dir)

    def post(self, body, path="/cgi-bin/quillon", source=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120,
                                          source_address=(source, 0) if source else None)
        try:
            started = time.monotonic()
            if body is None:
                conn.request("GET", path)
            else:
                conn.request("POST", path, body=body, headers={
                    "Content-Type": "application/x-www-form-urlencoded"})
            reply = conn.getresponse()
            return reply.status, reply.read(), time.monotonic() - started
        finally:
            conn.close()

    def exit_statuses(self):
        statuses = {}
        if os.path.exists(self.status_path):
            with open(self.status_path) as f:
                for line in f:
                    pid, code = line.split()
                    statuses[int(pid)] = int(code)
        return statuses

    def run_one(self, number):
        before = set(self.exit_statuses())
        status, page, _ = self.post(form_body(number))
        pids = set(self.exit_statuses()) - before
        if status != 200 or len(pids) != 1:
            raise SoakFailure("reference run through lighttpd: HTTP %d, %d exits"
                              % (status, len(pids)))
        pid = pids.pop()
        return {"pid": pid, "code": self.exit_statuses()[pid], "page": page,
                "stderr": b""}

    def run_many(self, numbers):
        if os.path.exists(self.status_path):
            os.remove(self.status_path)
        barrier = threading.Barrier(len(numbers) + 1)
        results = {}

        def client(number):
            body = form_body(number)
            barrier.wait()
            try:
                status, page, wall = self.post(body, source=self.clients.get(number))
            except OSError as err:
                status, page, wall = 0, str(err).encode(), 0.0
            results[number] = {"http": status, "page": page, "wall": wall}

        threads = [threading.Thread(target=client, args=(n,)) for n in numbers]
        for thread in threads:
            thread.start()
        barrier.wait()
        released = time.monotonic()
        for thread in threads:
            thread.join()
        return results, time.monotonic() - released

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def install_site(directory, smtp_port, extra=()):
    for name, text in (("quillon.ini", settings(smtp_port, extra)),
                       ("success.html", SUCCESS_PAGE),
                       ("failure.html", FAILURE_PAGE)):
        with open(os.path.join(directory, name), "w") as f:
            f.write(text)


# The checks.

# The outcome line's delivery time differs from run to run.
OUTCOME_TIME = re.compile(r"^(outcome: .*?, )\d+\.\d\d s\b")


def untimed(message):
    return OUTCOME_TIME.sub(r"\1N s", message)


def log_records(path):
    """{pid: [message, ...]}: each record's message with its continuation
    lines, in file order. A line before the first record is a failure."""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    if not text.endswith("\n"):
        raise SoakFailure("the log does not end with a whole line")
    records = {}
    current = None
    for line in text[:-1].split("\n"):
        m = LOG_LINE.match(line)
        if m:
            current = records.setdefault(int(m.group(9)), [])
            current.append(m.group(10))
        elif current is None:
            raise SoakFailure("the log begins with a piece of a line: %r" % line[:80])
        else:
            current[-1] += "\n" + line
    return records


def token_of(messages):
    for message in messages:
        m = re.search(r"tok\d{6}", message)
        if m:
            return m.group(0)
    return None



def clean_up(runner, smtp, work, remove):
    """Stops what a soak started; keeps its work directory unless `remove`."""
    if runner is not None:
        runner.stop()
    if smtp is not None:
        smtp.stop()
    if remove:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("  work directory kept: %s" % work)

def check(runner, smtp, reference, results, expected_tokens):
    """Returns a list of problems (empty when all is well)."""
    problems = []
    ref_token = TOKEN % REFERENCE
    ref_page, ref_log = reference["page"], [untimed(m) for m in reference["log"]]
    ref_meta, ref_mail = reference["mail"]

    for number, result in sorted(results.items()):
        token = TOKEN % number
        page = result["page"].replace(token.encode(), ref_token.encode())
        if result.get("code", 0) != 0:
            problems.append("run %s exited with %s" % (token, result["code"]))
        if result.get("http", 200) != 200:
            problems.append("run %s: HTTP %s %r" % (token, result["http"], result["page"][:200]))
        elif page != ref_page:
            problems.append("run %s answered %r" % (token, result["page"][:200]))
        if result.get("stderr"):
            problems.append("run %s wrote to stderr: %r" % (token, result["stderr"][:300]))

    # Mail: each token exactly once, each message as the reference's.
    mails = smtp.wait_for(len(expected_tokens))
    seen = {}
    for name, (meta, data) in mails.items():
        tokens = set(re.findall(rb"tok\d{6}", data))
        if len(tokens) != 1:
            problems.append("message %s holds tokens %s" % (name, sorted(tokens)))
            continue
        token = tokens.pop().decode()
        seen.setdefault(token, []).append(name)
        if meta != ref_meta or data.replace(token.encode(), ref_token.encode()) != ref_mail:
            problems.append("message %s (%s) differs from the reference" % (name, token))
    for token in expected_tokens:
        if len(seen.get(token, [])) != 1:
            problems.append("mail of %s arrived %d times" % (token, len(seen.get(token, []))))
    for token in set(seen) - set(expected_tokens):
        problems.append("unexpected mail with %s" % token)

    # Log: per pid, the reference's records with the token put in.
    records = log_records(runner.log_path)
    pids_by_token = {}
    for pid, messages in records.items():
        token = token_of(messages)
        pids_by_token.setdefault(token, []).append(pid)
        normal = [untimed(m.replace(token, ref_token) if token else m) for m in messages]
        if normal != ref_log:
            first = next((i for i, (a, b) in enumerate(zip(normal, ref_log)) if a != b),
                         min(len(normal), len(ref_log)))
            problems.append("log of pid %d (%s) differs at record %d: %r, reference %r"
                            % (pid, token, first, normal[first:first + 1],
                               ref_log[first:first + 1]))
    for token in expected_tokens:
        if len(pids_by_token.get(token, [])) != 1:
            problems.append("log records of %s under %d pids"
                            % (token, len(pids_by_token.get(token, []))))
    if isinstance(runner, DirectRuns):
        pids = {r["pid"] for r in results.values()}
        if set(records) != pids:
            problems.append("log pids and process pids differ")
    else:
        statuses = runner.exit_statuses()
        if set(statuses) != set(records):
            problems.append("%d exit statuses for %d logged pids" % (len(statuses), len(records)))
        for pid, code in statuses.items():
            if code != 0:
                problems.append("CGI pid %d exited with %d" % (pid, code))
    return problems, records


def soak(mode_class, binary, count, keep):
    work = tempfile.mkdtemp(prefix="quillon-soak-")
    smtp = runner = None
    ok = False
    try:
        smtp = SmtpServer(work)
        runner = mode_class(work, binary, smtp.port)
        reference = runner.run_one(REFERENCE)
        if reference["code"] != 0 or b"THANKS" not in reference["page"]:
            raise SoakFailure("the reference run failed: %r" % (reference,))
        mails = smtp.wait_for(1)
        if len(mails) != 1:
            raise SoakFailure("the reference run sent %d messages" % len(mails))
        reference["mail"] = next(iter(mails.values()))
        reference["log"] = log_records(runner.log_path)[reference["pid"]]
        os.rename(runner.log_path, runner.log_path + ".reference")
        for name in os.listdir(smtp.dir):
            os.rename(os.path.join(smtp.dir, name), os.path.join(work, "reference-" + name))

        numbers = list(range(count))
        results, wall = runner.run_many(numbers)
        problems, records = check(runner, smtp, reference, results,
                                  [TOKEN % n for n in numbers])
        report(runner.name, count, wall, results, records)
        for problem in problems[:20]:
            print("  FAIL " + problem)
        if len(problems) > 20:
            print("  ... %d problems in all" % len(problems))
        ok = not problems
    finally:
        clean_up(runner, smtp, work, ok and not keep)
    return ok


RATE_LIMIT = 5
# REMOTE_ADDR of a direct run; the source addresses of requests to lighttpd.
RATE_CLIENTS = {"binary": ("192.0.2.1", "192.0.2.2"), "lighttpd": ("127.0.0.1", "127.0.0.2")}


def rate_soak(mode_class, binary, count, clients, keep):
    """`count` submissions at once under "rate_limit 5/10", spread over
    `clients` addresses: exactly 5 per address go out."""
    work = tempfile.mkdtemp(prefix="quillon-soak-rate-")
    smtp = runner = None
    ok = False
    try:
        smtp = SmtpServer(work)
        runner = mode_class(work, binary, smtp.port, extra=["rate_limit %d/10" % RATE_LIMIT])
        numbers = list(range(count))
        runner.clients = {n: clients[n % len(clients)] for n in numbers}
        results, wall = runner.run_many(numbers)
        problems = []
        sent = {}
        for number, result in sorted(results.items()):
            token = TOKEN % number
            if result.get("code", 0) != 0 or result.get("http", 200) != 200:
                problems.append("run %s: exit %s, HTTP %s" % (token, result.get("code"),
                                                            result.get("http")))
            if result.get("stderr"):
                problems.append("run %s wrote to stderr: %r" % (token, result["stderr"][:300]))
            if b"THANKS" in result["page"]:
                sent[token] = runner.clients[number]
            elif b"SORRY" not in result["page"]:
                problems.append("run %s answered %r" % (token, result["page"][:200]))
        expected = {c: min(RATE_LIMIT, len(numbers[i::len(clients)]))
                    for i, c in enumerate(clients)}
        for client in clients:
            got = sum(1 for c in sent.values() if c == client)
            if got != expected[client]:
                problems.append("%d success pages for %s, %d expected" % (got, client,
                                                                          expected[client]))
        mails = smtp.wait_for(sum(expected.values()))
        tokens = sorted(set(re.findall(rb"tok\d{6}", data)).pop().decode()
                        for _, data in mails.values())
        if tokens != sorted(sent):
            problems.append("mail of %s arrived, success pages for %s"
                            % (tokens[:10], sorted(sent)[:10]))
        refusals = [m for messages in log_records(runner.log_path).values() for m in messages
                    if m.startswith("submission refused: client {")]
        for client in clients:
            want = len(numbers[clients.index(client)::len(clients)]) - expected[client]
            got = sum(1 for m in refusals if m.startswith("submission refused: client {%s}"
                                                          % client))
            if got != want:
                problems.append("%d refusal lines for %s, %d expected" % (got, client, want))
        if isinstance(runner, LighttpdRuns):
            bad = [code for code in runner.exit_statuses().values() if code != 0]
            if bad or len(runner.exit_statuses()) != count:
                problems.append("CGI exits: %d statuses, failing %s"
                                % (len(runner.exit_statuses()), bad[:10]))
        walls = sorted(r["wall"] for r in results.values())
        print("rate soak %s, %d address(es): %d submissions at once, %d sent, all done in "
              "%.2f s; per run wall median %.0f ms, max %.0f ms"
              % (runner.name, len(clients), count, len(mails), wall,
                 1000 * statistics.median(walls), 1000 * walls[-1]))
        for problem in problems[:20]:
            print("  FAIL " + problem)
        ok = not problems
    finally:
        clean_up(runner, smtp, work, ok and not keep)
    return ok


def report(mode, count, wall, results, records):
    walls = sorted(r["wall"] for r in results.values())
    print("soak %s: %d submissions at once, all done in %.2f s (%.0f runs/s)"
          % (mode, count, wall, count / wall if wall else 0))
    print("  per run wall: median %.0f ms, p90 %.0f ms, max %.0f ms"
          % (1000 * statistics.median(walls), 1000 * walls[int(0.9 * (len(walls) - 1))],
             1000 * walls[-1]))
    if all("cpu" in r for r in results.values()):
        cpu = sorted(r["cpu"] for r in results.values())
        # No peak RSS here: a child started from Python inherits the
        # parent's figure (bench/whole_run.py measures it properly).
        print("  per run CPU (user+sys): median %.1f ms, max %.1f ms"
              % (1000 * statistics.median(cpu), 1000 * cpu[-1]))
    print("  log: %d processes, %d records" % (len(records),
                                               sum(len(v) for v in records.values())))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--serve-smtp":
        serve_smtp(sys.argv[2], sys.argv[3])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="the program to run")
    parser.add_argument("-n", type=int, default=200, help="submissions at once")
    parser.add_argument("--mode", choices=("binary", "lighttpd", "both"), default="both")
    parser.add_argument("--keep", action="store_true", help="keep the work directories")
    parser.add_argument("--rate", choices=("on", "off", "only"), default="on",
                        help="the rate-limit soaks after the others, instead, or not")
    args = parser.parse_args()
    if not 1 <= args.n < REFERENCE:
        parser.error("-n must be from 1 to %d" % (REFERENCE - 1))
    # Three pipes per direct run stay open at once.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4 * args.n + 256)), hard))

    binary = os.path.abspath(args.bin)
    modes = []
    if args.mode in ("binary", "both"):
        modes.append(DirectRuns)
    if args.mode in ("lighttpd", "both"):
        if shutil.which("lighttpd"):
            modes.append(LighttpdRuns)
        else:
            print("soak lighttpd: skipped, lighttpd is not installed")
            if os.environ.get("QUILLON_SKIP_LOG"):
                with open(os.environ["QUILLON_SKIP_LOG"], "a") as log:
                    log.write("soak lighttpd: lighttpd is not installed\n")
    if not modes:
        return 77
    ok = True
    for mode in modes:
        try:
            if args.rate != "only":
                ok = soak(mode, binary, args.n, args.keep) and ok
            if args.rate != "off":
                for clients in (RATE_CLIENTS[mode.name][:1], RATE_CLIENTS[mode.name]):
                    ok = rate_soak(mode, binary, args.n, clients, args.keep) and ok
        except SoakFailure as err:
            print("soak %s: FAIL %s" % (mode.name, err))
            ok = False
    print("soak: %s" % ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
