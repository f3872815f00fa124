"""The shared state (shared_state postgresql://...) when its database
cannot be used: nothing listening, a server that takes the connection and
never answers, the client library missing. Each run mails as it would
without the shared state, within the time-out, with one error line and
the outcome line's "; shared state unavailable"; the archive in the same
database says "not archived". The Windows build refuses both keys instead
and keeps the state file."""

import os
import socket
import threading
import time
import unittest

import harness

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
    def run_with(self, smtp, port, env=None):
        box = harness.page_sandbox(self)
        box.write("db-password", "secret\n")
        extra = ("rate_limit 5/10\nduplicate_window 10\nshared_state_timeout 1\n"
                 "shared_state postgresql://cgi@127.0.0.1:%d/forms\n"
                 "archive postgresql://cgi@127.0.0.1:%d/forms\narchive_timeout 1\n"
                 "database_password_file db-password\n" % (port, port))
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


if __name__ == "__main__":
    unittest.main()
