"""Real servers for the deployment tests, each started on 127.0.0.1 by the
test itself and stopped again: the storing aiosmtpd server of deploy/,
Postfix's smtp-sink, and a private Postfix instance (master, smtpd, cleanup,
qmgr and the virtual delivery agent writing a Maildir). Also: the sample
site installed in a directory, a CGI run of it, and a unittest main that
ends with the "N passed, M failed" line tests/deploy/run_all.sh counts."""

import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BIN = os.environ.get("QUILLON_BIN") or os.path.join(REPO, "build", "quillon")
PYTHON = "/usr/bin/python3"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_greeting(port, proc=None, timeout=20.0):
    """Waits until a server on `port` sends its 220 greeting."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("server exited with %d" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                if s.recv(512).startswith(b"220"):
                    return
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError("no greeting on port %d" % port)


def stop_process(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class StoreServer:
    """deploy/smtp_store.py: aiosmtpd, keeps the bytes as received. On
    `port` if given, else on one the system picks."""
    name = "aiosmtpd"

    def __init__(self, port=0):
        self.port = port

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-store-")
        port_file = os.path.join(self.dir, "port")
        self.proc = subprocess.Popen(
            [PYTHON, os.path.join(REPO, "deploy", "smtp_store.py"),
             "--dir", os.path.join(self.dir, "mail"), "--port-file", port_file,
             "--port", str(self.port)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("smtp_store.py did not start: %s"
                                   % self.proc.stderr.read().decode())
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())
        return self

    def __exit__(self, *exc):
        stop_process(self.proc)
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def messages(self, wait_for=0):
        """The stored messages, oldest first, as raw bytes."""
        return read_files(os.path.join(self.dir, "mail", "*.eml"), wait_for)


class SinkServer:
    """Postfix's smtp-sink, dumping every message into a directory. Its
    dumps start with X-Client-Addr and similar lines of its own."""
    name = "smtp-sink"

    @staticmethod
    def available():
        return shutil.which("smtp-sink") is not None

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-sink-")
        os.chmod(self.dir, 0o777)   # smtp-sink writes as nobody
        self.port = free_port()
        self.proc = subprocess.Popen(
            ["smtp-sink", "-u", "nobody", "-d", os.path.join(self.dir, "%M%S."),
             "127.0.0.1:%d" % self.port, "10"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_greeting(self.port, self.proc)
        return self

    def __exit__(self, *exc):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def messages(self, wait_for=0):
        return [strip_trace(m) for m in
                read_files(os.path.join(self.dir, "*"), wait_for)]


POSTFIX_SERVICES = """\
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
proxymap  unix  -       -       n       -       -       proxymap
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


class PostfixServer:
    """A private Postfix instance in a temporary directory: its own
    main.cf and master.cf, smtpd on a free port, and every mail for
    example.com delivered into one Maildir. `extra` adds main.cf lines (a
    later line of a parameter wins), `services` master.cf lines. `tls`
    (tests/cli/tls_fixture.TlsFiles) makes smtpd require STARTTLS with that
    server certificate."""

    def __init__(self, name="postfix", extra="", tls=None, services=""):
        self.name = name
        self.extra = extra
        self.services = POSTFIX_SERVICES + services
        if tls is not None:
            # smtpd asks tlsmgr for its random seed and turns TLS off without it.
            self.services += "tlsmgr    unix  -       -       n       1000?   1       tlsmgr\n"
            self.extra += """\
smtpd_tls_cert_file = {cert}
smtpd_tls_key_file = {key}
smtpd_tls_security_level = encrypt
smtpd_tls_loglevel = 1
smtpd_tls_session_cache_database =
""".format(cert=tls.cert, key=tls.key)

    @staticmethod
    def available():
        if shutil.which("postfix") is None or os.geteuid() != 0:
            return False
        try:
            pwd.getpwnam("postfix")
        except KeyError:
            return False
        return True

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-postfix-")
        os.chmod(self.dir, 0o755)
        self.etc = os.path.join(self.dir, "etc")
        for sub in ("etc", "spool", "data", "mail"):
            os.mkdir(os.path.join(self.dir, sub))
        nobody = pwd.getpwnam("nobody")
        os.chown(os.path.join(self.dir, "mail"), nobody.pw_uid, nobody.pw_gid)
        owner = pwd.getpwnam("postfix")
        os.chown(os.path.join(self.dir, "data"), owner.pw_uid, owner.pw_gid)
        self.port = free_port()
        main_cf = """\
compatibility_level = 3.6
queue_directory = {d}/spool
data_directory = {d}/data
mail_owner = postfix
myhostname = mx.quillon.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
virtual_mailbox_domains = example.com
virtual_mailbox_base = {d}/mail
virtual_mailbox_maps = static:inbox/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
alias_maps =
alias_database =
maillog_file_prefixes = {d}
maillog_file = {d}/maillog
biff = no
{extra}
""".format(d=self.dir, uid=nobody.pw_uid, gid=nobody.pw_gid, extra=self.extra)
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(main_cf)
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write("127.0.0.1:%d inet n - n - - smtpd\n" % self.port)
            f.write(self.services)
        # start-fg keeps the master in the foreground, so the test owns it;
        # its own session keeps signals to it away from the test's group.
        self.proc = subprocess.Popen(
            ["postfix", "-c", self.etc, "start-fg"], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        try:
            wait_for_greeting(self.port, self.proc)
        except RuntimeError as err:
            self.__exit__()
            raise RuntimeError("%s; log: %s" % (err, self.log()))
        return self

    def __exit__(self, *exc):
        subprocess.run(["postfix", "-c", self.etc, "stop"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log(self):
        try:
            with open(os.path.join(self.dir, "maillog"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def messages(self, wait_for=0):
        """Delivered messages. Delivery runs after the client has had its
        250, so this waits up to 10 s for at least `wait_for` of them."""
        return [strip_trace(m) for m in read_files(
            os.path.join(self.dir, "mail", "inbox", "new", "*"), wait_for)]


def read_files(pattern, wait_for):
    """The files matching `pattern`, oldest first, once there are at least
    `wait_for` of them or 10 s have passed."""
    deadline = time.monotonic() + 10
    while True:
        paths = sorted(glob.glob(pattern), key=os.path.getmtime)
        if len(paths) >= wait_for or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    out = []
    for path in paths:
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def strip_trace(data):
    """Drops the lines a receiving server puts in front of the message:
    everything up to the Received: header and its two continuation lines
    (both Postfix and smtp-sink fold it that way)."""
    start = data.index(b"Received:")
    end = start
    for _ in range(3):
        end = data.index(b"\n", end) + 1
    return data[end:]


def install_site(directory, smtp_server, extra_settings=""):
    """Lays out the sample site as deploy/serve.sh does (program and
    settings in cgi-bin/, pages in pages/) and returns the program's path.
    `extra_settings` lines are appended: a later line of a key wins."""
    cgi = os.path.join(directory, "cgi-bin")
    pages = os.path.join(directory, "pages")
    os.makedirs(cgi, exist_ok=True)
    os.makedirs(pages, exist_ok=True)
    site = os.path.join(REPO, "deploy", "site")
    for page in ("success.html", "failure.html"):
        shutil.copy(os.path.join(site, page), pages)
    with open(os.path.join(site, "quillon.ini")) as f:
        ini = f.read()
    ini = ini.replace("@SMTP_SERVER@", smtp_server).replace("@PAGES_DIR@", pages)
    with open(os.path.join(cgi, "quillon.ini"), "w") as f:
        f.write(ini + extra_settings)
    program = os.path.join(cgi, "quillon")
    shutil.copy(BIN, program)
    return program


def cgi_run(program, body, timeout=120):
    """Runs the program as a web server would; returns (exit code, stdout)."""
    if isinstance(body, str):
        body = body.encode("utf-8")
    env = {"PATH": "/usr/bin:/bin", "REQUEST_METHOD": "POST",
           "CONTENT_TYPE": "application/x-www-form-urlencoded",
           "CONTENT_LENGTH": str(len(body)), "GATEWAY_INTERFACE": "CGI/1.1"}
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if key in os.environ:
            env[key] = os.environ[key]
    proc = subprocess.run([program], input=body, env=env, capture_output=True,
                          cwd=os.path.dirname(program), timeout=timeout)
    return proc.returncode, proc.stdout


def main():
    """unittest's main, ending with the line run_all.sh counts."""
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules["__main__"])
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    sys.exit(0 if failed == 0 else 1)
