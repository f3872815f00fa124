"""-check: the report on a set-up before the first visitor (settings lines,
pages, the files the runs write, a trial exchange with the mail server
without MAIL), probable mistakes named in a run's log, and smtp_deadline
bounding the whole exchange."""

import os
import time
import unittest
import warnings

import shutil

import harness
import scripted_smtp
import tls_fixture
from captcha_server import CaptchaServer
from test_provider import PASSWORD, USER, authenticator

ON_POSIX_AS_ROOT = not harness.IS_EXE and os.geteuid() == 0


class CheckTest(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)
        warnings.filterwarnings("ignore", category=UserWarning)
        warnings.filterwarnings("ignore", category=DeprecationWarning)

    def check(self, ini, args=()):
        self.box.write_ini(ini)
        result = self.box.run(args=["-check"] + list(args), timeout=60)
        return result, result.stdout.decode("latin-1")

    def test_good_set_up_is_ready_and_sends_nothing(self):
        with harness.CaptureSMTP() as server:
            result, out = self.check(harness.standard_ini(server.port))
        self.assertEqual(0, result.code, out)
        self.assertEqual("ready", out.splitlines()[-1])
        for step in ("connect: ok", "greeting: ok, 220", "EHLO: ok, 250", "QUIT: ok, 221"):
            self.assertIn(step, out)
        self.assertIn("token ||Name:||", out)
        self.assertEqual([], server.messages)
        # The check writes nothing to the log.
        self.assertFalse(os.path.exists(self.box.log_path))
        # A note is no problem: the set-up above is still ready.
        self.assertIn("  note: no spool_folder: a submission is lost when the mail server is "
                      "down\n", out)

    def test_refused_value_alone_is_one_problem(self):
        with harness.CaptureSMTP() as server:
            result, out = self.check(harness.standard_ini(server.port) + "smtp_timeout abc\n")
        self.assertEqual(3, result.code, out)
        self.assertEqual("1 problem", out.splitlines()[-1])

    @harness.needs(tls_fixture.available(), "openssl is not installed")
    def test_captcha_secret_file_and_service(self):
        secret = "0x4AAA-check-secret"
        shutil.copy(self.captcha_server().ca, self.box.path("ca.pem"))
        self.box.write("secret.txt", secret + "\n")
        cases = [  # mode, secret file, the section's lines, last line
            ("refuse", "secret.txt",
             ["  the secret file {secret.txt} is readable",
              "  the turnstile verification service answers (a dummy token, so a refusal "
              "is expected)"], "ready"),
            ("error500", "secret.txt",
             ["  the secret file {secret.txt} is readable",
              "  problem: the verification service could not be asked: answered with "
              "status 500"], "1 problem"),
            ("refuse", "nosuch.txt",
             ["  problem: captcha_secret_file nosuch.txt cannot be read"], "1 problem"),
        ]
        for mode, secret_file, lines, last in cases:
            with self.subTest(mode=mode, secret_file=secret_file):
                before = len(self.server.requests)
                with harness.CaptureSMTP() as smtp:
                    result, out = self.check(harness.standard_ini(smtp.port, "\n".join([
                        "captcha turnstile", "captcha_secret_file " + secret_file,
                        "captcha_ca_file ca.pem",
                        "captcha_verify_url " + self.server.url(mode)]) + "\n"))
                report = out.splitlines()
                section = report[report.index("captcha") + 1:-1]
                self.assertEqual(lines + [last], section + report[-1:], out)
                self.assertEqual(0 if last == "ready" else 3, result.code)
                self.assertNotIn(secret, out)
                asked = self.server.requests[before:]
                self.assertEqual(0 if secret_file == "nosuch.txt" else 1, len(asked))

    def captcha_server(self):
        self.server = CaptchaServer()
        self.addCleanup(self.server.close)
        return self.server

    def test_each_probable_mistake_is_named_without_its_value(self):
        ini = harness.standard_ini(0, pages=False) + (
            "smpt 10.0.0.1\n"
            "smtp_timeout\t5\n"
            "  sendall true\n"
            "SMTP_TIMEOUT 4\n"
            "smtp_pasword s3cret\n"
            "Dear visitor, thank you\n")
        result, out = self.check(ini)
        self.assertEqual(3, result.code)
        for line in ("line 10 `smpt`: not used (did you mean smtp?)",
                     "line 11 `smtp_timeout`: not used (did you mean smtp_timeout? a blank "
                     "after it, not a tab)",
                     "line 12 `sendall`: not used (did you mean sendall? at the start of "
                     "the line, no blanks before it)",
                     "line 13 `SMTP_TIMEOUT`: not used (did you mean smtp_timeout?",
                     "line 14 `smtp_pasword`: not used (did you mean smtp_password?)",
                     "line 15: ignored as text",
                     "problem: success_html_page is not set"):
            self.assertIn(line, out)
        self.assertNotIn("s3cret", out)
        # The pages' two problems, the five lines and the refused server.
        self.assertEqual("8 problems", out.splitlines()[-1])

    def test_run_logs_each_probable_mistake_once(self):
        ini = harness.standard_ini(0).replace("smtp 127.0.0.1:0", "smpt 127.0.0.1:0")
        self.box.write_ini(ini + "smtp_pasword s3cret\n")
        self.box.run(body=harness.FORM)
        messages = self.box.log_messages()
        self.assertIn("line 1 not used: `smpt` (did you mean smtp?)", messages)
        self.assertIn("line 12 not used: `smtp_pasword` (did you mean smtp_password?)",
                      messages)
        self.assertNotIn("s3cret", self.box.log_text())

    @unittest.skipIf(harness.IS_EXE, "folder modes do not bind the Windows user here")
    def test_a_key_kept_in_the_state_file_needs_the_file(self):
        # Without it the window fails open in every run; -check says so.
        with harness.CaptureSMTP() as server:
            result, out = self.check(harness.standard_ini(server.port) + "duplicate_window 10\n")
        self.assertEqual(3, result.code, out)
        self.assertRegex(out, r"problem: duplicate_window state \S+quillon\.rate is not there: "
                         r"create it owned by the web server's user, mode 600")

    @unittest.skipIf(harness.IS_EXE, "folder modes do not bind the Windows user here")
    def test_unwritable_spool_is_a_problem(self):
        spool = self.box.path("spool")
        os.makedirs(spool)
        args = ()
        if ON_POSIX_AS_ROOT:
            # Root writes anywhere: the web server's user is the one to try.
            os.chmod(self.box.root, 0o755)
            args = ("--as", "nobody")
        else:
            os.chmod(spool, 0o555)
        self.addCleanup(os.chmod, spool, 0o755)
        result, out = self.check(harness.standard_ini(0) + "spool_folder spool\n", args)
        self.assertEqual(3, result.code)
        self.assertRegex(out, r"problem: spool folder \S+spool is not writable by %s" %
                         ("nobody" if args else "the current user"))

    @unittest.skipUnless(ON_POSIX_AS_ROOT, "needs root to act as another user")
    def test_files_a_run_reads_are_read_as_the_as_user(self):
        os.chmod(self.box.root, 0o755)
        self.box.write("password.txt", "s3cret\n")
        os.chmod(self.box.path("password.txt"), 0o600)
        self.box.write("quillon.log", "")
        os.chmod(self.box.log_path, 0o600)
        with harness.CaptureSMTP() as server:
            result, out = self.check(harness.standard_ini(server.port) +
                                     "smtp_security starttls\nsmtp_user form\n"
                                     "smtp_password_file password.txt\n",
                                     ("--as", "nobody"))
        self.assertEqual(3, result.code, out)
        self.assertIn("cannot be opened: Permission denied", out)
        self.assertNotIn("AUTH: ok", out)
        self.assertRegex(out, r"problem: log \S+quillon.log is not writable by nobody "
                              r"\(Permission denied\)")

    @unittest.skipUnless(ON_POSIX_AS_ROOT, "needs root")
    def test_root_does_not_probe_another_users_folder(self):
        spool = self.box.path("spool")
        os.makedirs(spool)
        os.chown(spool, 65534, 65534)
        with harness.CaptureSMTP() as server:
            result, out = self.check(harness.standard_ini(server.port) + "spool_folder spool\n")
        self.assertIn("spool_folder %s: not tried (it belongs to another user" % spool, out)
        self.assertEqual([], [n for n in os.listdir(spool) if n.startswith(".quillon-check")])

    @unittest.skipIf(harness.IS_EXE, "POSIX links")
    def test_a_linked_log_is_a_problem_and_never_followed(self):
        # A link planted where the log goes must not make -check (often
        # root's) create or open its target.
        target = self.box.path("victim")
        os.symlink(target, self.box.log_path)
        with harness.CaptureSMTP() as server:
            result, out = self.check(harness.standard_ini(server.port))
        self.assertEqual(3, result.code, out)
        self.assertRegex(out, r"problem: log \S+quillon.log is not a regular file")
        self.assertFalse(os.path.exists(target))

    def test_as_user_is_refused_where_it_cannot_switch(self):
        if ON_POSIX_AS_ROOT:
            self.skipTest("root can switch")
        result, out = self.check(harness.standard_ini(0), ("--as", "nobody"))
        self.assertEqual(3, result.code)
        reason = ("checks run as the current user" if harness.IS_EXE
                  else "--as needs root")
        self.assertIn("-check --as nobody: " + reason, out)

    def test_tls_against_a_plain_port_asks_which_port(self):
        with harness.CaptureSMTP() as server:
            result, out = self.check(harness.standard_ini(
                server.port, extra="smtp_security tls\n"))
        self.assertEqual(3, result.code)
        self.assertIn("; is this port for starttls (587) or tls (465)?", out)
        self.assertIn("problem: TLS failed", out)

    def test_silent_server_is_bounded_by_the_deadline(self):
        with scripted_smtp.ScriptedSMTP(replies={"greeting": scripted_smtp.SILENT}) as server:
            started = time.monotonic()
            result, out = self.check(harness.standard_ini(
                server.port, extra="smtp_security starttls\nsmtp_timeout 30\nsmtp_deadline 2\n"))
            elapsed = time.monotonic() - started
        self.assertEqual(3, result.code)
        self.assertLess(elapsed, 15)
        self.assertIn("reached smtp_deadline (2 s)", out)
        self.assertIn("sent no greeting in time; is this port for starttls (587) or tls (465)?",
                      out)
        self.assertIn("problem: greeting failed", out)


@harness.needs(tls_fixture.available(), "openssl is not installed")
class CheckProviderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tls = tls_fixture.TlsFiles()

    @classmethod
    def tearDownClass(cls):
        cls.tls.cleanup()

    def setUp(self):
        self.box = harness.page_sandbox(self)
        warnings.filterwarnings("ignore", category=UserWarning)
        warnings.filterwarnings("ignore", category=DeprecationWarning)

    def check(self, ca, password):
        options = {"auth_required": True, "authenticator": authenticator,
                   "tls_context": self.tls.server_context(), "require_starttls": True}
        with harness.CaptureSMTP(**options) as server:
            self.box.write_ini(harness.standard_ini(server.port).replace(
                "smtp 127.0.0.1:", "smtp localhost:") +
                "smtp_security starttls\nsmtp_ca_file %s\nsmtp_user %s\nsmtp_password %s\n"
                % (ca, USER, password))
            result = self.box.run(args=["-check"], timeout=60)
        self.assertEqual([], server.messages)
        out = result.stdout.decode("latin-1")
        self.assertNotIn(password, out)
        return result, out

    def test_refused_auth_shows_the_reply(self):
        result, out = self.check(self.tls.ca, "wrong password")
        self.assertEqual(3, result.code)
        self.assertIn("STARTTLS: ok, 220", out)
        self.assertIn("TLS: ok", out)
        self.assertIn("problem: AUTH failed: 535", out)
        self.assertIn("QUIT: ok, 221", out)

    def test_real_credentials_are_accepted(self):
        result, out = self.check(self.tls.ca, PASSWORD)
        self.assertEqual(0, result.code, out)
        self.assertIn("AUTH: ok, 235", out)

    def test_wrong_ca_fails_the_handshake(self):
        result, out = self.check(self.tls.other_ca, PASSWORD)
        self.assertEqual(3, result.code)
        self.assertIn("problem: TLS failed", out)
        self.assertNotIn("AUTH", out)


class DeadlineTest(unittest.TestCase):
    def test_each_step_inside_the_timeout_still_ends_at_the_deadline(self):
        box = harness.page_sandbox(self)

        def slow(reply):
            def answer(_line):
                time.sleep(1.5)
                return reply
            return answer
        replies = {verb: slow(reply) for verb, reply in scripted_smtp.DEFAULT_REPLIES.items()
                   if verb not in ("greeting", ".")}
        with scripted_smtp.ScriptedSMTP(replies=replies) as server:
            box.write_ini(harness.standard_ini(
                server.port, extra="smtp_timeout 2\nsmtp_deadline 3\n"))
            result = box.run(body=harness.FORM)
        self.assertIn(b"SORRY", result.stdout)
        # EHLO, MAIL, RCPT, DATA would take 6 s; the deadline ends it at 3 s.
        self.assertLess(result.elapsed, 5.5)
        messages = box.log_messages()
        self.assertIn("the exchange with the SMTP email server reached smtp_deadline (3 s).",
                      messages)
        self.assertIn("Email not sent.", messages)


if __name__ == "__main__":
    unittest.main()
