"""The virus scan against a real clamd, started once for the suite on a
Unix socket in a temporary folder and on a loopback TCP port, with a
signature database written here (no download): the MD5 of a harmless file
(.hdb) and a hex signature of the anti-virus test text (.ndb), which is
built from its parts and never stored whole. The clamd.conf lines and the
settings lines come from docs/virus.md's marked blocks."""

import glob
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import servers

sys.path.insert(0, os.path.join(servers.REPO, "tests", "cli"))
import harness  # noqa: E402
from test_forms import multipart  # noqa: E402
from test_virus import outcome  # noqa: E402

DOCS = os.path.join(servers.REPO, "docs", "virus.md")
CLAMD = shutil.which("clamd") or "/usr/sbin/clamd"
# The industry's test text, from its parts.
TEST_TEXT = ("X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + "EICAR-STANDARD-" + "ANTIVIRUS-TEST-" +
             "FILE!$H+H*").encode()
MARKED = b"a harmless file that the test database names\n"
STREAM_MAX = 256 * 1024  # the test clamd's StreamMaxLength


def docs_block(name):
    """The fenced block after docs/virus.md's "<!-- clamd-test: NAME -->"."""
    with open(DOCS, encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"<!-- clamd-test: %s -->\n(?:<!-- test: [^>]* -->\n)?```\n(.*?)```\n"
                  % re.escape(name), text, re.S)
    if m is None:
        raise AssertionError("docs/virus.md has no block marked clamd-test: %s" % name)
    return m.group(1)


class Clamd:
    """The one clamd of the suite, its settings from docs/virus.md."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-clamd-")
        self.socket = os.path.join(self.dir, "clamd.ctl")
        self.port = servers.free_port()
        db = os.path.join(self.dir, "db")
        os.mkdir(db)
        with open(os.path.join(db, "quillon.hdb"), "w") as f:
            f.write("%s:%d:Quillon.Test.File\n" % (hashlib.md5(MARKED).hexdigest(), len(MARKED)))
        with open(os.path.join(db, "quillon.ndb"), "w") as f:
            f.write("Quillon.Test.Text:0:*:%s\n" % TEST_TEXT.hex())
        conf = docs_block("clamd.conf")
        # The docs' socket, limit and database stand for the system's; the
        # test's own take their place.
        conf = re.sub(r"(?m)^(LocalSocket|DatabaseDirectory|StreamMaxLength|User|"
                      r"LocalSocketGroup|TCPSocket|TCPAddr) .*\n", "", conf)
        conf += ("Foreground yes\nLocalSocket %s\nTCPSocket %d\nTCPAddr 127.0.0.1\n"
                 "DatabaseDirectory %s\nStreamMaxLength %d\nLogFile %s/clamd.log\n"
                 "TemporaryDirectory %s\n" % (self.socket, self.port, db, STREAM_MAX,
                                              self.dir, self.dir))
        self.conf = os.path.join(self.dir, "clamd.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen([CLAMD, "--config-file=" + self.conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("clamd ended: %s" % self.proc.stderr.read().decode())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
                    s.sendall(b"zPING\0")
                    if s.recv(64).startswith(b"PONG"):
                        return
            except OSError:
                pass
            time.sleep(0.2)
        raise RuntimeError("clamd did not answer PING")

    def stop(self):
        if self.proc is not None:
            servers.stop_process(self.proc)
            self.proc.stderr.close()
            self.proc = None


CLAMD_SERVER = None


def setUpModule():
    global CLAMD_SERVER
    if not os.path.exists(CLAMD):
        raise unittest.SkipTest("clamd is not installed")
    if not harness.BIN or harness.IS_EXE:
        raise unittest.SkipTest("the native program is needed")
    CLAMD_SERVER = Clamd()
    CLAMD_SERVER.start()


def tearDownModule():
    if CLAMD_SERVER is not None:
        CLAMD_SERVER.stop()
        shutil.rmtree(CLAMD_SERVER.dir, ignore_errors=True)


class VirusScanTest(unittest.TestCase):

    def box(self, smtp_port, scan_line, extra=""):
        box = harness.page_sandbox(self)
        settings = docs_block("settings")
        # The docs' address stands for the system's socket.
        settings = re.sub(r"(?m)^virus_scan .*$", scan_line, settings)
        box.write_ini(harness.standard_ini(smtp_port, settings + extra))
        return box

    def post(self, box, files):
        ctype, body = multipart([("Name:", "Ann")] + [(n, n, d) for n, d in files])
        return box.run(body=body, env={"CONTENT_TYPE": ctype, "REQUEST_METHOD": "POST",
                                       "HTTP_ACCEPT": "application/json"})

    def test_verdicts_through_socket_and_port(self):
        cases = [
            # address, files, status, outcome, mails, log words
            ("socket", [("clean.txt", b"nothing to see here\n")], 200, "sent", 1, None),
            ("port", [("clean.txt", b"hello\n"), ("cv.pdf", MARKED)], 422, "infected", 0,
             "{cv.pdf} holds {Quillon.Test.File.UNOFFICIAL}"),
            ("socket", [("t.txt", TEST_TEXT)], 422, "infected", 0,
             "{t.txt} holds {Quillon.Test.Text.UNOFFICIAL}"),
            # Over the stream limit: clamd does not scan it, so it waits.
            ("port", [("big.pdf", b"x" * (STREAM_MAX + 4096))], 202, "spooled", 0,
             "{big.pdf} could not be scanned"),
        ]
        for where, files, status, word, mails, words in cases:
            with self.subTest(files=[name for name, _ in files]), harness.CaptureSMTP() as smtp:
                scan = ("virus_scan clamd " + CLAMD_SERVER.socket if where == "socket"
                        else "virus_scan clamd 127.0.0.1:%d" % CLAMD_SERVER.port)
                box = self.box(smtp.port, scan, "spool_folder spool\nvirus_max_kb 1024\n")
                result = self.post(box, files)
                self.assertEqual((status, word), outcome(result), result.said)
                self.assertEqual(mails, len(smtp.messages))
                if words:
                    self.assertIn(words, box.log_text())
                kept = glob.glob(box.path("spool", "quarantine", "*.txt"))
                self.assertEqual(1 if word == "infected" else 0, len(kept))
                if kept:
                    with open(kept[0], "rb") as f:
                        self.assertIn(b"\nmark: infected\n", f.read())

    def test_down_keeps_the_message_until_resend_scans_it(self):
        with harness.CaptureSMTP() as smtp:
            dead = servers.free_port()
            box = self.box(smtp.port, "virus_scan clamd 127.0.0.1:%d" % dead,
                           "spool_folder spool\n")
            self.assertEqual((202, "spooled"),
                             outcome(self.post(box, [("a.txt", b"fine\n")])))
            self.assertEqual((202, "spooled"),
                             outcome(self.post(box, [("b.txt", MARKED)])))
            queued = glob.glob(box.path("spool", "queue", "*.txt"))
            self.assertEqual(2, len(queued))
            with open(queued[0], "rb") as f:
                self.assertIn(b"\nscan: pending\n", f.read())
            # Still down: nothing leaves the queue.
            self.assertEqual(3, box.run(args=["-resend"]).code)
            self.assertEqual(0, len(smtp.messages))
            # Back: the clean one is sent, the other goes to quarantine/.
            ini = box.read("quillon.ini").decode().replace("127.0.0.1:%d" % dead,
                                                  "127.0.0.1:%d" % CLAMD_SERVER.port)
            box.write_ini(ini)
            resend = box.run(args=["-resend"])
            self.assertEqual(0, resend.code, resend.said)
            self.assertEqual(1, len(smtp.messages))
            self.assertIn(b"ZmluZQo=", smtp.messages[0]["data"])  # "fine\n"
            self.assertIn(b"moved to quarantine/ (infected: Quillon.Test.File.UNOFFICIAL)",
                          resend.stdout)
            self.assertEqual(1, len(glob.glob(box.path("spool", "quarantine", "*.txt"))))

    def test_down_without_spool_sends_nothing(self):
        with harness.CaptureSMTP() as smtp:
            box = self.box(smtp.port, "virus_scan clamd 127.0.0.1:%d" % servers.free_port())
            result = self.post(box, [("a.txt", b"fine\n")])
            self.assertEqual((503, "scan_unavailable"), outcome(result))
            self.assertEqual(0, len(smtp.messages))

    def test_check_finds_the_test_text(self):
        box = self.box(1, "virus_scan clamd " + CLAMD_SERVER.socket,
                       "virus_max_kb 1024\nattachments_max_kb 2048\n")
        out = box.run(args=["-check"]).text
        self.assertIn("clamd: ClamAV ", out)
        self.assertIn("the anti-virus test text: found (Quillon.Test.Text.UNOFFICIAL)", out)
        self.assertIn("problem: attachments_max_kb 2048 is over virus_max_kb 1024", out)


if __name__ == "__main__":
    servers.main()
