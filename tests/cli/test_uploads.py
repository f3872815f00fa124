"""Uploads at constant memory: the files of a multipart post go through a
temporary file that no ending of the run leaves behind, and arrive byte for
byte in the mail, in the spool copy and after -resend, under a 64 MB cap."""

import base64
import os
import shutil
import signal
import time
import unittest

import harness
from harness import CaptureSMTP, page_sandbox, standard_ini
from test_forms import multipart, parsed
from test_spool import read_spool

MB = 1024 * 1024
ON = "attachments_max_kb 20480\n"
SPOOL = "spool_folder spool\n"
# Dots and line ends at line starts, NUL and high bytes; over a megabyte, so
# -resend sends its spool copy from the file in blocks.
PAYLOAD = (b".\r\n.." + bytes(range(256)) * 64 + b"\r\n.\n") * 90
PLAIN_BUILD = not harness.IS_EXE and "ASAN_OPTIONS" not in os.environ


def files_of(data):
    return [(p.get_filename(), p.get_content()) for p in parsed({"data": data}).iter_attachments()]


def old_assembly(data, files):
    """The message as it was built whole in memory: each file's base64 in
    lines of 76 characters between its part head and the next delimiter."""
    head, sep, rest = data.partition(b"Content-Transfer-Encoding: base64\r\n\r\n")
    if not sep:
        return data
    encoded = base64.encodebytes(files[0]).replace(b"\n", b"\r\n").rstrip(b"\r\n")
    end = rest.index(b"\r\n--=_quillon_")
    return head + sep + encoded + old_assembly(rest[end:], files[1:])


class UploadCase(unittest.TestCase):
    def setUp(self):
        self.box = page_sandbox(self)
        self.tmp = self.box.path("tmp")
        os.mkdir(self.tmp)
        self.content_type, self.body = multipart(
            [("Name:", "Joe"), ("upload", "scan.png", PAYLOAD), ("more", "empty.txt", b"")])

    def run_post(self, port, extra="", body=None, under=()):
        self.box.write_ini(standard_ini(port, ON + extra, crlf=True))
        return self.box.run(body=self.body if body is None else body, under=under,
                            env={"CONTENT_TYPE": self.content_type, "TMPDIR": self.tmp,
                                 "HTTP_ACCEPT": "application/json"})

    def queued(self):
        [name] = os.listdir(self.box.path("spool", "queue"))
        return read_spool(self.box.path("spool", "queue", name))[1]


class IdenticalBytesTest(UploadCase):
    def test_files_are_identical_in_mail_spool_and_resend(self):
        expected = [("scan.png", PAYLOAD), ("empty.txt", "")]
        with CaptureSMTP() as server:
            self.assertIn(b'"outcome": "sent"', self.run_post(server.port).stdout)
        [message] = server.messages
        data = message["data"]
        self.assertEqual(expected, files_of(data))
        self.assertEqual(old_assembly(data, [PAYLOAD, b""]), data)
        # The server down: the spool copy, then -resend sends it as kept.
        result = self.run_post(harness.free_port(), SPOOL)
        self.assertIn(b'"outcome": "spooled"', result.stdout)
        kept = self.queued()
        self.assertEqual(expected, files_of(kept))
        with CaptureSMTP() as server:
            self.box.write_ini(standard_ini(server.port, ON + SPOOL, crlf=True))
            self.box.run(args=["-resend"])
        [resent] = server.messages
        self.assertEqual(kept + b"\r\n", resent["data"])


@unittest.skipIf(harness.IS_EXE, "the Windows program's temporary folder is not TMPDIR")
class NothingLeftTest(UploadCase):
    def test_no_temporary_file_after_any_ending(self):
        endings = [
            ("sent", "", True, b'"sent"'),
            ("refused", "attachment_type .pdf\n", True, b'"unsupported"'),
            ("spooled", SPOOL, False, b'"spooled"'),
        ]
        for label, extra, up, outcome in endings:
            with self.subTest(label), CaptureSMTP() as server:
                result = self.run_post(server.port if up else harness.free_port(), extra)
                self.assertIn(outcome, result.stdout)
                self.assertEqual([], os.listdir(self.tmp))

    def test_a_temporary_folder_that_cannot_be_written_answers_server_error(self):
        os.rmdir(self.tmp)
        with CaptureSMTP() as server:
            result = self.run_post(server.port)
        self.assertIn(b'"outcome": "server_error"', result.stdout)
        self.assertEqual([], server.messages)
        self.assertIn("the uploaded files cannot be kept in a temporary file (2: ",
                      "\n".join(self.box.log_messages()))

    def test_a_run_killed_mid_upload_leaves_nothing(self):
        self.box.write_ini(standard_ini(harness.free_port(), ON, crlf=True))
        proc = self.box.start(content_length=str(len(self.body)),
                              env={"CONTENT_TYPE": self.content_type, "TMPDIR": self.tmp})
        proc.stdin.write(self.body[:len(self.body) // 2])
        proc.stdin.flush()
        # The file's bytes are in a file already, one with no name.
        held = []
        for _ in range(100):
            fds = "/proc/%d/fd" % proc.pid
            held = [os.readlink(os.path.join(fds, fd)) for fd in os.listdir(fds)]
            held = [link for link in held if link.startswith(self.tmp)]
            if held:
                break
            time.sleep(0.05)
        self.assertTrue(held and all("deleted" in link or "#" in link for link in held), held)
        self.assertEqual([], os.listdir(self.tmp))
        proc.send_signal(signal.SIGKILL)
        proc.communicate()
        self.assertEqual([], os.listdir(self.tmp))


@unittest.skipUnless(PLAIN_BUILD, "an address-space cap cannot bind the sanitizers' shadow "
                     "memory nor a Windows program: the plain build runs it")
class MemoryCapTest(UploadCase):
    def test_twenty_megabytes_under_a_64_mb_cap(self):
        big = os.urandom(20 * MB)
        self.content_type, self.body = multipart([("Name:", "Joe"), ("upload", "cv.pdf", big)])
        capped = ("sh", "-c", 'ulimit -v 65536 && exec "$0" "$@"')
        timed = capped
        if shutil.which("time") or os.path.exists("/usr/bin/time"):
            timed = ("/usr/bin/time", "-f", "peak %M") + capped
        with CaptureSMTP() as server:
            result = self.run_post(server.port, under=timed)
        self.assertIn(b'"outcome": "sent"', result.stdout)
        [message] = server.messages
        self.assertEqual([("cv.pdf", big)], files_of(message["data"]))
        peak = [line for line in result.stderr.decode().splitlines() if line.startswith("peak ")]
        if peak:
            self.assertLessEqual(int(peak[0].split()[1]), 8192, peak)
        # Spooled with the server down, then resent under the same cap.
        result = self.run_post(harness.free_port(), SPOOL, under=capped)
        self.assertIn(b'"outcome": "spooled"', result.stdout)
        with CaptureSMTP() as server:
            self.box.write_ini(standard_ini(server.port, ON + SPOOL, crlf=True))
            result = self.box.run(args=["-resend"], under=capped)
        [message] = server.messages
        self.assertEqual([("cv.pdf", big)], files_of(message["data"]))


if __name__ == "__main__":
    unittest.main()
