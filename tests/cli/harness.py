"""Shared pieces of the black-box tests: a sandbox directory holding the
program with its own settings file, a way to run it as a web server would,
and a real SMTP server on 127.0.0.1 that keeps every message it receives."""

import functools
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("QUILLON_BIN", "")
# A Windows build (quillon.exe) is run through this emulator.
WINE = os.environ.get("QUILLON_WINE", "wine")
IS_EXE = BIN.lower().endswith(".exe")

LOG_LINE = re.compile(
    r"^(\d{1,2})(st|nd|rd|th) (January|February|March|April|May|June|July|"
    r"August|September|October|November|December) (\d{4}),  (\d{1,2}):(\d\d):(\d\d) "
    r"(am|pm) - pid\((\d+)\) - (.*)$")


# The form and reply pages most whole-run tests share: the success page shows
# a submitted value, so escaping and token expansion are seen in every run.
FORM = "Name%3A=Joe+Bloggs&Email%3A=joe%40example.org"
SUCCESS = "<html><body>THANKS ||Name:||</body></html>\n"
FAILURE = "<html><body>SORRY</body></html>\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Under Wine, standard error also carries Wine's own lines: its loader's
# ("wine: failed to load ...") and, as tests/wine/run_cli_tests.sh turns
# the channel on, its error channel ("0124:err:module:...").
WINE_LINE = re.compile(rb"^(wine: |wine client error|([0-9a-f]{4}:)?(err|fixme|warn|trace):)")
# At most this many runs at once under Wine (see run_concurrently).
WINE_AT_ONCE = 8


def split_wine_lines(err):
    """Standard error as the program wrote it, and Wine's lines apart."""
    own, wine = [], []
    for line in err.splitlines(keepends=True):
        (wine if WINE_LINE.match(line) else own).append(line)
    return b"".join(own), b"".join(wine)


# How often a run is started when Wine refuses it (Result.wine_refused): a
# busy host refuses in bursts, while the runs alongside take their starts.
WINE_STARTS = 3


def wine_refused(code, stdout, wine):
    """Result.wine_refused, for a run read some other way."""
    return (IS_EXE and code != 0 and not stdout and
            any(WINE_LINE.match(line) and b"Unhandled" not in line
                for line in wine.splitlines()))


def note_refused(code, wine):
    sys.stderr.write("note: Wine could not start a run (exit code %d), started again: %r\n"
                     % (code, wine))


def run_windows_tool(cmd, **options):
    """subprocess.run of a Windows helper under Wine (cmd starts with WINE),
    its output as bytes; started again when Wine could not start it."""
    for attempt in range(1, WINE_STARTS + 1):
        done = subprocess.run(cmd, capture_output=True, **options)
        _, wine = split_wine_lines(done.stderr)
        if attempt == WINE_STARTS or not wine_refused(done.returncode, done.stdout, wine):
            return done
        note_refused(done.returncode, wine)


class Result:
    def __init__(self, proc, stdout, stderr, elapsed):
        self.code = proc.returncode
        self.pid = proc.pid
        # The Windows program writes a text-mode standard output (each "\n"
        # as CR LF); .stdout is what it meant to print, .raw_stdout the bytes.
        self.raw_stdout = stdout
        self.wine = b""
        if IS_EXE:
            stdout = stdout.replace(b"\r\n", b"\n")
            stderr, self.wine = split_wine_lines(stderr)
        self.stdout = stdout
        self.stderr = stderr
        self.elapsed = elapsed

    def wine_refused(self):
        """True when Wine itself could not start the run, by its own word: a
        failed run that printed nothing and whose standard error holds a
        line of Wine's loader or error channel. A crash of the program
        ("Unhandled exception", "Unhandled page fault") is no such word."""
        return wine_refused(self.code, self.raw_stdout, self.wine)

    @property
    def said(self):
        """What the run said besides its exit code, for a failed assertion's
        message: its standard error, Wine's lines, the start of its output."""
        return b"stderr: %r; wine: %r; stdout: %r" % (self.stderr, self.wine,
                                                      self.raw_stdout[:300])

    @property
    def text(self):
        return self.stdout.decode("latin-1")


class Sandbox:
    """A temporary directory with the program in it under `name`."""

    def __init__(self, name=None, subdir=""):
        if not BIN:
            raise RuntimeError("QUILLON_BIN is not set")
        self.root = tempfile.mkdtemp(prefix="quillon-")
        self.dir = os.path.join(self.root, subdir) if subdir else self.root
        os.makedirs(self.dir, exist_ok=True)
        if name is None:
            name = "quillon.exe" if IS_EXE else "quillon"
        self.name = name
        self.program = os.path.join(self.dir, name)
        if IS_EXE:
            shutil.copyfile(BIN, self.program)
        else:
            os.symlink(os.path.abspath(BIN), self.program)
        base = self.program
        for ext in (".exe", ".cgi"):
            pos = base.find(ext)
            if pos >= 0:
                base = base[:pos]
                break
        # The default naming for the usual program names; tests of unusual
        # names compute their own paths.
        self.ini_path = os.path.join(self.dir, "quillon.ini")
        self.log_path = os.path.join(self.dir, "quillon.log")

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, relpath, content, mode=None):
        full = self.path(relpath)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if isinstance(content, str):
            content = content.encode("latin-1")
        with open(full, "wb") as f:
            f.write(content)
        if mode is not None:
            os.chmod(full, mode)
        return full

    def write_ini(self, content):
        return self.write(os.path.basename(self.ini_path), content)

    def read(self, relpath):
        with open(self.path(relpath), "rb") as f:
            return f.read()

    def log_bytes(self):
        try:
            with open(self.log_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return b""
        return data.replace(b"\r\n", b"\n") if IS_EXE else data

    def log_text(self):
        return self.log_bytes().decode("latin-1")

    def log_messages(self):
        """The message part of every timestamped log line, in order. Lines
        without a timestamp (continuations, fatal_reply's bare line) are
        returned as they stand."""
        out = []
        for line in self.log_text().split("\n"):
            m = LOG_LINE.match(line)
            out.append(m.group(10) if m else line)
        if out and out[-1] == "":
            out.pop()
        return out

    def start(self, args=(), content_length=None, env=None, program=None, under=()):
        """Starts the program without waiting for it; the caller feeds stdin
        and collects the output (communicate()). `under` is a command the
        program runs under (strace ...)."""
        full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                    "TZ": os.environ.get("TZ", "UTC")}
        for key in ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "HOME",
                    "ASAN_OPTIONS", "UBSAN_OPTIONS", "LD_PRELOAD", "FAKETIME"):
            if key in os.environ:
                full_env[key] = os.environ[key]
        if content_length is not None:
            full_env["CONTENT_LENGTH"] = content_length
        if env:
            full_env.update(env)
        prog = program or self.program
        cmd = list(under) + ([WINE, prog] if IS_EXE else [prog]) + list(args)
        return subprocess.Popen(cmd, cwd=self.dir, env=full_env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def run_concurrently(self, bodies, timeout=120, args=()):
        """Runs one CGI run per body, all at once; their Results in order.
        Under Wine at most WINE_AT_ONCE run at a time, each next one started
        as the oldest ends: every Wine process holds descriptors, memory and
        a share of the one wineserver, and on a busy machine twenty at once
        starve each other. A run that Wine itself could not start
        (Result.wine_refused) is started again on its own, through run(),
        with Wine's words on standard error: that is the host failing, not
        the program.
        `args` go to every run (["-resend"]: one run per empty body)."""
        bodies = [b.encode("latin-1") if isinstance(b, str) else b for b in bodies]
        at_once = WINE_AT_ONCE if IS_EXE else len(bodies)
        started = time.monotonic()
        procs = [self.start(args=args, content_length=str(len(b))) for b in bodies[:at_once]]
        results = []
        for i, body in enumerate(bodies):
            proc = procs[i]
            out, err = proc.communicate(body, timeout=timeout)
            if i + at_once < len(bodies):
                procs.append(self.start(args=args,
                                        content_length=str(len(bodies[i + at_once]))))
            result = Result(proc, out, err, time.monotonic() - started)
            if result.wine_refused():
                note_refused(result.code, result.wine)
                result = self.run(args=args, body=body, timeout=timeout)
            results.append(result)
        return results

    def run(self, args=(), body=b"", content_length="auto", env=None,
            stdin=None, timeout=60, program=None, under=()):
        """Runs the program as a CGI would (no arguments, body on stdin). A
        run that Wine itself could not start (Result.wine_refused) never
        reached the program and left nothing behind: it is started again,
        with Wine's words on standard error, up to WINE_STARTS starts in
        all; the last refusal stands as the result. A run still going after `timeout` seconds is
        killed before TimeoutExpired reaches the caller."""
        if isinstance(body, str):
            body = body.encode("latin-1")
        if content_length == "auto":
            content_length = str(len(body))
        for attempt in range(1, WINE_STARTS + 1):
            started = time.monotonic()
            proc = self.start(args=args, content_length=content_length, env=env,
                              program=program, under=under)
            try:
                out, err = proc.communicate(body if stdin is None else stdin,
                                            timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
                raise
            result = Result(proc, out, err, time.monotonic() - started)
            if attempt == WINE_STARTS or not result.wine_refused():
                return result
            note_refused(result.code, result.wine)


# What could not run here for want of a tool: "what: why" lines.
CANNOT_RUN = []


def cannot_run(test, why):
    """Skips a test case (or, from setUpClass, a class) that cannot run on
    this machine for want of a tool. Unlike a skip of what does not apply
    to the platform, this one is counted: run.py then exits with 77, which
    ctest shows as Skipped, and the line goes to $QUILLON_SKIP_LOG, which
    makes scripts/test.sh count the stage as skipped."""
    what = test.id() if isinstance(test, unittest.TestCase) else \
        "%s.%s" % (test.__module__, test.__name__)
    line = "%s: %s" % (what, why)
    CANNOT_RUN.append(line)
    if os.environ.get("QUILLON_SKIP_LOG"):
        with open(os.environ["QUILLON_SKIP_LOG"], "a") as log:
            log.write("cli %s\n" % line)
    raise unittest.SkipTest(why)


def needs(available, why):
    """Decorates a test case or class that needs a tool: where `available`
    is false it does not run, and counts as not run (cannot_run) rather than
    as a skip of what does not apply to the platform."""
    def mark(target):
        if available:
            return target
        if isinstance(target, type):
            target.setUpClass = classmethod(lambda cls: cannot_run(cls, why))
            return target

        @functools.wraps(target)
        def not_run(self, *args, **kwargs):
            cannot_run(self, why)
        return not_run
    return mark


class CaptureSMTP:
    """A real SMTP server (aiosmtpd) on 127.0.0.1 that keeps every message:
    .messages is a list of dicts with mail_from, rcpt_tos, data (the bytes
    as received, line ends kept), helo, tls (the TLS version, or None) and
    user (the name that logged in, or None). `smtp_options` go to aiosmtpd's
    SMTP (tls_context, require_starttls, authenticator...) or, for
    ssl_context, make it speak TLS from the first byte."""

    def __init__(self, port=None, **smtp_options):
        from aiosmtpd.controller import Controller

        self.messages = []
        self.lock = threading.Lock()
        outer = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                tls = server.transport.get_extra_info("ssl_object")
                login = getattr(session.auth_data, "login", None)
                with outer.lock:
                    outer.messages.append({
                        "mail_from": envelope.mail_from,
                        "rcpt_tos": list(envelope.rcpt_tos),
                        "data": envelope.original_content,
                        "helo": session.host_name,
                        "tls": tls.version() if tls else None,
                        "user": login.decode() if login else None,
                    })
                return "250 OK"

        self.port = port or free_port()
        self.controller = Controller(Handler(), hostname="127.0.0.1",
                                     port=self.port, **smtp_options)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


def page_sandbox(test):
    """A Sandbox holding the shared reply pages, removed when `test` ends."""
    box = Sandbox()
    test.addCleanup(box.cleanup)
    box.write("success.html", SUCCESS)
    box.write("failure.html", FAILURE)
    return box


def standard_ini(smtp_port, extra="", helo=False, crlf=False, pages=True):
    """A typical settings file: From, To and Subject headers and three body
    lines, logging debug."""
    lines = [
        "smtp 127.0.0.1:%d" % smtp_port,
        "logging debug",
        "sendall false",
    ]
    if helo:
        lines.append("hello_method HELO")
    if crlf:
        lines.append("email_CR=LFCR")
    if pages:
        lines.append("success_html_page success.html")
        lines.append("failure_html_page failure.html")
    lines += [
        "headerline To: \"Site\" <owner@example.com>",
        "headerline From: \"Form\" <form@example.com>",
        "headerline Subject: Form Submission Data",
        "bodycontent_line Here are the details that they submitted:",
        "use_submitted_variable_for_bodycontent Name:",
        "use_submitted_variable_for_bodycontent Email:",
    ]
    return "\n".join(lines) + "\n" + extra
