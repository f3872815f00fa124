"""The CAPTCHA check against a local verification service (captcha_server.py):
what goes out on the wire and the outcome of each kind of answer. Runs the
captcha_probe program (QUILLON_CAPTCHA_PROBE; a .exe runs under Wine)."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
import tls_fixture
from captcha_server import CaptchaServer

PROBE = os.environ.get("QUILLON_CAPTCHA_PROBE", "")
IS_EXE = PROBE.lower().endswith(".exe")
# Characters that form encoding must escape, in both secret and token.
SECRET = "0x4AAA+secret/key=1&"
TOKEN = "P1_tok en+%&=/" + "x" * 2000
REMOTE = "192.0.2.7"


@harness.needs(tls_fixture.available(), "openssl is not installed")
@harness.needs(PROBE, "QUILLON_CAPTCHA_PROBE names no captcha_probe program")
class CaptchaClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = CaptchaServer(delay=5.0)
        cls.dir = tempfile.mkdtemp(prefix="quillon-captcha-")
        # Relative names, so that the same arguments work under Wine.
        shutil.copy(cls.server.ca, os.path.join(cls.dir, "ca.pem"))
        shutil.copy(cls.server.tls.other_ca, os.path.join(cls.dir, "other_ca.pem"))
        with open(os.path.join(cls.dir, "secret"), "w") as f:
            f.write(SECRET + "\r\n")

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def probe(self, url, *extra):
        args = ["url=" + url, "ca_file=ca.pem", "secret_file=secret",
                "token=" + TOKEN, "remote=" + REMOTE] + list(extra)
        if IS_EXE:
            done = harness.run_windows_tool([harness.WINE, PROBE] + args, cwd=self.dir,
                                            timeout=60)
        else:
            done = subprocess.run([PROBE] + args, cwd=self.dir, capture_output=True,
                                  timeout=60)
        stdout, stderr = done.stdout.decode(), done.stderr.decode("latin-1")
        outcome, _, reason = stdout.strip().partition("\t")
        for secret in (SECRET, TOKEN):
            self.assertNotIn(secret, stdout + stderr)
        return outcome, reason

    def test_request_on_the_wire(self):
        before = len(self.server.requests)
        self.assertEqual(("passed", ""), self.probe(self.server.url("turnstile")))
        self.assertEqual(before + 1, len(self.server.requests))
        request = self.server.requests[-1]
        self.assertEqual("POST /turnstile/siteverify HTTP/1.1", request["request_line"])
        headers = {k.lower(): v for k, v in request["headers"]}
        self.assertEqual("127.0.0.1:%d" % self.server.port, headers["host"])
        self.assertEqual("application/x-www-form-urlencoded", headers["content-type"])
        self.assertEqual(str(len(request["body"])), headers["content-length"])
        self.assertEqual("close", headers["connection"])
        self.assertRegex(headers["user-agent"], r"^QUILLON/\S+$")
        self.assertEqual({"secret": SECRET, "response": TOKEN, "remoteip": REMOTE},
                         request["fields"])
        # The token goes in the body only.
        self.assertNotIn("tok", request["request_line"] + repr(request["headers"]))

    def test_outcome_of_each_answer(self):
        free = harness.free_port()
        cases = [
            ("hcaptcha", ["allow=www.example.com"], "passed", ""),
            ("recaptcha", ["action=contact", "min_score=0.5"], "passed", ""),
            ("chunked", [], "passed", ""),
            ("refuse", [], "refused",
             "provider said no: invalid-input-response, timeout-or-duplicate"),
            ("wrong_hostname", ["allow=www.example.com"], "refused",
             "hostname evil.test not allowed"),
            ("low_score", [], "refused", "score 0.3 below 0.5"),
            ("recaptcha", ["action=login"], "refused", "action contact is not login"),
            ("error500", [], "unreachable", "answered with status 500"),
            ("invalid_json", [], "unreachable", None),
            ("huge", [], "unreachable", "answer over 64 KB"),
            ("slow", ["timeout=1"], "unreachable", "timed out after 1 s"),
            ("turnstile", ["ca_file=other_ca.pem"], "unreachable", "certificate not trusted"),
            ("https://127.0.0.1:%d/siteverify" % free, [], "unreachable",
             "connection refused by 127.0.0.1:%d" % free),
        ]
        for mode, extra, outcome, reason in cases:
            with self.subTest(mode=mode, extra=extra):
                url = mode if mode.startswith("https:") else self.server.url(mode)
                began = time.monotonic()
                got = self.probe(url, *extra)
                self.assertEqual(outcome, got[0], got[1])
                if reason is None:
                    self.assertTrue(got[1].startswith("answer is not JSON ("), got[1])
                else:
                    self.assertEqual(reason, got[1])
                if mode == "slow":
                    # The deadline, not the server, ended the wait.
                    self.assertLess(time.monotonic() - began, self.server.delay)


if __name__ == "__main__":
    unittest.main()
