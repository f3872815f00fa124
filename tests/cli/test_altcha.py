"""The self-hosted proof-of-work CAPTCHA end to end: a challenge fetched by
GET, solved here as a widget would, posted with the form; the mail goes
once, and the same answer again is refused."""

import base64
import hashlib
import json
import os
import shutil
import subprocess
import unittest
import urllib.parse

import harness

SECRET = "altcha-site-secret-31"
KEY_SECRET = "altcha-key-secret-9"
DEPLOY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "deploy")
HAS_LIB = shutil.which("node") is not None and os.path.isdir(
    os.path.join(DEPLOY, "node_modules", "altcha-lib"))


def solve(challenge):
    parameters = challenge["parameters"]
    nonce = bytes.fromhex(parameters["nonce"])
    salt = bytes.fromhex(parameters["salt"])
    for counter in range(100000):
        key = hashlib.pbkdf2_hmac("sha256", nonce + counter.to_bytes(4, "big"), salt,
                                  parameters["cost"], parameters["keyLength"]).hex()
        if key.startswith(parameters["keyPrefix"]):
            answer = {"challenge": challenge,
                      "solution": {"counter": counter, "derivedKey": key, "time": 40}}
            return base64.b64encode(json.dumps(answer).encode()).decode()
    raise AssertionError("no counter solves the challenge")


class AltchaTest(unittest.TestCase):
    def test_challenge_solved_posted_once(self):
        box = harness.page_sandbox(self)
        box.write("altcha.key", SECRET + "\n")
        settings = "captcha altcha\naltcha_key_file altcha.key\naltcha_cost 50\n" \
                   "allowed_origin www.example.com\n"
        with harness.CaptureSMTP() as smtp:
            box.write_ini(harness.standard_ini(smtp.port, settings))
            got = box.run(env={"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
                               "QUERY_STRING": "altcha", "HTTP_ORIGIN": "https://www.example.com"})
            self.assertEqual("", box.log_text())  # no start-up lines, logging debug
            head, _, body = got.text.partition("\n\n")
            self.assertEqual("Access-Control-Allow-Origin: https://www.example.com\n"
                             "Vary: Origin\nStatus: 200 OK\nContent-Type: application/json\n"
                             "Cache-Control: no-store", head)
            payload = solve(json.loads(body))
            form = urllib.parse.urlencode({"Name:": "Joe", "altcha": payload})
            env = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST",
                   "REMOTE_ADDR": "192.0.2.9"}
            first = box.run(body=form, env=env)
            again = box.run(body=form, env=env)
            other = box.run(env={"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
                                 "QUERY_STRING": "other"})
        self.assertEqual(1, len(smtp.messages))
        self.assertIn("THANKS Joe", first.text)
        self.assertNotIn("THANKS Joe", again.text)
        self.assertIn("the altcha check failed: {the challenge was used before}",
                      box.log_text())
        self.assertTrue(other.text.startswith("Status: 405"), other.text)
        for text in (smtp.messages[0]["data"].decode("latin-1"), box.log_text(), first.text, again.text):
            self.assertNotIn(payload[:40], text)
            self.assertNotIn(SECRET, text)

    def test_challenge_request_logs_its_error_alone(self):
        box = harness.page_sandbox(self)
        box.write("altcha.key", "\n")
        box.write_ini(harness.standard_ini(25, "captcha altcha\naltcha_key_file altcha.key\n"))
        got = box.run(env={"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
                           "QUERY_STRING": "altcha"})
        self.assertIn("Status: 500 Internal Server Error\n", got.text)
        self.assertEqual(["captcha: no altcha challenge made: {altcha_key_file {altcha.key} "
                          "holds no secret on its first line}."], box.log_messages())

    @harness.needs(HAS_LIB, "node or tests/deploy's altcha-lib (npm ci there) is missing")
    def test_widget_library_and_program_agree(self):
        box = harness.page_sandbox(self)
        box.write("altcha.key", SECRET + "\n" + KEY_SECRET + "\n")
        box.write_ini(harness.standard_ini(25, "captcha altcha\naltcha_key_file altcha.key\n"
                                               "altcha_cost 50\nsmtp_timeout 1\n"))
        script = os.path.join(DEPLOY, "altcha_interop.mjs")
        made = subprocess.run(["node", script, "make", SECRET, KEY_SECRET], check=True,
                              capture_output=True, text=True, timeout=60).stdout.strip()
        got = box.run(env={"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
                           "QUERY_STRING": "altcha"})
        solved = subprocess.run(["node", script, "solve", SECRET, KEY_SECRET],
                                input=got.text.partition("\n\n")[2], capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(0, solved.returncode, solved.stderr)
        env = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST", "REMOTE_ADDR": "192.0.2.9"}
        for payload in (made, solved.stdout.strip()):
            box.run(body=urllib.parse.urlencode({"Name:": "Joe", "altcha": payload}), env=env)
        self.assertEqual(2, box.log_text().count("captcha: altcha passed."), box.log_text())

    def test_check_solves_a_challenge_and_wants_a_private_key_file(self):
        box = harness.page_sandbox(self)
        box.write("altcha.key", SECRET + "\n")
        os.chmod(box.path("altcha.key"), 0o644)
        box.write_ini(harness.standard_ini(25, "captcha altcha\naltcha_key_file altcha.key\n"
                                               "altcha_cost 50\n"))
        text = box.run(args=("-check",)).text
        self.assertRegex(text, r"solving it here and checking the answer took \d+ ms")
        if not harness.IS_EXE:  # Windows rights are access lists, not modes
            self.assertIn("altcha_key_file {altcha.key} is readable by others", text)


if __name__ == "__main__":
    unittest.main()
