"""Delivery through a mail provider: STARTTLS and TLS from the first byte
against real aiosmtpd servers with certificates of a test CA, AUTH PLAIN and
LOGIN, the refusals that must leave nothing delivered, and complete messages
(standard headers, Reply-To) read back with Python's email package."""

import email
import email.policy
import email.utils
import os
import re
import shutil
import ssl
import subprocess
import time
import unittest
import warnings

import harness
import scripted_smtp
import tls_fixture
from test_mail import body_block, header_block

USER = "ann@example.com"
PASSWORD = "s3cr\xe9t pass"  # a blank and a byte above 127 travel too



def authenticator(server, session, envelope, mechanism, auth_data):
    from aiosmtpd.smtp import AuthResult

    ok = (auth_data.login.decode() == USER
          and auth_data.password.decode("latin-1") == PASSWORD)
    # handled=False makes aiosmtpd answer a refusal with 535.
    return AuthResult(success=ok, handled=ok, auth_data=auth_data)


def tls_server(context, mode, mechanisms=("PLAIN", "LOGIN")):
    """aiosmtpd requiring AUTH, over STARTTLS (required) or TLS from the
    first byte, offering `mechanisms`."""
    options = {"auth_required": True, "authenticator": authenticator,
               "auth_exclude_mechanism": [m for m in ("PLAIN", "LOGIN")
                                          if m not in mechanisms]}
    if mode == "starttls":
        options.update(tls_context=context, require_starttls=True)
    else:
        options.update(ssl_context=context, auth_require_tls=False)
    return harness.CaptureSMTP(**options)


def secrets_in(text):
    """Which forms of the password (or the credentials) occur in `text`."""
    import base64
    plain = ("\0" + USER + "\0" + PASSWORD).encode("latin-1")
    forms = [PASSWORD, base64.b64encode(plain).decode(),
             base64.b64encode(PASSWORD.encode("latin-1")).decode()]
    return [form for form in forms if form in text]


class ProviderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not tls_fixture.available():
            harness.cannot_run(cls, "openssl is not installed")
        cls.tls = tls_fixture.TlsFiles()
        # A certificate that names another host only.
        cls.other_name = tls_fixture.TlsFiles(names=("mail.other.test",), ips=())

    @classmethod
    def tearDownClass(cls):
        cls.tls.cleanup()
        cls.other_name.cleanup()

    def setUp(self):
        self.box = harness.page_sandbox(self)
        # aiosmtpd warns about AUTH without STARTTLS on the implicit-TLS
        # server (its check sees STARTTLS only); TLS 1.1 is deprecated.
        warnings.filterwarnings("ignore", category=UserWarning)
        warnings.filterwarnings("ignore", category=DeprecationWarning)

    def run_form(self, port, security, extra="", ca=None, host="localhost",
                 user=USER, password=PASSWORD, body=harness.FORM, env=None):
        """One submission; `ca` False trusts the system's store alone."""
        lines = ["smtp_security " + security]
        if ca is not False:
            lines.append("smtp_ca_file " + (ca or self.tls.ca))
        if user:
            lines.append("smtp_user " + user)
        if password:
            lines.append("smtp_password " + password)
        ini = harness.standard_ini(port, extra="\n".join(lines) + "\n" + extra)
        self.box.write_ini(ini.replace("smtp 127.0.0.1:", "smtp %s:" % host))
        result = self.box.run(body=body, env=env)
        self.assertEqual(0, result.code, result.said)
        return result

    def assert_not_sent(self, result, server, error):
        self.assertIn(b"SORRY", result.stdout)
        if server is not None:
            self.assertEqual([], server.messages)
        messages = self.box.log_messages()
        self.assertIn("Email not sent.", messages)
        self.assertTrue(any(re.fullmatch(error, m) for m in messages),
                        "%r not in %s" % (error, "\n".join(messages)))

    def test_submission_in_both_modes_with_each_mechanism(self):
        # The password comes from a file once: its first line, CR LF cut.
        pw_file = self.box.write("secret/pw", (PASSWORD + "\r\nnot this\n"), 0o600)
        for mode in ("starttls", "tls"):
            for mechanism in ("PLAIN", "LOGIN"):
                with self.subTest(mode=mode, mechanism=mechanism):
                    self.setUp()
                    from_file = mode == "tls" and mechanism == "LOGIN"
                    extra = "smtp_password_file %s\n" % pw_file if from_file else ""
                    extra += "hello_name web.example.com\n"
                    with tls_server(self.tls.server_context(), mode,
                                    (mechanism,)) as server:
                        result = self.run_form(server.port, mode, extra=extra,
                                               password=None if from_file else PASSWORD)
                    self.assertIn(b"THANKS Joe Bloggs", result.stdout)
                    self.assertEqual(1, len(server.messages), self.box.log_text())
                    msg = server.messages[0]
                    self.assertEqual(USER, msg["user"])
                    self.assertEqual("web.example.com", msg["helo"])
                    self.assertIn(msg["tls"], ("TLSv1.2", "TLSv1.3"))
                    self.assertEqual("form@example.com", msg["mail_from"])
                    self.assertEqual(["owner@example.com"], msg["rcpt_tos"])
                    # CR LF although the settings ask for none.
                    e = "\r\n"
                    expected = header_block(e) + e + body_block(e) + "\r\n"
                    self.assertEqual(expected.encode(), msg["data"])
                    log = self.box.log_text()
                    self.assertRegex(log, r"TLS started: TLSv1\.[23] \S+, certificate "
                                          r"verified for \(localhost\)")
                    shown = ("AUTH PLAIN (credentials hidden)" if mechanism == "PLAIN"
                             else "(password hidden)")
                    self.assertIn("SEND(", log)
                    self.assertIn("{%s\n}" % shown, log)
                    self.assertEqual([], secrets_in(log + result.text))
                    self.assertIn("email sent! (1)", self.box.log_messages())
                    # Nothing before the handshake but the greeting and EHLO.
                    if mode == "starttls":
                        sends = re.findall(r"SEND\(\d+\): \{([^\n]*)", log)
                        self.assertEqual(["EHLO web.example.com", "STARTTLS",
                                          "EHLO web.example.com"],
                                         sends[:3])

    def test_system_store_is_trusted(self):
        # Linux: a certificate folder of the test's own in place of the
        # system's; Windows: the test CA in the prefix's root store.
        env = None
        if harness.IS_EXE:
            helper = os.path.join(os.path.dirname(harness.BIN), "add_root_cert.exe")
            if not os.path.exists(helper):
                harness.cannot_run(self, "no add_root_cert.exe beside the program")
            ca = "Z:" + self.tls.ca.replace("/", "\\")
            harness.run_windows_tool([harness.WINE, helper, ca]).check_returncode()
            self.addCleanup(subprocess.run, [harness.WINE, helper, "-d", ca],
                            capture_output=True)
        else:
            store = os.path.join(self.box.root, "certs")
            os.mkdir(store)
            shutil.copy(self.tls.ca, store)
            subprocess.run(["openssl", "rehash", store], check=True, capture_output=True)
            env = {"SSL_CERT_DIR": store}
        with tls_server(self.tls.server_context(), "tls") as server:
            result = self.run_form(server.port, "tls", ca=False, env=env)
        self.assertIn(b"THANKS", result.stdout, self.box.log_text())
        self.assertEqual(1, len(server.messages))

    def test_refusals_leave_nothing_delivered(self):
        cases = [
            ("wrong password", self.tls.server_context(), "starttls", {"password": "nope"},
             r"SMTP email server \(localhost\) refused AUTH PLAIN: "
             r"\{535 5\.7\.8 Authentication credentials invalid\}"),
            ("untrusted CA", self.tls.server_context(), "tls", {"ca": self.tls.other_ca},
             r"TLS with SMTP email server \(localhost\) failed: certificate not trusted.*"),
            ("wrong name", self.other_name.server_context(), "starttls",
             {"ca": self.other_name.ca},
             r"TLS with SMTP email server \(localhost\) failed: certificate name does "
             r"not match.*"),
            # The outcome says what failed, not the 220 that came before it.
            ("wrong name, the outcome", self.other_name.server_context(), "starttls",
             {"ca": self.other_name.ca},
             r"outcome: not sent, TLS failed: certificate name does not match.*"),
            ("no STARTTLS", None, "starttls", {},
             r"SMTP email server \(localhost\) does not offer STARTTLS; the mail was "
             r"not sent\."),
        ]
        for name, context, mode, options, error in cases:
            with self.subTest(name):
                self.setUp()
                if context is None:
                    server = harness.CaptureSMTP()
                else:
                    server = tls_server(context, mode)
                with server:
                    result = self.run_form(server.port, mode, **options)
                self.assert_not_sent(result, server, error)

    def test_scripted_refusals(self):
        context = self.tls.server_context()
        ehlo_tls = b"250-scripted.test\r\n250 STARTTLS\r\n"
        # aiosmtpd drops the connection without the alert that says why, so
        # this server is a scripted one.
        tls11 = self.tls.server_context()
        tls11.minimum_version = ssl.TLSVersion.TLSv1
        tls11.maximum_version = ssl.TLSVersion.TLSv1_1
        tls11.set_ciphers("DEFAULT:@SECLEVEL=0")
        cases = [
            ("TLS 1.1 only", scripted_smtp.starttls_script(tls11), None,
             r"TLS with SMTP email server \(localhost\) failed: protocol version.*", False),
            ("STARTTLS refused", None, {"EHLO": ehlo_tls,
                                        "STARTTLS": b"454 4.7.0 TLS not available\r\n"},
             r"SMTP email server \(localhost\) refused STARTTLS: "
             r"\{454 4\.7\.0 TLS not available\}", True),
            ("no known mechanism",
             scripted_smtp.starttls_script(context, {
                 "EHLO": b"250-scripted.test\r\n250 AUTH CRAM-MD5 XOAUTH2\r\n"}), None,
             r"SMTP email server \(localhost\) offers neither AUTH PLAIN nor AUTH "
             r"LOGIN; the mail was not sent\.", True),
        ]
        # Without TLS in place there is nobody left to say QUIT to.
        for name, script, replies, error, says_quit in cases:
            with self.subTest(name):
                self.setUp()
                with scripted_smtp.ScriptedSMTP(replies=replies, script=script) as server:
                    result = self.run_form(server.port, "starttls")
                    server.wait_sessions_done()
                self.assert_not_sent(result, None, error)
                sent = server.session.received
                self.assertNotIn(b"MAIL FROM", sent)
                self.assertNotIn(b"AUTH", sent)
                self.assertEqual(says_quit, sent.endswith(b"QUIT\r\n"), sent)

    def test_plaintext_after_the_starttls_reply_is_never_read(self):
        # Taken for replies, these lines would answer the EHLO over TLS and
        # shift every reply after it by one: DATA would never see its 354.
        injected = b"250-injected.test\r\n250 AUTH PLAIN LOGIN\r\n"
        script = scripted_smtp.starttls_script(self.tls.server_context(), {
            "EHLO": b"250-scripted.test\r\n250 AUTH PLAIN\r\n",
            "AUTH": b"235 2.7.0 accepted\r\n"}, after_220=injected)
        with scripted_smtp.ScriptedSMTP(script=script) as server:
            result = self.run_form(server.port, "starttls")
            server.wait_sessions_done()
        self.assertIn(b"THANKS", result.stdout)
        self.assertIsNotNone(server.session.data)
        self.assertNotIn("injected", self.box.log_text())
        self.assertIn("SMTP email server (localhost) sent %d bytes after its STARTTLS "
                      "reply; they were dropped." % len(injected), self.box.log_messages())


class StandardHeadersTest(unittest.TestCase):
    SUBJECT = "Gr\xfc\xdfe aus K\xf6ln \u2013 " + "lange Zeile " * 12 + "Ende"
    NOTE = "caf\xe9 = 1\n" + "x" * 1200 + "\n.dot line  \n"

    def setUp(self):
        self.box = harness.page_sandbox(self)

    def form(self, email_address="visitor@example.org"):
        from urllib.parse import urlencode
        return urlencode({"Subject:": self.SUBJECT, "Email:": email_address,
                          "Note:": self.NOTE}, encoding="utf-8")

    def write_ini(self, port):
        ini = harness.standard_ini(port, crlf=True, extra=(
            "standard_headers true\n"
            "use_submitted_variable_for_reply_to Email:\n"
            "use_submitted_variable_for_headerline Subject:\n"
            "headerline From: \"Formul\xc3\xa4r\" <form@example.com>\n"
            "bodycontent_line \n"
            "use_submitted_variable_for_bodycontent Note:\n"))
        # The static Subject and From lines give way to the ones above.
        ini = ini.replace("headerline Subject: Form Submission Data\n", "")
        ini = ini.replace("headerline From: \"Form\" <form@example.com>\n", "")
        self.box.write_ini(ini)

    def test_message_reads_back_as_submitted(self):
        with harness.CaptureSMTP() as server:
            self.write_ini(server.port)
            before = time.time()
            result = self.box.run(body=self.form())
        self.assertIn(b"THANKS", result.stdout, self.box.log_text())
        self.assertEqual(1, len(server.messages), self.box.log_text())
        raw = server.messages[0]["data"]
        self.assertTrue(all(len(line) <= 998 for line in raw.split(b"\r\n")))
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual(self.SUBJECT, msg["subject"])
        self.assertEqual("Formul\xe4r", msg["from"].addresses[0].display_name)
        self.assertEqual("form@example.com", msg["from"].addresses[0].addr_spec)
        self.assertEqual("visitor@example.org", msg["reply-to"].addresses[0].addr_spec)
        date = email.utils.parsedate_to_datetime(str(msg["date"]))
        self.assertLess(abs(date.timestamp() - before), 60)
        self.assertRegex(msg["message-id"], r"^<[^@<>]+@example\.com>$")
        self.assertEqual("quoted-printable", msg["content-transfer-encoding"])
        self.assertEqual("utf-8", msg.get_content_charset())
        names = list(msg.keys())
        self.assertEqual(["Reply-To", "Date", "Message-ID", "MIME-Version",
                          "Content-Type", "Content-Transfer-Encoding", "X-QUILLON"],
                         names[-7:])
        # The body as composed: the note's lines indented under its label
        # (the line end before the end mark belongs to the content).
        pad = " " * len(" Note: ")
        lines = self.NOTE.split("\n")
        note = " Note: " + lines[0] + "\n" + "".join(pad + line + "\n" for line in lines[1:])
        content = msg.get_content().replace("\r\n", "\n")
        self.assertTrue(content.endswith(note + "\n"), content)
        # The log shows the blocks as sent.
        self.assertIn("Content-Transfer-Encoding: quoted-printable", self.box.log_text())
        self.assertIn("=C3=A9 =3D 1", self.box.log_text())

    def test_message_ids_are_unique_across_concurrent_runs(self):
        runs = 20 if harness.IS_EXE else 200
        with harness.CaptureSMTP() as server:
            self.write_ini(server.port)
            for result in self.box.run_concurrently([self.form()] * runs):
                self.assertEqual(0, result.code, result.said)
        ids = [email.message_from_bytes(m["data"], policy=email.policy.default)["message-id"]
               for m in server.messages]
        self.assertEqual(runs, len(ids))
        self.assertEqual(runs, len(set(ids)))

    def test_reply_to_needs_exactly_one_address(self):
        with harness.CaptureSMTP() as server:
            self.write_ini(server.port)
            self.box.run(body=self.form("a@example.org b@example.org"))
        msg = email.message_from_bytes(server.messages[0]["data"],
                                       policy=email.policy.default)
        self.assertIsNone(msg["reply-to"])
        self.assertIn("no Reply-To: the submitted value of (Email:) is not one address: "
                      "it holds more than one address", self.box.log_messages())


if __name__ == "__main__":
    unittest.main()
