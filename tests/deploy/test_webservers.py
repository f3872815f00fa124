"""The sample site installed by deploy/serve.sh under each web server:
a form post goes through the server's CGI interface to the program and on
to the storing SMTP server, and the server keeps the settings file and the
log to itself."""

import ctypes
import email
import email.policy
import json
import os
import pwd
import select
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import threading
import urllib.request

import servers
import test_docs

SERVE = os.path.join(servers.REPO, "deploy", "serve.sh")
CGI_USER = "www-data"   # as root, both servers run the CGI as this user
LIGHTTPD = unittest.skipUnless(shutil.which("lighttpd"), "lighttpd is not installed")
APACHE2 = unittest.skipUnless(shutil.which("apache2") and os.geteuid() == 0,
                              "apache2 is not installed, or not root")
VISITOR = [("Name:", "Ann <b>&\"' O'Neil"), ("Email:", "ann@example.org"),
           ("Message:", "Hello\nsecond line")]
FORMS_MD = os.path.join(servers.REPO, "docs", "forms.md")


def doc_block(kind, containing=""):
    """The text of docs/forms.md's first block marked `kind` that holds
    `containing`."""
    for _, mark, _, text in test_docs.blocks(FORMS_MD):
        if mark == kind and containing in text:
            return text
    raise AssertionError("no %s block in docs/forms.md" % kind)


def upload_conf(pool=()):
    """An absolute path to deploy/apache2.conf with the upload set-up of
    docs/forms.md in place of its body limits and RequestReadTimeout, and
    each (directive, value) of `pool` in place of the shipped one."""
    block = doc_block("apache2-uploads").splitlines()
    start = next(i for i, line in enumerate(block) if line.startswith("<Directory "))
    inner = block[start + 1:block.index("</Directory>")]
    with open(os.path.join(servers.REPO, "deploy", "apache2.conf")) as f:
        lines = f.read().split("\n")
    first = lines.index("  LimitRequestBody 102400")
    lines[first:lines.index("  </If>", first) + 1] = inner
    for key, value in [("RequestReadTimeout", None)] + list(pool):
        at = next(i for i, line in enumerate(lines) if line.startswith(key + " "))
        lines[at] = (next(line for line in block if line.startswith(key + " "))
                     if value is None else "%s %s" % (key, value))
    fd, path = tempfile.mkstemp(prefix="quillon-apache2-", suffix=".conf", dir="/tmp")
    with os.fdopen(fd, "w") as f:
        f.write("\n".join(lines))
    return path


def multipart_head(boundary, fields, file_name):
    """A multipart body's text fields and the head of its file part."""
    parts = [b'--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n'
             % (boundary, name.encode(), value.encode()) for name, value in fields]
    parts.append(b'--%s\r\nContent-Disposition: form-data; name="upload"; filename="%s"\r\n'
                 b"Content-Type: application/pdf\r\n\r\n" % (boundary, file_name))
    return b"".join(parts)


class Installation:
    """One run of deploy/serve.sh: the web server and, unless no_smtp, the
    SMTP server; `state` holds what serve.sh wrote into state.env."""

    def __init__(self, web, no_smtp=False, settings=(), conf=None):
        self.web = web
        self.no_smtp = no_smtp
        self.settings = settings
        self.conf = conf

    def __enter__(self):
        # Right below /tmp whatever TMPDIR says, so www-data can reach it
        # under Apache.
        self.dir = tempfile.mkdtemp(prefix="quillon-%s-" % self.web, dir="/tmp")
        cmd = [SERVE, "start", self.dir, "--web", self.web, "--bin", servers.BIN]
        if self.no_smtp:
            cmd.append("--no-smtp")
        for line in self.settings:
            cmd += ["--set", line]
        if self.conf:
            cmd += ["--conf", self.conf]
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
        if proc.returncode != 0:
            self.__exit__()
            raise RuntimeError("serve.sh failed: " + proc.stderr)
        self.state = {}
        with open(os.path.join(self.dir, "state.env")) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                self.state[key] = value
        return self

    def __exit__(self, *exc):
        subprocess.run([SERVE, "stop", self.dir], timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)

    def get(self, path, data=None, timeout=120):
        """Returns (status, body) of a request to the web server."""
        url = self.state["QUILLON_URL"] + path.lstrip("/")
        try:
            with urllib.request.urlopen(url, data=data, timeout=timeout) as reply:
                return reply.status, reply.read()
        except urllib.error.HTTPError as err:
            return err.code, err.read()

    def stored(self):
        mail = self.state["QUILLON_MAIL_DIR"]
        return sorted(n for n in os.listdir(mail) if n.endswith(".eml"))


class SlowClients:
    """`count` connections that each send one byte of an endless request
    header per second. A connection the server answers or closes is opened
    again at once, so the server is held at `count` slow clients; `cut`
    counts the ones it ended."""

    def __init__(self, port, count):
        self.port = port
        self.socks = [self.open() for _ in range(count)]
        self.cut = 0

    def open(self):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        sock.setblocking(False)
        sock.send(b"POST /cgi-bin/quillon HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
        return sock

    def drip(self):
        answered, _, _ = select.select(self.socks, [], [], 0)
        for sock in answered:
            self.socks.remove(sock)
            sock.close()
            self.socks.append(self.open())
            self.cut += 1
        for sock in self.socks:
            try:
                sock.send(b"x")
            except OSError:   # seen as answered on the next drip
                pass

    def close(self):
        for sock in self.socks:
            sock.close()


class SlowUploads:
    """`count` uploads of `length` announced bytes, each sending 300 bytes
    every half second from a thread of its own, none reopened: `cut` counts
    those the server answered or closed."""

    def __init__(self, port, count, length):
        self.cut = 0
        self.done = threading.Event()
        head = (b"POST /cgi-bin/quillon HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                b"Content-Type: multipart/form-data; boundary=BB\r\n"
                b"Content-Length: %d\r\n\r\n" % length) + multipart_head(b"BB", [], b"a.pdf")
        self.socks = [socket.create_connection(("127.0.0.1", port), timeout=5)
                      for _ in range(count)]
        for sock in self.socks:
            sock.sendall(head)
            sock.setblocking(False)
        self.thread = threading.Thread(target=self.drip)
        self.thread.start()

    def drip(self):
        open_socks = list(self.socks)
        while open_socks and not self.done.wait(0.5):
            answered, _, _ = select.select(open_socks, [], [], 0)
            for sock in list(open_socks):
                try:
                    if sock in answered:
                        raise OSError("answered")
                    sock.send(b"%" * 300)
                except OSError:
                    open_socks.remove(sock)
                    self.cut += 1

    def close(self):
        self.done.set()
        self.thread.join()
        for sock in self.socks:
            sock.close()


class Execs:
    """Tells whether a file has been opened since the watch began, as
    every start of a program opens it: an inotify watch (IN_OPEN) on it."""

    def __init__(self, path):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, path.encode(), 0x20) < 0:
            raise OSError(ctypes.get_errno(), "inotify on " + path)

    def seen(self, wait):
        """Whether it was opened, waiting up to `wait` seconds for it."""
        return bool(select.select([self.fd], [], [], wait)[0])

    def close(self):
        os.close(self.fd)


class WebServerTest(unittest.TestCase):

    def check_web_server(self, web):
        form = urllib.parse.urlencode(VISITOR).encode()
        with Installation(web) as site:
            status, page = site.get("/")
            self.assertEqual(status, 200)
            self.assertIn(b'action="/cgi-bin/quillon"', page)

            status, page = site.get("/cgi-bin/quillon", data=form)
            self.assertEqual(status, 200)
            self.assertIn(b"<title>Message sent</title>", page)
            self.assertIn(b"Ann &lt;b&gt;&amp;&quot;", page)
            self.assertNotIn(b"<b>", page)
            names = site.stored()
            self.assertEqual(len(names), 1)
            mail_dir = site.state["QUILLON_MAIL_DIR"]
            with open(os.path.join(mail_dir, names[0]), "rb") as f:
                mail = f.read()
            with open(os.path.join(mail_dir, names[0][:-4] + ".json")) as f:
                envelope = json.load(f)
            self.assertEqual(envelope["mail_from"], "owner@example.com")
            self.assertEqual(envelope["rcpt_tos"], ["owner@example.com"])
            self.assertIn(b"\r\n Name: Ann <b>&\"' O'Neil\r\n", mail)
            pad = b" " * len(" Message: ")
            self.assertIn(b"\r\n Message: Hello\r\n" + pad + b"second line\r\n", mail)

            # The settings name the recipients and the log holds every
            # message: neither may be served, whether it exists or not.
            for path in ("/cgi-bin/quillon.ini", "/cgi-bin/quillon.log",
                         "/cgi-bin/nothing.ini"):
                status, _ = site.get(path)
                self.assertIn(status, (403, 404), path)
            self.assertGreater(os.path.getsize(site.state["QUILLON_CGI_LOG"]), 0,
                               "the program could not write its log")

        with Installation(web, no_smtp=True) as site:
            status, page = site.get("/cgi-bin/quillon", data=form)
            self.assertEqual(status, 200)
            self.assertIn(b"<title>Message not sent</title>", page)
            self.assertIn(b"Ann &lt;b&gt;&amp;&quot;", page)

    def check_body_limit(self, web):
        # The program reads 100000 bytes of a form; the server passes a body
        # of that size on and refuses a much larger one without starting
        # the program. A server that starts it and then cuts the body off
        # may kill it before it logs anything, or before it even runs, so
        # the start is watched where it cannot be missed (the program file
        # is opened to run it) and the large body is posted ten times.
        form = urllib.parse.urlencode(VISITOR) + "&Padding="
        body = (form + "x" * (100000 - len(form))).encode()
        with Installation(web) as site:
            status, page = site.get("/cgi-bin/quillon", data=body)
            self.assertEqual(status, 200)
            self.assertIn(b"<title>Message sent</title>", page)
            execs = Execs(os.path.join(site.dir, "cgi-bin", "quillon"))
            try:
                for _ in range(10):
                    status, _ = site.get("/cgi-bin/quillon", data=body + b"x" * 900000)
                    self.assertEqual(status, 413)
                self.assertFalse(execs.seen(wait=2), "the program was started")
            finally:
                execs.close()
            self.assertEqual(len(site.stored()), 1, "a mail was sent")

    @LIGHTTPD
    def test_lighttpd(self):
        self.check_web_server("lighttpd")

    @APACHE2
    def test_apache2(self):
        self.check_web_server("apache2")

    @LIGHTTPD
    def test_lighttpd_body_limit(self):
        self.check_body_limit("lighttpd")

    @APACHE2
    def test_apache2_body_limit(self):
        self.check_body_limit("apache2")

    @APACHE2
    def test_apache2_query_string_runs_no_command(self):
        # Apache hands a query string without "=" to a CGI program as its
        # command line; under a web server the program must not take it.
        with Installation("apache2") as site:
            cgi = os.path.dirname(site.state["QUILLON_CGI_LOG"])
            ini = os.path.join(cgi, "quillon.ini")
            with open(ini, "rb") as f:
                settings = f.read()
            log = site.state["QUILLON_CGI_LOG"]
            for query in ("-blanklog", "-version_insert_filename+quillon.ini",
                          "-version_insert_filename+quillon", "-FAQ", "help"):
                size = os.path.getsize(log)
                status, page = site.get("/cgi-bin/quillon?" + query)
                self.assertEqual(status, 405, query)
                self.assertNotIn(b"QUILLON -", page)  # no help text
                self.assertGreater(os.path.getsize(log), size, query)
            status, page = site.get("/cgi-bin/quillon?help", data=b"y")
            self.assertEqual(status, 200)
            self.assertNotIn(b"demo ini file", page)
            self.assertEqual(sorted(os.listdir(cgi)),
                             ["quillon", "quillon.ini", "quillon.log"])
            with open(ini, "rb") as f:
                self.assertEqual(settings, f.read())

    @APACHE2
    def test_apache2_serves_visitors_while_slow_clients_hold_connections(self):
        # 300 clients dripping a header for 20 s: the page and a form post
        # still answer within a second throughout, and the server cuts the
        # drippers off rather than waiting for them.
        form = urllib.parse.urlencode(VISITOR).encode()
        with Installation("apache2") as site:
            slow = SlowClients(int(site.state["QUILLON_HTTP_PORT"]), 300)
            worst, samples, sent = 0.0, 0, 0
            try:
                start = time.monotonic()
                next_drip = next_probe = start
                while time.monotonic() - start < 20:
                    now = time.monotonic()
                    if now >= next_drip:
                        slow.drip()
                        next_drip += 1
                    if now >= next_probe:
                        for data in (None, form):
                            began = time.monotonic()
                            status, page = site.get("/cgi-bin/quillon" if data else "/", data,
                                                    timeout=10)
                            worst = max(worst, time.monotonic() - began)
                            self.assertEqual(status, 200)
                        sent += b"<title>Message sent</title>" in page
                        samples += 1
                        next_probe += 0.5
                    time.sleep(max(0, min(next_drip, next_probe) - time.monotonic()))
            finally:
                slow.close()
            print("\nslow clients: %d probes, slowest answer %.3f s, %d drippers cut off"
                  % (samples, worst, slow.cut))
            self.assertLess(worst, 1.0)
            self.assertEqual(sent, samples)
            self.assertGreaterEqual(slow.cut, 300)

    @APACHE2
    def test_apache2_upload_set_up_takes_a_5_mb_file(self):
        # docs/forms.md's Apache lines for uploads with its attachment
        # settings: a file of the whole attachments_max_kb reaches the mail.
        settings = doc_block("settings", "attachments_max_kb").splitlines()
        data = os.urandom(5 * 1024 * 1024)
        body = (multipart_head(b"BB", VISITOR, b"cv.pdf") + data + b"\r\n--BB--\r\n")
        conf = upload_conf()
        self.addCleanup(os.remove, conf)
        with Installation("apache2", settings=settings, conf=conf) as site:
            request = urllib.request.Request(
                site.state["QUILLON_CGI_URL"], data=body,
                headers={"Content-Type": "multipart/form-data; boundary=BB"})
            with urllib.request.urlopen(request, timeout=120) as reply:
                self.assertIn(b"<title>Message sent</title>", reply.read())
            names = site.stored()
            self.assertEqual(len(names), 1)
            with open(os.path.join(site.state["QUILLON_MAIL_DIR"], names[0]), "rb") as f:
                mail = email.message_from_binary_file(f, policy=email.policy.default)
            files = [part for part in mail.iter_attachments()]
            self.assertEqual([part.get_filename() for part in files], ["cv.pdf"])
            self.assertEqual(files[0].get_content(), data)

    @APACHE2
    def test_apache2_upload_set_up_cuts_slow_uploads_and_every_run_logs_its_end(self):
        # More uploads than Apache has threads (34 for 32: the pool scaled
        # down from 512 to keep the test short), each announcing 5 MB and
        # sending 600 bytes a second: the upload set-up's body rate cuts
        # them, a form post is answered meanwhile, and every run Apache
        # ended while it read logs its outcome line.
        pool = (("StartServers", 1), ("ServerLimit", 1), ("ThreadsPerChild", 32),
                ("ThreadLimit", 32), ("MaxRequestWorkers", 32), ("MinSpareThreads", 16),
                ("MaxSpareThreads", 64))
        conf = upload_conf(pool)
        self.addCleanup(os.remove, conf)
        settings = doc_block("settings", "attachments_max_kb").splitlines()
        form = urllib.parse.urlencode(VISITOR).encode()
        with Installation("apache2", settings=settings, conf=conf) as site:
            slow = SlowUploads(int(site.state["QUILLON_HTTP_PORT"]), 34, 5 * 1024 * 1024)
            worst, probes = 0.0, 0
            try:
                start = time.monotonic()
                while time.monotonic() - start < 20:
                    began = time.monotonic()
                    status, page = site.get("/cgi-bin/quillon", form, timeout=40)
                    worst = max(worst, time.monotonic() - began)
                    probes += 1
                    self.assertIn(b"<title>Message sent</title>", page)
                    time.sleep(0.5)
                # The two that waited for a thread are cut in their turn.
                while slow.cut < 34 and time.monotonic() - start < 40:
                    time.sleep(0.5)
            finally:
                slow.close()
            print("\nslow uploads: %d posts, slowest answer %.3f s, %d uploads cut"
                  % (probes, worst, slow.cut))
            self.assertEqual(slow.cut, 34)
            self.assertLess(worst, 15.0)
            log = site.state["QUILLON_CGI_LOG"]

            def unended():
                with open(log, errors="replace") as f:
                    lines = f.read().splitlines()
                pids = lambda word: {l.split(" - ")[1] for l in lines if " - " + word in l}
                return pids("starting version") - pids("outcome: ")
            deadline = time.monotonic() + 20
            while unended() and time.monotonic() < deadline:
                time.sleep(0.5)
            self.assertEqual(unended(), set())

    @unittest.skipUnless(shutil.which("lighttpd") and os.geteuid() == 0,
                         "lighttpd is not installed, or not root")
    def test_quick_start_as_root_runs_the_cgi_unprivileged(self):
        # Whatever runs as the CGI's user may write the log and nothing
        # else of the gateway's: no program, settings, page or folder of it.
        def writable(path):
            return subprocess.run(["runuser", "-u", CGI_USER, "--", "test", "-w",
                                   path]).returncode == 0

        cgi_user = pwd.getpwnam(CGI_USER)
        with Installation("lighttpd") as site:
            log = site.state["QUILLON_CGI_LOG"]
            for path in ("", "cgi-bin", "cgi-bin/quillon", "cgi-bin/quillon.ini",
                         "htdocs", "htdocs/index.html", "pages",
                         "pages/success.html", "pages/failure.html"):
                self.assertFalse(writable(os.path.join(site.dir, path)), path)
            self.assertTrue(writable(log))

            form = urllib.parse.urlencode(VISITOR).encode()
            status, page = site.get("/cgi-bin/quillon", data=form)
            self.assertIn(b"<title>Message sent</title>", page)
            info = os.stat(log)
            self.assertEqual((info.st_uid, info.st_mode & 0o777), (cgi_user.pw_uid, 0o600))
            self.assertGreater(info.st_size, 0)
            # The CGI is a child of the server, which has dropped root.
            with open(os.path.join(site.dir, "logs", "web.pid")) as f:
                pid = int(f.read())
            with open("/proc/%d/status" % pid) as f:
                uids = next(line for line in f if line.startswith("Uid:")).split()[1:]
            self.assertEqual(uids, [str(cgi_user.pw_uid)] * 4)

    @unittest.skipUnless(shutil.which("lighttpd") and os.geteuid() == 0,
                         "lighttpd is not installed, or not root")
    @APACHE2
    def test_apache2_answers_before_its_timeout_when_the_mail_server_is_silent(self):
        # A listener that never accepts: the connection stands, no greeting
        # comes. smtp_timeout 60 waits longer than Apache's Timeout; the
        # default smtp_deadline (25 s) answers before it.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)
        self.addCleanup(silent.close)
        settings = ("smtp 127.0.0.1:%d" % silent.getsockname()[1], "smtp_timeout 60")
        with Installation("apache2", no_smtp=True, settings=settings) as site:
            form = urllib.parse.urlencode(VISITOR).encode()
            status, page = site.get("/cgi-bin/quillon", data=form)
            self.assertEqual(status, 200)
            self.assertIn(b"<title>Message not sent</title>", page)
            with open(site.state["QUILLON_CGI_LOG"], "rb") as f:
                log = f.read()
            self.assertIn(b"reached smtp_deadline (25 s)", log)

    def test_state_files_made_for_the_cgi_user(self):
        # The CGI's user may create nothing in the program's folder: the
        # spool and the rate state must be there, its own, before a post.
        cgi_user = pwd.getpwnam(CGI_USER)
        settings = ("spool_folder ../spool", "rate_limit 5/10")
        with Installation("lighttpd", settings=settings) as site:
            form = urllib.parse.urlencode(VISITOR).encode()
            status, page = site.get("/cgi-bin/quillon", data=form)
            self.assertIn(b"<title>Message sent</title>", page)
            spool = os.path.join(site.dir, "spool")
            rate = os.path.join(site.dir, "cgi-bin", "quillon.rate")
            for path, mode in ((spool, 0o700), (rate, 0o600)):
                info = os.stat(path)
                self.assertEqual((info.st_uid, info.st_mode & 0o777),
                                 (cgi_user.pw_uid, mode), path)
            self.assertEqual(len(os.listdir(os.path.join(spool, "sent"))), 1)
            self.assertGreater(os.path.getsize(rate), 0)


if __name__ == "__main__":
    servers.main()
