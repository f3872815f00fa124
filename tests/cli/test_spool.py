"""The spool: every message on disk from before its dialogue until a server
took it, -resend for what waits, and runs killed on the way."""

import os
import random
import re
import shutil
import subprocess
import time
import unittest

import harness
from scripted_smtp import SILENT, ScriptedSMTP

# A value with a line that begins with "." (dot-stuffed on the wire only)
# and both kinds of copy, so the envelope has all its roles.
FORM = harness.FORM + "&Note=one%0A.two"
SETTINGS = ("headerline CC: copy@example.com\n"
            "headerline BCC: hidden@example.com\n"
            "sendall true\n")
SPOOL = "spool_folder spool\n"
ENVELOPE = [b"QUILLON spool 1", b"line-ending: CRLF",
            b"mail-from: form@example.com", b"rcpt-to: owner@example.com",
            b"rcpt-bcc: hidden@example.com", b"rcpt-cc: copy@example.com"]
RCPTS = ["owner@example.com", "hidden@example.com", "copy@example.com"]
PAUSE = "QUILLON_TEST_PAUSE_AT"


def read_spool(path):
    """The envelope lines and the message of a spool file."""
    with open(path, "rb") as f:
        data = f.read()
    envelope, _, message = data.partition(b"\n\n")
    return envelope.split(b"\n"), message


def output(result):
    """What a command printed, with Windows line ends as LF."""
    return result.text.replace("\r\n", "\n")


def tagged(i):
    return FORM + "&Run=%d" % i


def tags(messages):
    return sorted(int(re.search(rb"\(Run\)==\((\d+)\)", m["data"]).group(1))
                  for m in messages)


class SpoolCase(unittest.TestCase):
    """A sandbox whose pages show ||quillon_spooled||, and the direct
    delivery every spooled one must equal."""

    @classmethod
    def setUpClass(cls):
        # What a direct run without a spool delivers: the yardstick.
        box = harness.Sandbox()
        try:
            with harness.CaptureSMTP() as server:
                box.write_ini(harness.standard_ini(server.port, crlf=True,
                                                   pages=False, extra=SETTINGS))
                box.run(body=FORM)
            cls.direct = server.messages[0]
        finally:
            box.cleanup()

    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.box.write("success.html", "<html>THANKS [||quillon_spooled||]</html>\n")
        self.box.write("failure.html", "<html>SORRY [||quillon_spooled||]</html>\n")

    def configure(self, port, extra=""):
        self.box.write_ini(harness.standard_ini(port, crlf=True,
                                                extra=SETTINGS + SPOOL + extra))

    def submit(self, port, extra="", body=FORM):
        self.configure(port, extra)
        result = self.box.run(body=body)
        self.assertEqual(0, result.code, result.said)
        return result

    def resend(self, port, extra=""):
        self.configure(port, extra)
        return self.box.run(args=["-resend"])

    def files(self, folder):
        path = self.box.path("spool", folder)
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def queued(self):
        return [self.box.path("spool", "queue", n) for n in self.files("queue")]

    def assert_delivered_as_direct(self, message):
        for key in ("mail_from", "rcpt_tos", "data"):
            self.assertEqual(self.direct[key], message[key], key)

    def paused(self, step, args=(), body=FORM, port=None):
        """Starts a run that stops at `step`, and returns it once it got
        there; the caller kills it."""
        if port is not None:
            self.configure(port)
        for attempt in range(1, harness.WINE_STARTS + 1):
            proc = self.box.start(args=args, content_length=str(len(body)),
                                  env={PAUSE: step})
            if not args:
                proc.stdin.write(body.encode())
            proc.stdin.close()
            wine = b""
            line = proc.stderr.readline()
            while harness.WINE_LINE.match(line):
                wine += line
                line = proc.stderr.readline()
            if line or attempt == harness.WINE_STARTS or not wine:
                break
            # Ended before its first line of its own: when Wine could not
            # start it, it is started again, as Sandbox.run does.
            out = proc.stdout.read()
            proc.wait(timeout=30)
            self.kill(proc)
            if not harness.wine_refused(proc.returncode, out, wine):
                break
            harness.note_refused(proc.returncode, wine)
        self.assertEqual("paused at %s" % step, line.decode().rstrip(), line)
        return proc

    def kill(self, proc):
        proc.kill()
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()


class SpoolTest(SpoolCase):
    def test_message_of_a_failed_run_waits_and_is_resent_once(self):
        faults = [
            ("down", None, "", "_0.txt"),
            # Settings that cannot be used: kept until they are mended.
            ("unusable settings", None, "smtp_password pw\n", "_0.txt"),
            ("refusing", {".": b"554 5.7.1 not today\r\n"}, "", "_1.txt"),
            ("deferring", {".": b"451 4.3.0 try again later\r\n"}, "", "_1.txt"),
            ("timing out", {".": SILENT}, "smtp_timeout 1\n", "_1.txt"),
        ]
        for fault, replies, extra, suffix in faults:
            with self.subTest(fault=fault):
                self.setUp()
                if replies is None:
                    result = self.submit(harness.free_port(), extra)
                else:
                    with ScriptedSMTP(replies) as server:
                        result = self.submit(server.port, extra)
                self.assertIn(b"SORRY [yes]", result.stdout)
                [path] = self.queued()
                self.assertTrue(path.endswith(suffix), path)
                envelope, message = read_spool(path)
                self.assertEqual(ENVELOPE, envelope)
                # The server stores the content with its closing CR LF.
                self.assertEqual(self.direct["data"], message + b"\r\n")

                with harness.CaptureSMTP() as server:
                    first = self.resend(server.port)
                    again = self.resend(server.port)
                self.assertEqual(0, first.code, output(first))
                self.assertIn("%s: sent\n" % os.path.basename(path), output(first))
                self.assertEqual(1, len(server.messages))
                self.assert_delivered_as_direct(server.messages[0])
                self.assertEqual([], self.files("queue"))
                self.assertEqual(1, len(self.files("sent")))
                self.assertEqual(0, again.code, output(again))

    def test_delivered_message_leaves_the_queue(self):
        for keep, sent in (("", 1), ("spool_keep_sent false\n", 0)):
            with self.subTest(keep=keep):
                self.setUp()
                with harness.CaptureSMTP() as server:
                    result = self.submit(server.port, keep)
                self.assertIn(b"THANKS []", result.stdout)
                self.assert_delivered_as_direct(server.messages[0])
                self.assertEqual([], self.files("queue") + self.files("tmp"))
                self.assertEqual(sent, len(self.files("sent")))

    def test_resend_removes_sent_files_older_than_the_days_kept(self):
        old = self.box.write("spool/sent/old.txt", "x")
        self.box.write("spool/sent/new.txt", "x")
        forty_days_ago = time.time() - 40 * 86400
        os.utime(old, (forty_days_ago, forty_days_ago))
        self.resend(harness.free_port(), "spool_keep_sent 30\n")
        self.assertEqual(["new.txt"], self.files("sent"))

    def test_unusable_spool_folder_still_sends_with_one_error_line(self):
        # The tests run as root, whom folder rights do not stop: a file in
        # the folder's place cannot be written into by anyone.
        self.box.write("spool", "not a folder")
        with harness.CaptureSMTP() as server:
            result = self.submit(server.port)
        self.assertIn(b"THANKS []", result.stdout)
        self.assertEqual(1, len(server.messages))
        spool_lines = [m for m in self.box.log_messages()
                       if "spool" in m and not m.startswith("line used")]
        self.assertEqual(1, len(spool_lines), spool_lines)
        self.assertTrue(spool_lines[0].startswith("spool: cannot keep the message"),
                        spool_lines)

    @unittest.skipIf(harness.IS_EXE, "under Wine the wineserver makes the flush")
    def test_spool_file_is_on_disk_before_it_enters_the_queue(self):
        if not shutil.which("strace") or subprocess.run(
                ["strace", "-o", os.devnull, "true"]).returncode != 0:
            harness.cannot_run(self, "strace is missing or may not trace here")
        trace = os.path.join(self.box.root, "trace")
        self.configure(harness.free_port())
        self.box.run(body=FORM, under=["strace", "-f", "-y", "-o", trace, "-e",
                                       "trace=fsync,fdatasync,rename,renameat,renameat2,link,linkat"])
        with open(trace) as f:
            calls = f.read().splitlines()

        def first(pattern):
            return next((i for i, call in enumerate(calls) if re.search(pattern, call)), None)
        entered = first(r"(rename|link)\w*\(.*spool/tmp/.*spool/queue/.* = 0$")
        flushed = first(r"f(data)?sync\(\d+<[^>]*/spool/tmp/[^>]*>\) = 0$")
        folder_flushed = first(r"fsync\(\d+<[^>]*/spool/queue>\) = 0$")
        self.assertIsNotNone(entered, calls)
        self.assertTrue(flushed is not None and flushed < entered,
                        ("the file was not flushed before its rename", calls))
        self.assertTrue(folder_flushed is not None and folder_flushed > entered,
                        ("queue/ was not flushed after the rename", calls))

    def test_resend_with_the_server_still_down_keeps_everything(self):
        port = harness.free_port()
        self.submit(port)
        self.submit(port)
        first, second = self.files("queue")
        result = self.resend(port)
        self.assertEqual(3, result.code, output(result))
        self.assertIn("%s: kept in the queue as %s (the server did not respond; 0 of 20 "
                      "attempts)\n" % (first, first), output(result))
        # Nobody to talk to: the rest is not tried, and nothing is counted.
        self.assertIn("%s: not tried (the server did not respond)\n" % second, output(result))
        self.assertIn("2 waiting in queue/", output(result))
        self.assertEqual([first, second], self.files("queue"))

    def test_resend_gives_up_after_20_failures_or_7_days(self):
        week_ago = time.strftime("%Y%m%dT%H%M%S",
                                 time.gmtime(time.time() - 8 * 86400))
        cases = [
            ("20 failures", lambda n: n.replace("_0.txt", "_19.txt"),
             {".": b"554 5.7.1 never\r\n"}, "_20.txt"),
            ("7 days", lambda n: week_ago + n[15:], {}, "_0.txt"),
        ]
        for name, rename, replies, failed_suffix in cases:
            with self.subTest(name):
                self.setUp()
                self.submit(harness.free_port())
                [path] = self.queued()
                os.rename(path, os.path.join(os.path.dirname(path),
                                             rename(os.path.basename(path))))
                with ScriptedSMTP(replies) as server:
                    result = self.resend(server.port)
                self.assertEqual(0, result.code, output(result))
                self.assertIn("moved to failed/", output(result))
                [failed] = self.files("failed")
                self.assertTrue(failed.endswith(failed_suffix), failed)
                self.assertEqual([], self.files("queue"))
                errors = [m for m in self.box.log_messages()
                          if m.startswith("resend: {") and "moved to failed/" in m]
                self.assertEqual(1, len(errors), errors)

    def test_resend_without_a_spool_folder(self):
        self.box.write_ini(harness.standard_ini(harness.free_port()))
        result = self.box.run(args=["-resend"])
        self.assertEqual(3, result.code)
        self.assertIn("resend: no spool_folder line in the settings file", output(result))

    def test_claim_of_another_machine_is_released_after_the_time_out(self):
        for age, released in ((7200, True), (60, False)):
            with self.subTest(age=age):
                self.setUp()
                self.submit(harness.free_port())
                [path] = self.queued()
                name = os.path.basename(path)
                stamp = time.strftime("%Y%m%dT%H%M%S.000000Z",
                                      time.gmtime(time.time() - age))
                claims = self.box.path("spool", "work",
                                       stamp + "_elsewhere_1_0123456789abcdef")
                os.makedirs(claims)
                held = os.path.join(claims, name)
                os.rename(path, held)
                then = time.time() - age
                os.utime(held, (then, then))
                with harness.CaptureSMTP() as server:
                    result = self.resend(server.port)
                self.assertEqual(1 if released else 0, len(server.messages), output(result))
                self.assertEqual(not released, os.path.exists(held))


class BoundsTest(SpoolCase):
    """What an attacker can make of the queue and of -resend."""

    def test_full_queue_sends_without_a_copy(self):
        # What fills it: queue/ itself, or the folders counted with it.
        for folder in ("queue", "hooks", "quarantine"):
            with self.subTest(folder=folder):
                self.setUp()
                self.box.write("spool/%s/big" % folder, "x" * (1024 * 1024))
                with harness.CaptureSMTP() as server:
                    result = self.submit(server.port, "spool_max_mb 1\n")
                self.assertIn(b"THANKS []", result.stdout)
                self.assertEqual(1, len(server.messages))
                self.assertEqual(["big"], self.files(folder))
                self.assertEqual([], self.files("sent"))
                full = [m for m in self.box.log_messages() if "spool_max_mb" in m
                        and not m.startswith("line used")]
                self.assertEqual(1, len(full), full)

    def test_resend_reads_the_destination_of_format_2(self):
        self.submit(harness.free_port())
        [kept] = self.queued()
        with open(kept, "rb") as f:
            data = f.read()
        os.remove(kept)
        name = os.path.basename(kept)
        stem = name[:-len("_0.txt")]
        mail = data.replace(b"QUILLON spool 1\n", b"QUILLON spool 2\ndestination: mail\n", 1)
        self.box.write("spool/queue/" + name, mail.decode())
        head = stem.rsplit("_", 1)[0]
        others = {head + "_%016x_0.txt" % 1: "webhook 1", head + "_%016x_0.txt" % 2: "fax"}
        for other, destination in others.items():
            self.box.write("spool/queue/" + other,
                           "QUILLON spool 2\ndestination: %s\n{}" % destination)
        self.box.write("spool/hooks/x.hook1", "{}")
        self.box.write("spool/quarantine/y.txt", "z")
        with harness.CaptureSMTP() as server:
            result = self.resend(server.port)
        self.assertEqual(3, result.code, output(result))
        self.assertIn("%s: sent\n" % name, output(result))
        self.assert_delivered_as_direct(server.messages[0])
        self.assertEqual(1, len(server.messages))
        self.assertEqual(sorted(others), self.files("queue"))
        for other, destination in others.items():
            self.assertIn("%s: left in the queue (for the destination %s)\n"
                          % (other, destination), output(result))
            self.assertIn("resend: {%s} is for the destination {%s}, which -resend does not "
                          "deliver; left in queue/." % (other, destination),
                          self.box.log_messages())
        self.assertEqual(["x.hook1"], self.files("hooks"))

    @unittest.skipIf(harness.IS_EXE, "POSIX FIFOs")
    def test_fifo_in_the_queue_is_moved_aside_unread(self):
        self.submit(harness.free_port())
        [path] = self.queued()
        os.remove(path)
        os.mkfifo(path)
        with harness.CaptureSMTP() as server:
            result = self.resend(server.port)
        self.assertIn("moved to failed/ (not a readable spool file: it is not a regular "
                      "file)", output(result))
        self.assertEqual([os.path.basename(path)], self.files("failed"))

    @unittest.skipIf(harness.IS_EXE, "POSIX symbolic links")
    def test_failed_folder_that_is_a_link_is_not_followed(self):
        self.submit(harness.free_port())
        elsewhere = self.box.path("elsewhere")
        os.mkdir(elsewhere)
        os.symlink(elsewhere, self.box.path("spool", "failed"))
        [path] = self.queued()
        os.rename(path, os.path.join(os.path.dirname(path), "not-a-spool-name.txt"))
        with harness.CaptureSMTP() as server:
            self.resend(server.port)
        self.assertEqual([], os.listdir(elsewhere))
        self.assertTrue(any("cannot be moved to failed/" in m
                            for m in self.box.log_messages()))

    @unittest.skipUnless(not harness.IS_EXE and hasattr(os, "geteuid") and os.geteuid() == 0,
                         "needs root, and another user to own the spool")
    def test_root_resend_refuses_a_spool_root_does_not_own(self):
        self.submit(harness.free_port())
        for folder, _, files in os.walk(self.box.path("spool")):
            for name in [folder] + [os.path.join(folder, f) for f in files]:
                os.lchown(name, 65534, 65534)
        queued = self.files("queue")
        with harness.CaptureSMTP() as server:
            result = self.resend(server.port)
        self.assertEqual(3, result.code, output(result))
        self.assertIn("is not this user's own folder: -resend runs only as the user owning it",
                      output(result))
        self.assertEqual([], server.messages)
        self.assertEqual(queued, self.files("queue"))
        self.assertEqual([], self.files("work"))


class CrashTest(SpoolCase):
    """Runs killed with SIGKILL at each step of spooling and of -resend
    (where QUILLON_TEST_PAUSE_AT stops them), and at random moments of
    spooling: no half file in queue/, no message lost, none sent twice."""

    def test_killed_while_spooling(self):
        with harness.CaptureSMTP() as server:
            # Written to tmp/ only: nothing reached the queue or the server.
            self.kill(self.paused("spool-written", port=server.port))
            self.assertEqual(([], 1), (self.files("queue"), len(self.files("tmp"))))
            # In the queue before the dialogue: while its writer lives a
            # resend leaves it alone; once the writer died, it is sent.
            run = self.paused("spool-queued", port=server.port)
            [path] = self.queued()
            self.assertEqual(ENVELOPE, read_spool(path)[0])
            self.assertEqual(self.direct["data"], read_spool(path)[1] + b"\r\n")
            left = self.resend(server.port)
            self.assertIn("left to the run that wrote it", output(left))
            self.kill(run)
            self.assertEqual(0, self.resend(server.port).code)
            self.assertEqual(1, len(server.messages))
            # Killed after the server took it: sent once, nothing waits.
            self.kill(self.paused("spool-sent", port=server.port))
            self.assertEqual(0, self.resend(server.port).code)
        self.assertEqual(2, len(server.messages))
        for message in server.messages:
            self.assert_delivered_as_direct(message)
        self.assertEqual([], self.files("queue"))

    def test_killed_while_resending(self):
        down = harness.free_port()
        self.submit(down)
        self.submit(down)
        with harness.CaptureSMTP() as server:
            # Claimed, not sent: the next resend finds its run gone and
            # sends the message.
            self.kill(self.paused("resend-claimed", args=["-resend"], port=server.port))
            self.assertEqual(1, len(self.files("queue")))
            self.assertEqual(0, len(server.messages))
            # Killed after the first message was sent and moved.
            self.kill(self.paused("resend-sent", args=["-resend"], port=server.port))
            self.assertEqual(1, len(server.messages))
            result = self.resend(server.port)
        self.assertEqual(0, result.code, output(result))
        self.assertEqual(2, len(server.messages))
        self.assertEqual([], self.files("queue"))
        self.assertEqual(2, len(self.files("sent")))
        self.assertEqual([], [f for d in self.files("work")
                              for f in os.listdir(self.box.path("spool", "work", d))])

    def test_killed_at_random_moments_of_spooling(self):
        down = harness.free_port()
        self.configure(down)
        rng = random.Random(14)
        runs = 30
        for i in range(runs):
            body = tagged(i)
            proc = self.box.start(content_length=str(len(body)))
            proc.stdin.write(body.encode())
            proc.stdin.close()
            time.sleep(rng.uniform(0, 0.006))
            self.kill(proc)
        for path in self.queued():
            envelope, message = read_spool(path)
            self.assertEqual(ENVELOPE, envelope, path)
            # Whole to its last line, which names the run.
            self.assertTrue(message.startswith(self.direct["data"][:100]), path)
            self.assertRegex(message, rb"\r\n\(Run\)==\(\d+\)\r\n$", path)
        waiting = len(self.queued())
        with harness.CaptureSMTP() as server:
            result = self.resend(server.port)
        self.assertEqual(0, result.code, output(result))
        got = tags(server.messages)
        self.assertEqual(waiting, len(got))
        self.assertEqual(sorted(set(got)), got)


class ManyTest(unittest.TestCase):
    def test_200_submissions_while_down_then_three_resends(self):
        box = harness.Sandbox()
        self.addCleanup(box.cleanup)
        box.write_ini(harness.standard_ini(harness.free_port(), crlf=True, pages=False,
                                           extra=SETTINGS + SPOOL + "logging errors\n"))
        total, at_once = 200, 20
        for start in range(0, total, at_once):
            for result in box.run_concurrently([tagged(i) for i in range(start, start + at_once)]):
                self.assertEqual(0, result.code, (result.said, box.log_text()[-3000:]))
        self.assertEqual(total, len(os.listdir(box.path("spool", "queue"))))

        with harness.CaptureSMTP() as server:
            box.write_ini(harness.standard_ini(server.port, crlf=True, pages=False,
                                               extra=SETTINGS + SPOOL + "logging errors\n"))
            outputs = [result.text for result in
                       box.run_concurrently([b""] * 3, timeout=300, args=["-resend"])]
        self.assertEqual(list(range(total)), tags(server.messages), outputs)
        self.assertEqual(total, sum(out.count(": sent\n") for out in outputs))
        self.assertEqual([], os.listdir(box.path("spool", "queue")))
        self.assertEqual(total, len(os.listdir(box.path("spool", "sent"))))


if __name__ == "__main__":
    unittest.main()
