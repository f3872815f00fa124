"""The shared state (shared_state postgresql://...) when its database
cannot be used: nothing listening, a server that takes the connection and
never answers, the client library missing. Each run mails as it would
without the shared state, within the time-out, with one error line and
the outcome line's "; shared state unavailable"; the archive in the same
database says "not archived". With shared_state_unreachable keep, the
message waits in the spool instead, for -resend to judge. The Windows
build refuses the keys instead and keeps the state file."""

import glob
import os
import socket
import threading
import time
import unittest

import harness
from test_forms import multipart

IS_EXE = harness.IS_EXE


class Silent:
    """Takes connections on 127.0.0.1 and never answers (a paused server)."""

    def __enter__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self.take, daemon=True).start()
        return self

    def take(self):
        while True:
            try:
                self.held.append(self.sock.accept()[0])
            except OSError:
                return

    def __exit__(self, *exc):
        self.sock.close()
        for conn in self.held:
            conn.close()


class SharedStateFaults(unittest.TestCase):
    def run_with(self, smtp, port, env=None, more=""):
        box = harness.page_sandbox(self)
        box.write("db-password", "secret\n")
        extra = ("rate_limit 5/10\nduplicate_window 10\nshared_state_timeout 1\n"
                 "shared_state postgresql://cgi@127.0.0.1:%d/forms\n"
                 "archive postgresql://cgi@127.0.0.1:%d/forms\narchive_timeout 1\n"
                 "database_password_file db-password\n" % (port, port)) + more
        box.write_ini(harness.standard_ini(smtp.port, extra))
        full_env = {"REQUEST_METHOD": "POST", "REMOTE_ADDR": "192.0.2.44"}
        full_env.update(env or {})
        return box, box.run(body=harness.FORM, env=full_env)

    def test_an_unusable_database_costs_no_mail_and_no_wait(self):
        fake_library = harness.Sandbox()
        self.addCleanup(fake_library.cleanup)
        fake_library.write("libpq.so.5", "no shared object\n")
        with harness.CaptureSMTP() as smtp, Silent() as silent:
            cases = [
                ("nothing listening", harness.free_port(), None, "cannot connect"),
                ("never answering", silent.port, None, "no answer from the database"),
                ("no client library", silent.port, {"LD_LIBRARY_PATH": fake_library.dir},
                 "libpq.so.5: file too short)"),
            ]
            for name, port, env, why in cases:
                with self.subTest(case=name):
                    before = len(smtp.messages)
                    box, result = self.run_with(smtp, port, env)
                    log = box.log_text()
                    self.assertIn("THANKS Joe Bloggs", result.text)
                    self.assertEqual(before + 1, len(smtp.messages))
                    self.assertLess(result.elapsed, 4)
                    if IS_EXE:
                        self.assertIn("shared_state cannot be used: this build cannot load "
                                      "the PostgreSQL client library (libpq)", log)
                        self.assertIn("archive cannot be on PostgreSQL: this build cannot load "
                                      "the PostgreSQL client library (libpq)", log)
                        self.assertNotIn("shared state unavailable", log)
                        self.assertNotIn("not archived", log)
                        continue
                    self.assertEqual(1, log.count("shared_state: the database cannot be used"))
                    self.assertIn(why, log)
                    if env is not None:
                        self.assertIn("PostgreSQL client library not available (", log)
                    self.assertIn("; not archived; shared state unavailable", log)
                    self.assertEqual(1, log.count("; not archived ("))
                    self.assertNotIn("secret", log)

    @unittest.skipIf(IS_EXE, "the Windows build refuses shared_state")
    def test_keep_waits_in_the_spool_until_the_database_answers(self):
        ctype, files = multipart([("Name:", "Ann"), ("f", "a.txt", b"text")])
        scan = ("attachments_max_kb 100\nvirus_scan clamd 127.0.0.1:%d\n" % harness.free_port())
        cases = [
            # name, settings, post, the queue file's marks ("": none kept)
            ("kept", "spool_folder spool\n", None, "judge: shared_state\n"
             "client: 192.0.2.44\nduplicate: [0-9a-f]{32}\n"),
            ("kept unscanned too", "spool_folder spool\n" + scan,
             {"CONTENT_TYPE": ctype}, "scan: pending\njudge: shared_state\n"
             "client: 192.0.2.44\nduplicate: [0-9a-f]{32}\n"),
            ("no spool: sent", "", None, ""),
        ]
        with harness.CaptureSMTP() as smtp:
            for name, more, post, marks in cases:
                with self.subTest(name):
                    before = len(smtp.messages)
                    env = {"HTTP_ACCEPT": "application/json"}
                    env.update(post or {})
                    box = harness.page_sandbox(self)
                    box.write("db-password", "secret\n")
                    box.write_ini(harness.standard_ini(smtp.port, (
                        "rate_limit 5/10\nduplicate_window 10\nshared_state_timeout 1\n"
                        "shared_state postgresql://cgi@127.0.0.1:%d/forms\n"
                        "database_password_file db-password\nshared_state_unreachable keep\n"
                        % harness.free_port()) + more))
                    result = box.run(body=files if post else harness.FORM, env=dict(
                        env, REQUEST_METHOD="POST", REMOTE_ADDR="192.0.2.44"))
                    log = box.log_text()
                    self.assertIn("; shared state unavailable", log)
                    if not marks:
                        self.assertEqual(1, len(smtp.messages) - before)
                        self.assertIn('"outcome": "sent"', result.text)
                        self.assertIn("no spool_folder to keep the message in; it is sent "
                                      "unjudged", log)
                        self.assertIn("shared_state_unreachable keep: no spool_folder",
                                      box.run(args=["-check"]).text)
                        continue
                    self.assertIn("Status: 202", result.text)
                    self.assertIn('"outcome": "spooled"', result.text)
                    queued = glob.glob(box.path("spool", "queue", "*.txt"))
                    self.assertEqual(1, len(queued))
                    if not post:
                        self.assertIn("outcome: kept in the spool for -resend to judge, spool "
                                      + os.path.basename(queued[0])[:-len("_0.txt")], log)
                    with open(queued[0]) as kept:
                        head = kept.read().split("\n\n")[0]
                    self.assertRegex(head, "^QUILLON spool 2\ndestination: mail\n" + marks +
                                     "line-ending: ")
                    # Still down: the message stays, its attempts not counted.
                    if not post:
                        out = box.run(args=["-resend"]).text
                        self.assertIn("_0.txt (not judged: the shared state cannot be used)",
                                      out)
                        self.assertEqual(1, len(glob.glob(box.path("spool", "queue",
                                                                   "*_0.txt"))))
                    self.assertEqual(before, len(smtp.messages))

if __name__ == "__main__":
    unittest.main()
