"""The CAPTCHA step of a run against the local verification service
(captcha_server.py) and a real SMTP server: the outcome of each kind of
answer, the order of the guards, and the confirmation mail that only goes
behind a passed check."""

import email
import email.policy
import os
import shutil
import unittest
import urllib.parse

import harness
import tls_fixture
from captcha_server import CaptchaServer

SECRET = "0x4AAA-secret-key-77"
TOKEN = "tok-" + "Q" * 300
CLIENT = "192.0.2.7"
AUTOREPLY = "\n".join(["autoreply_to_variable Email:", "autoreply_subject Thanks",
                       "autoreply_file reply.txt"])
FIELD = {"turnstile": "cf-turnstile-response", "hcaptcha": "h-captcha-response",
         "recaptcha": "g-recaptcha-response"}


@harness.needs(tls_fixture.available(), "openssl is not installed")
class CaptchaRunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = CaptchaServer(delay=4.0)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def run_form(self, mode="turnstile", provider="turnstile", extra="", fields=None,
                 token=TOKEN, box=None, smtp_port=None):
        box = box or harness.page_sandbox(self)
        shutil.copy(self.server.ca, box.path("ca.pem"))
        box.write("secret.txt", SECRET + "\n")
        box.write("reply.txt", "Hello ||Name:||,\nwe got it.\r\n")
        settings = "\n".join([
            "captcha " + provider, "captcha_secret_file secret.txt", "captcha_ca_file ca.pem",
            "captcha_verify_url " + self.server.url(mode), "captcha_timeout 2", extra])
        with harness.CaptureSMTP() as smtp:
            box.write_ini(harness.standard_ini(smtp_port or smtp.port, settings + "\n"))
            pairs = {"Name:": "Joe", "Email:": "joe@example.net"}
            if token is not None:
                pairs[FIELD[provider]] = token
            pairs.update(fields or {})
            before = len(self.server.requests)
            result = box.run(body=urllib.parse.urlencode(pairs),
                             env={"REMOTE_ADDR": CLIENT, "REQUEST_METHOD": "POST"})
        log = box.log_text()
        for hidden in (SECRET, TOKEN):
            self.assertNotIn(hidden, log + result.text)
        self.box = box
        return result, smtp.messages, self.server.requests[before:], log

    def test_each_answer(self):
        cases = [  # mode, provider, extra settings, mail sent, log text
            ("turnstile", "turnstile", "", True, "captcha: turnstile passed."),
            ("hcaptcha", "hcaptcha", "", True, "captcha: hcaptcha passed."),
            ("chunked", "turnstile", "", True, "passed"),
            ("refuse", "turnstile", "", False,
             "the turnstile check failed: {provider said no: invalid-input-response, "
             "timeout-or-duplicate}; nothing sent."),
            ("wrong_hostname", "turnstile", "allowed_origin www.example.com", False,
             "hostname evil.test not allowed"),
            ("low_score", "recaptcha", "", False, "score 0.3 below 0.5"),
            ("error500", "turnstile", "", False, "answered with status 500}; nothing sent."),
            ("invalid_json", "turnstile", "", False, "answer is not JSON"),
            ("slow", "turnstile", "", False, "timed out"),
            ("error500", "turnstile", "captcha_unreachable send", True,
             "sending unchecked (captcha_unreachable send)"),
        ]
        for mode, provider, extra, sent, text in cases:
            with self.subTest(mode=mode, extra=extra):
                result, mails, requests, log = self.run_form(mode, provider, extra)
                self.assertEqual(1 if sent else 0, len(mails))
                self.assertIn("THANKS" if sent else "SORRY", result.text)
                self.assertIn(text, log)
                fields = requests[0]["fields"]
                self.assertEqual((SECRET, TOKEN, CLIENT),
                                 (fields["secret"], fields["response"], fields["remoteip"]))

    def test_token_kept_out_of_mail_log_and_page(self):
        box = harness.page_sandbox(self)
        box.write("success.html", "THANKS [||cf-turnstile-response||] ||Name:||\n")
        extra = "sendall true\nuse_submitted_variable_for_bodycontent cf-turnstile-response"
        result, mails, requests, log = self.run_form(extra=extra, box=box)
        self.assertEqual(TOKEN, requests[0]["fields"]["response"])
        self.assertIn("THANKS [] Joe", result.text)
        data = mails[0]["data"].decode()
        self.assertIn("(Name:)==(Joe)", data)
        self.assertIn(" cf-turnstile-response \n", data)  # the line, an empty value
        self.assertNotIn("(cf-turnstile-response)", data)
        self.assertNotIn(TOKEN, data)
        self.assertIn("add_body_variable(cf-turnstile-response,(hidden)}", log)

    def test_cheap_guards_first_and_no_token(self):
        for extra, fields, token in (("honeypot_variable website", {"website": "x"}, TOKEN),
                                     ("rate_limit 1/60\nrate_limit 1/60", {}, None)):
            with self.subTest(extra=extra):
                _, mails, requests, log = self.run_form(extra=extra, fields=fields, token=token)
                self.assertEqual([], requests)
                self.assertEqual([], mails)
        self.assertIn("{no token}", log)

    def test_confirmation_behind_a_passed_check(self):
        extra = "\n".join(["autoreply_to_variable Email:", "autoreply_subject Thanks",
                           "autoreply_file reply.txt", "use_submitted_variable_for_reply_to Email:"])
        result, mails, _, log = self.run_form(extra=extra)
        self.assertIn("THANKS", result.text)
        self.assertEqual(2, len(mails))
        self.assertEqual(["joe@example.net"], mails[1]["rcpt_tos"])
        self.assertEqual("form@example.com", mails[1]["mail_from"])
        reply = email.message_from_bytes(mails[1]["data"], policy=email.policy.default)
        self.assertEqual("auto-replied", reply["Auto-Submitted"])
        self.assertIsNone(reply["Reply-To"])
        self.assertIsNotNone(reply["Date"])
        self.assertIsNotNone(reply["Message-ID"])
        self.assertTrue(reply.get_content().startswith("Hello Joe,\nwe got it.\n"))
        self.assertIn(b"Hello Joe,\nwe got it.\n", mails[1]["data"])
        self.assertIn("autoreply: confirmation sent to {joe@example.net}.", log)

        # The same address again within autoreply_window: the mail, no confirmation.
        _, mails, _, log = self.run_form(extra=extra, fields={"Email:": "JOE@example.net"},
                                         box=self.box)
        self.assertEqual(1, len(mails))
        self.assertIn("had one within the last 60 minutes", log)

        # Refused check, two addresses: no confirmation.
        _, mails, _, _ = self.run_form(mode="refuse", extra=extra)
        self.assertEqual([], mails)
        _, mails, _, log = self.run_form(extra=extra, fields={"Email:": "a@x.test b@x.test"})
        self.assertEqual(1, len(mails))
        self.assertIn("autoreply: no confirmation sent: the field (Email:)", log)

    def test_a_confirmation_that_went_nowhere_leaves_the_window_open(self):
        _, mails, _, log = self.run_form(extra=AUTOREPLY, smtp_port=harness.free_port())
        self.assertEqual([], mails)
        self.assertIn("the message itself went nowhere", log)
        # The visitor's retry a minute later gets its confirmation.
        _, mails, _, _ = self.run_form(extra=AUTOREPLY, box=self.box)
        self.assertEqual(2, len(mails))

    def test_no_confirmation_when_its_window_cannot_be_kept(self):
        box = harness.page_sandbox(self)
        os.mkdir(box.path("quillon.rate"))  # unusable even to root
        result, mails, _, log = self.run_form(extra=AUTOREPLY, box=box)
        self.assertIn("THANKS", result.text)
        self.assertEqual(1, len(mails))
        lines = [line for line in log.splitlines() if "autoreply" in line and "ini file" not in line]
        self.assertEqual(1, len(lines), lines)
        self.assertRegex(lines[0], r"autoreply_window state file \(.*quillon\.rate\) could not "
                         r"be opened \(\d+\)\(.*\): no confirmation sent; create")

    def test_no_confirmation_without_captcha(self):
        box = harness.page_sandbox(self)
        box.write("reply.txt", "Hello\n")
        with harness.CaptureSMTP() as smtp:
            box.write_ini(harness.standard_ini(smtp.port, "\n".join([
                "autoreply_to_variable Email:", "autoreply_subject Thanks",
                "autoreply_file reply.txt"]) + "\n"))
            result = box.run(body="Name:=Joe&Email:=joe%40example.net",
                             env={"REMOTE_ADDR": CLIENT})
        self.assertIn("THANKS", result.text)
        self.assertEqual(1, len(smtp.messages))
        self.assertEqual(1, box.log_text().count("autoreply_to_variable is set without captcha"))


if __name__ == "__main__":
    unittest.main()
