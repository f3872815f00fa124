"""The virus scan against a scripted clamd on 127.0.0.1 (TCP, so the
Windows program meets it too): the stream's framing as the daemon reads
it, the verdicts and what each one sends, keeps and answers, a daemon that
accepts and never answers, and -check's report. The real daemon's cases
are in tests/deploy/test_clamd.py."""

import glob
import json
import os
import re
import socket
import struct
import threading
import time
import unittest

import harness
from harness import CaptureSMTP, page_sandbox, standard_ini
from test_forms import multipart

SIGNATURE = "Fake.Test.Sig"
MARK = b"INFECTED-BY-TEST"


class FakeClamd:
    """Answers zINSTREAM with FOUND when the stream holds MARK, else OK;
    zVERSION with a version and database line. With `stall` it accepts and
    never answers. `streams` keeps each stream's chunk lengths and bytes."""

    def __init__(self, stall=False):
        self.stall = stall
        self.streams = []
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            if self.stall:
                self.held.append(conn)
                continue
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    @staticmethod
    def read(conn, count):
        data = b""
        while len(data) < count:
            piece = conn.recv(count - len(data))
            if not piece:
                raise EOFError
            data += piece
        return data

    def answer(self, conn):
        with conn:
            command = b""
            while not command.endswith(b"\0"):
                command += self.read(conn, 1)
            if command == b"zVERSION\0":
                conn.sendall(b"ClamAV 1.4.6/27480/Tue Dec  9 09:25:02 2026\0")
                return
            lengths, data = [], b""
            while True:
                (length,) = struct.unpack(">I", self.read(conn, 4))
                lengths.append(length)
                if length == 0:
                    break
                data += self.read(conn, length)
            self.streams.append((lengths, data))
            found = MARK in data or b"EICAR-STANDARD" in data
            conn.sendall(b"stream: %s FOUND\0" % SIGNATURE.encode() if found else b"stream: OK\0")

    def close(self):
        self.sock.close()
        for conn in self.held:
            conn.close()


def outcome(result):
    head, _, body = result.stdout.partition(b"\n\n")
    return int(head.split(b"Status: ")[1][:3]), json.loads(body)["outcome"]


class VirusScanTest(unittest.TestCase):

    def post(self, clamd_port, files, extra, smtp):
        box = page_sandbox(self)
        box.write_ini(standard_ini(smtp.port, crlf=True, extra="virus_scan clamd 127.0.0.1:%d\n"
                                   % clamd_port + extra))
        ctype, body = multipart([("Name:", "Ann")] + [(n, n, d) for n, d in files])
        result = box.run(body=body, env={"CONTENT_TYPE": ctype, "REQUEST_METHOD": "POST",
                                         "HTTP_ACCEPT": "application/json"})
        return box, result

    def test_verdicts(self):
        big = bytes(range(256)) * 600  # 150 KiB: three chunks
        cases = [
            # name, files, stall, settings, (status, outcome), mails, log words
            ("clean", [("a.pdf", big)], False, "", (200, "sent"), 1, None),
            ("found", [("a.txt", b"ok"), ("b.txt", MARK)], False, "spool_folder spool\n",
             (422, "infected"), 0, "{b.txt} holds {%s} (clamd); nothing sent." % SIGNATURE),
            ("stalled", [("a.txt", b"ok")], True, "spool_folder spool\nvirus_timeout 1\n",
             (202, "spooled"), 0, "{a.txt} could not be scanned (clamd did not answer in time"),
            ("stalled, no spool", [("a.txt", b"ok")], True, "virus_timeout 1\n",
             (503, "scan_unavailable"), 0, "nothing sent"),
            ("stalled, sent anyway", [("a.txt", b"ok")], True,
             "virus_timeout 1\nvirus_unreachable send\n", (200, "sent"), 1,
             "sent unscanned (virus_unreachable send)"),
            ("attachments off", [("a.txt", MARK)], True, "attachments off\n", (200, "sent"), 1,
             None),
            ("over virus_max_kb", [("a.pdf", big)], False, "spool_folder spool\nvirus_max_kb 100\n",
             (202, "spooled"), 0, "over virus_max_kb 100"),
        ]
        for name, files, stall, extra, answer, mails, words in cases:
            # With attachments off no file is sent, so none is scanned.
            extra = extra.replace("attachments off\n", "") if "attachments off" in extra \
                else "attachments_max_kb 2048\n" + extra
            with self.subTest(name), CaptureSMTP() as smtp:
                clamd = FakeClamd(stall=stall)
                try:
                    started = time.monotonic()
                    box, result = self.post(clamd.port, files, extra, smtp)
                    self.assertEqual(answer, outcome(result), result.said)
                    self.assertLess(time.monotonic() - started, 20)
                finally:
                    clamd.close()
                self.assertEqual(mails, len(smtp.messages))
                if words:
                    self.assertIn(words, box.log_text())
                if name == "clean":
                    # Every file whole, in chunks of 64 KiB and a zero-length end.
                    self.assertEqual([([65536, 65536, len(big) - 131072, 0], big)], clamd.streams)
                if name == "over virus_max_kb":
                    self.assertEqual([], clamd.streams)
                if answer[1] == "spooled":
                    queued = glob.glob(box.path("spool", "queue", "*.txt"))
                    self.assertEqual(1, len(queued))
                    self.assertRegex(box.log_text(),
                                     r"outcome: kept in the spool, not yet scanned for viruses: "
                                     r"[^\n]+, spool " +
                                     re.escape(os.path.basename(queued[0])[:-len("_0.txt")]))
                if answer[1] == "infected":
                    self.assertEqual(1, len(glob.glob(box.path("spool", "quarantine", "*.txt"))))

    def test_resend_scans_a_large_held_message_whole(self):
        data = bytes(range(256)) * 4800  # over 1 MiB once encoded: -resend streams such files
        stalled = FakeClamd(stall=True)
        with CaptureSMTP() as smtp:
            try:
                box, result = self.post(stalled.port, [("big.pdf", data)], (
                    "attachments_max_kb 2048\nspool_folder spool\nvirus_timeout 1\n"), smtp)
            finally:
                stalled.close()
            self.assertEqual((202, "spooled"), outcome(result))
            clamd = FakeClamd()
            self.addCleanup(clamd.close)
            ini = box.read("quillon.ini").decode().replace(str(stalled.port), str(clamd.port))
            box.write_ini(ini)
            box.run(args=["-resend"])
            self.assertEqual(1, len(smtp.messages))
            # The scanner read the whole message, its file's base64 included.
            self.assertEqual(1, len(clamd.streams))
            self.assertGreater(len(clamd.streams[0][1]), len(data) * 4 // 3)

    def test_check_reports_the_daemon(self):
        clamd = FakeClamd()
        self.addCleanup(clamd.close)
        box = page_sandbox(self)
        box.write_ini(standard_ini(1, "virus_scan clamd 127.0.0.1:%d\n" % clamd.port))
        out = box.run(args=["-check"]).text
        self.assertIn("clamd: ClamAV 1.4.6", out)
        self.assertIn("database version 27480 of Tue Dec  9 09:25:02 2026", out)
        self.assertIn("the anti-virus test text: found (%s)" % SIGNATURE, out)


if __name__ == "__main__":
    unittest.main()
