"""Webhooks end to end: an HTTPS receiver on loopback with the tests' own
CA takes the signed JSON event (checked by hand and with the reference
library) and the chat messages; a receiver that fails makes a hook file
that -resend posts again when it is due, the clock moved by libfaketime."""

import base64
import hashlib
import hmac
import http.server
import json
import sqlite3
import os
import shutil
import ssl
import subprocess
import threading
import time
import unittest

import harness
import tls_fixture
from test_forms import multipart
from test_virus import FakeClamd

SECRET = "whsec_" + base64.b64encode(b"quillon-webhook-test-secret-0123").decode()
DEPLOY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "deploy")
HAS_LIB = shutil.which("node") is not None and os.path.isdir(
    os.path.join(DEPLOY, "node_modules", "standardwebhooks"))
DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                   "webhooks.md")
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
CAN_FAKE = not harness.IS_EXE and os.path.exists(FAKETIME)
HOSTILE = ("Comment=%40everyone+%40here+%3C%21channel%3E+%3C%40123%3E+%60%60%60x+"
           "%2A%2Abold%2A%2A+%5Bl%5D%28http%3A%2F%2Fe.example%29")


class Receiver:
    """An HTTPS server on 127.0.0.1 keeping each request; it answers with the
    statuses of `answers` in turn (the last repeats), a pair (status,
    headers) where headers are needed."""

    def __init__(self, tls, answers=(200,)):
        self.requests = []
        self.answers = list(answers)
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                outer.requests.append({"path": self.path, "headers": dict(self.headers),
                                       "body": body, "at": time.time()})
                answer = outer.answers[min(len(outer.requests), len(outer.answers)) - 1]
                status, headers = answer if isinstance(answer, tuple) else (answer, {})
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls is not None:
            self.server.socket = tls.server_context().wrap_socket(self.server.socket,
                                                                  server_side=True)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, path="/in"):
        return "https://localhost:%d%s" % (self.port, path)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def signed_by_hand(request):
    headers = {k.lower(): v for k, v in request["headers"].items()}
    key = base64.b64decode(SECRET[len("whsec_"):])
    message = ("%s.%s." % (headers["webhook-id"], headers["webhook-timestamp"])).encode()
    mac = hmac.new(key, message + request["body"], hashlib.sha256).digest()
    return headers["webhook-signature"] == "v1," + base64.b64encode(mac).decode()


def fake_clock(seconds):
    env = {"LD_PRELOAD": FAKETIME, "FAKETIME": "+%d" % seconds, "DONT_FAKE_MONOTONIC": "1"}
    if "ASAN_OPTIONS" in os.environ:
        # The sanitized build's runtime must come first unless told that a
        # preloaded library may precede it.
        env["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"] + ":verify_asan_link_order=0"
    return env


class WebhookCase(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not tls_fixture.available():
            harness.cannot_run(cls, "openssl is missing")
        cls.tls = tls_fixture.TlsFiles()

    @classmethod
    def tearDownClass(cls):
        cls.tls.cleanup()

    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.box.write("secret.txt", SECRET + "\n")
        self.smtp = harness.CaptureSMTP()
        self.smtp.__enter__()
        self.addCleanup(self.smtp.__exit__)

    def receiver(self, answers=(200,)):
        receiver = Receiver(self.tls, answers)
        self.addCleanup(receiver.close)
        return receiver

    def settings(self, hooks, extra=""):
        lines = "".join("webhook %s\n" % hook for hook in hooks)
        self.box.write_ini(harness.standard_ini(self.smtp.port, extra=(
            lines + "webhook_secret_file secret.txt\nwebhook_ca_file %s\nwebhook_timeout 2\n"
            % self.tls.ca + extra)))

    def hook_files(self, folder="hooks"):
        path = self.box.path("spool", folder)
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def hook_head(self, name):
        head = self.box.read(os.path.join("spool", "hooks", name)).split(b"\n\n")[0]
        return dict(line.split(": ", 1) for line in head.decode().split("\n")[1:])

    def outcome(self):
        return [m for m in self.box.log_messages() if m.startswith("outcome: ")][-1]


class DeliveryTest(WebhookCase):

    def test_json_event_is_signed_after_the_mail(self):
        receiver = self.receiver()
        self.settings([receiver.url()])
        result = self.box.run(body=harness.FORM + "&Topic=a&Topic=b%FF")
        self.assertEqual(result.code, 0, result.said)
        self.assertIn(b"THANKS", result.stdout)
        self.assertEqual(len(self.smtp.messages), 1)
        self.assertEqual(len(receiver.requests), 1)
        request = receiver.requests[0]
        event = json.loads(request["body"].decode("utf-8"))
        self.assertEqual(event["type"], "submission")
        self.assertEqual(event["form"], "quillon")
        self.assertEqual(event["fields"], {"Name:": "Joe Bloggs", "Email:": "joe@example.org",
                                           "Topic": ["a", "b\ufffd"]})
        self.assertEqual(event["files"], [])
        self.assertEqual(event["mail"]["outcome"], "sent")
        self.assertRegex(event["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        headers = {k.lower(): v for k, v in request["headers"].items()}
        self.assertEqual(headers["content-type"], "application/json")
        self.assertEqual(headers["webhook-id"], event["id"] + "_1")
        self.assertLess(abs(int(headers["webhook-timestamp"]) - time.time()), 30)
        self.assertTrue(signed_by_hand(request))
        self.assertIn("; id %s; webhooks 1 delivered" % event["id"], self.outcome())
        if HAS_LIB:
            self.verify_with_library(request)

    def verify_with_library(self, request):
        script = ("const {Webhook} = require('standardwebhooks');"
                  "const [secret, headers, body] = JSON.parse(require('fs')"
                  ".readFileSync(0, 'utf8'));"
                  "console.log(JSON.stringify(new Webhook(secret).verify(body, headers)));")
        headers = {k.lower(): v for k, v in request["headers"].items()}
        done = subprocess.run(["node", "-e", script], input=json.dumps(
            [SECRET, headers, request["body"].decode()]), capture_output=True, text=True,
            cwd=DEPLOY, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(json.loads(done.stdout)["type"], "submission")

    @harness.needs(HAS_LIB, "node or tests/deploy's standardwebhooks (npm ci there) is missing")
    def test_reference_library_takes_the_signature(self):
        receiver = self.receiver()
        self.settings([receiver.url()])
        self.box.run(body=harness.FORM)
        self.verify_with_library(receiver.requests[0])

    def test_doc_snippets_verify_a_request(self):
        receiver = self.receiver()
        self.settings([receiver.url()])
        self.box.run(body=harness.FORM)
        request = receiver.requests[0]
        headers = {k.lower(): v for k, v in request["headers"].items()}
        with open(DOC, encoding="utf-8") as f:
            doc = f.read()
        python = doc.split("```python\n")[1].split("```")[0]
        scope = {}
        exec(python, scope)
        self.assertTrue(scope["verify"](SECRET, headers, request["body"]))
        self.assertFalse(scope["verify"](SECRET, headers, request["body"] + b" "))
        if shutil.which("node") is None or harness.IS_EXE:
            return
        js = doc.split("```js\n")[1].split("```")[0]
        script = js + ("const [s, h, b] = JSON.parse(require('fs').readFileSync(0, 'utf8'));"
                       "console.log(verify(s, h, b), verify(s, h, b + ' '));")
        done = subprocess.run(["node", "-e", script], input=json.dumps(
            [SECRET, headers, request["body"].decode()]), capture_output=True, text=True,
            timeout=60)
        self.assertEqual(done.stdout.strip(), "true false", done.stderr)

    def test_410_stops_and_no_spool_gives_one_error_line(self):
        gone = self.receiver([410])
        failing = self.receiver([503])
        self.settings([gone.url(), failing.url()])
        result = self.box.run(body=harness.FORM)
        self.assertIn(b"THANKS", result.stdout)
        log = self.box.log_messages()
        self.assertTrue(any("410 Gone" in m for m in log), log)
        self.assertTrue(any(m.startswith("webhook 2 {https://localhost:%d/...}: not delivered "
                                         "(HTTP 503)." % failing.port) for m in log), log)
        self.assertIn("webhooks 1 gone (410), 1 not delivered", self.outcome())

    @unittest.skipIf(harness.IS_EXE, "the Windows build here has no SQLite to load")
    def test_the_archive_records_each_webhooks_result(self):
        gone = self.receiver([410])
        taken = self.receiver([200])
        os.makedirs(self.box.path("archive"), mode=0o700)
        self.settings([gone.url(), taken.url()], "archive archive/forms.db\n")
        self.box.run(body=harness.FORM)
        with sqlite3.connect(self.box.path("archive", "forms.db")) as db:
            (hooks,), = db.execute("SELECT webhooks FROM submissions").fetchall()
        self.assertEqual([(h["webhook"], h["result"], h["status"]) for h in json.loads(hooks)],
                         [(1, "gone", 410), (2, "delivered", 200)])

    def test_plain_http_needs_its_setting(self):
        receiver = Receiver(None)
        self.addCleanup(receiver.close)
        url = "http://127.0.0.1:%d/in" % receiver.port
        self.settings([url])
        self.box.run(body=harness.FORM)
        self.assertEqual(receiver.requests, [])
        self.settings([url], "webhook_allow_http true\n")
        self.box.run(body=harness.FORM)
        self.assertEqual(len(receiver.requests), 1)

    def test_chat_payloads_cannot_ping_or_break_markup(self):
        receivers = {name: self.receiver() for name in
                     ("slack", "mattermost", "discord", "ntfy", "teams")}
        self.settings(["%s %s" % (r.url("/alerts"), name) for name, r in receivers.items()])
        self.box.run(body=harness.FORM + "&" + HOSTILE)
        bodies = {name: json.loads(r.requests[0]["body"]) for name, r in receivers.items()}
        for name, r in receivers.items():
            headers = {k.lower() for k in r.requests[0]["headers"]}
            self.assertNotIn("webhook-signature", headers, name)
        slack = bodies["slack"]["text"]
        self.assertNotIn("<!channel>", slack)
        self.assertNotIn("<@123>", slack)
        for name in ("mattermost", "discord"):
            text = bodies[name].get("text") or bodies[name]["content"]
            for ping in ("@everyone", "@here", "@123"):
                self.assertNotIn(ping, text, name)
            self.assertNotIn("```", text, name)
        self.assertEqual(bodies["discord"]["allowed_mentions"], {"parse": []})
        self.assertEqual(receivers["ntfy"].requests[0]["path"], "/")
        self.assertEqual(bodies["ntfy"]["topic"], "alerts")
        self.assertIn("@everyone", bodies["ntfy"]["message"])
        ntfy_headers = {k.lower() for k in receivers["ntfy"].requests[0]["headers"]}
        self.assertFalse(ntfy_headers & {"priority", "tags", "click", "actions", "email"})
        card = bodies["teams"]["attachments"][0]
        self.assertEqual(card["contentType"], "application/vnd.microsoft.card.adaptive")
        self.assertEqual(card["content"]["type"], "AdaptiveCard")


class CommandTest(WebhookCase):

    def test_check_posts_a_test_to_each_webhook(self):
        good = self.receiver([200])
        bad = self.receiver([500])
        self.settings([good.url(), bad.url() + " slack"])
        result = self.box.run(args=["-check"])
        self.assertEqual(result.code, 3, result.said)
        self.assertRegex(result.text, r"\n  webhook 1 https://localhost:%d/\.\.\. \(json\): "
                         r"HTTP 200 in \d+\.\d\d s\n" % good.port)
        self.assertIn("  problem: webhook 2 https://localhost:%d/... (slack): HTTP 500\n"
                      % bad.port, result.text)
        self.assertEqual(json.loads(good.requests[0]["body"])["type"], "check")
        self.assertTrue(signed_by_hand(good.requests[0]))
        self.assertIn("text", json.loads(bad.requests[0]["body"]))

    def test_webhook_resend_replays_one_submission(self):
        receiver = self.receiver()
        self.settings([receiver.url()], "spool_folder spool\n")
        self.box.run(body=harness.FORM)
        event = json.loads(receiver.requests[0]["body"])
        other = event["id"][:-1] + ("1" if event["id"][-1] != "1" else "2")
        unknown = self.box.run(args=["-webhook", "resend", other])
        self.assertEqual(unknown.code, 3, unknown.said)
        bad = self.box.run(args=["-webhook", "resend", "../../etc"])
        self.assertEqual(bad.code, 3, bad.said)
        self.assertEqual(len(receiver.requests), 1)
        again = self.box.run(args=["-webhook", "resend", event["id"]])
        self.assertEqual(again.code, 0, again.said)
        self.assertIn("1 of 1 delivered again", again.text)
        first, second = receiver.requests
        self.assertEqual(first["body"], second["body"])
        self.assertEqual(first["headers"]["webhook-id"], second["headers"]["webhook-id"])
        self.assertTrue(signed_by_hand(second))


class RetryTest(WebhookCase):

    def test_kept_hook_waits_then_is_delivered_signed_anew(self):
        receiver = self.receiver([(503, {"Retry-After": "600"}), 200])
        self.settings([receiver.url()], "spool_folder spool\n")
        result = self.box.run(body=harness.FORM)
        self.assertIn(b"THANKS", result.stdout)
        self.assertIn("webhooks 1 kept for retry", self.outcome())
        [name] = self.hook_files()
        head = self.hook_head(name)
        self.assertEqual(head["destination"], "webhook 1")
        self.assertEqual(head["attempts"], "1")
        self.assertAlmostEqual(int(head["next-try"]) - int(head["first-try"]), 600, delta=3)
        early = self.box.run(args=["-resend"])
        self.assertEqual(early.code, 0, early.said)
        self.assertIn("1 waiting for their time", early.text)
        self.assertEqual(len(receiver.requests), 1)
        if not CAN_FAKE:
            return
        later = self.box.run(args=["-resend"], env=fake_clock(700))
        self.assertEqual(later.code, 0, later.said)
        self.assertIn("hooks: 1 delivered", later.text)
        self.assertEqual(self.hook_files(), [])
        first, second = receiver.requests
        self.assertEqual(first["body"], second["body"])
        self.assertEqual(first["headers"]["webhook-id"], second["headers"]["webhook-id"])
        stamp = int(second["headers"]["webhook-timestamp"])
        self.assertGreater(stamp - int(first["headers"]["webhook-timestamp"]), 600)
        self.assertTrue(signed_by_hand(second))

    def test_claim_of_a_run_that_ended_goes_back_to_hooks(self):
        receiver = self.receiver([503])
        self.settings([receiver.url()], "spool_folder spool\n")
        self.box.run(body=harness.FORM)
        [name] = self.hook_files()
        # The submission's run has ended: its id names a work/ folder of a
        # -resend that died holding the file.
        ended = self.box.path("spool", "work", name.split("_hook")[0])
        os.makedirs(ended)
        os.rename(self.box.path("spool", "hooks", name), os.path.join(ended, name))
        result = self.box.run(args=["-resend"])
        self.assertEqual(self.hook_files(), [name], result.said)
        self.assertEqual(self.hook_files("failed"), [])

    @unittest.skipIf(harness.IS_EXE, "libfaketime cannot move a Windows program's clock")
    @harness.needs(os.path.exists(FAKETIME), "libfaketime is missing")
    def test_receiver_down_for_days_ends_in_failed(self):
        receiver = self.receiver([503])
        self.settings([receiver.url()], "spool_folder spool\nwebhook_retry_days 1\n")
        self.box.run(body=harness.FORM)
        for offset in (120, 3600, 86400 + 60):
            result = self.box.run(args=["-resend"], env=fake_clock(offset))
            self.assertEqual(result.code, 3, result.said)
        self.assertEqual(self.hook_files(), [])
        self.assertEqual(len(self.hook_files("failed")), 1)
        self.assertEqual(len(receiver.requests), 4)
        self.assertIn("moved to failed/ (was not delivered in 1 days", result.text)

    def test_webhooks_instead_of_the_mail(self):
        receiver = self.receiver([200, 503])
        self.settings([receiver.url()], "spool_folder spool\nsend_mail false\n")
        json_answer = {"HTTP_ACCEPT": "application/json"}
        sent = self.box.run(body=harness.FORM, env=json_answer)
        self.assertIn(b'"outcome":"sent"', sent.stdout.replace(b" ", b""))
        spooled = self.box.run(body=harness.FORM, env=json_answer)
        self.assertIn(b'"outcome":"spooled"', spooled.stdout.replace(b" ", b""))
        self.assertEqual(self.smtp.messages, [])
        self.assertEqual(json.loads(receiver.requests[0]["body"])["mail"], None)


class QuarantineTest(WebhookCase):

    def test_hooks_wait_with_a_quarantined_post_until_release(self):
        receiver = self.receiver()
        self.box.write("words.txt", "viagra\n")
        self.settings([receiver.url()], "spool_folder spool\nspam_words words.txt\n"
                      "webhook_retry_days 1\n")
        for text in ("one", "two"):
            result = self.box.run(body=harness.FORM + "&Comment=viagra+" + text)
            self.assertIn(b"THANKS", result.stdout)
        self.assertIn("; webhooks 1 held for quarantine/", self.outcome())
        names = [name.split("_hook")[0] for name in self.hook_files()]
        self.assertEqual(len(names), 2)
        self.assertEqual(self.hook_head(names[0] + "_hook1.txt")["held"],
                         "quarantine " + names[0])
        # Held, a hook neither goes out nor ages toward webhook_retry_days.
        waited = self.box.run(args=["-resend"], env=fake_clock(2 * 86400) if CAN_FAKE else None)
        self.assertEqual(waited.code, 0, waited.said)
        self.assertIn("2 held for quarantine/", waited.text)
        self.assertEqual(len(self.hook_files()), 2)
        self.assertEqual(receiver.requests, [])
        released = self.box.run(args=["-quarantine", "release", names[0]])
        self.assertEqual(released.code, 0, released.said)
        self.assertEqual(len(self.smtp.messages), 1)
        [request] = receiver.requests
        event = json.loads(request["body"])
        self.assertEqual((event["id"], event["mail"]["outcome"]), (names[0], "quarantined"))
        self.assertTrue(signed_by_hand(request))
        self.assertIn(", sent; webhooks: 1 delivered", self.outcome())
        self.assertEqual(self.box.run(args=["-quarantine", "discard", names[1]]).code, 0)
        self.assertEqual(self.hook_files(), [])
        self.assertEqual(len(receiver.requests), 1)

    def test_hooks_wait_with_a_post_held_for_its_scan(self):
        receiver = self.receiver()
        stalled = FakeClamd(stall=True)
        try:
            self.settings([receiver.url()], "attachments_max_kb 64\nspool_folder spool\n"
                          "virus_timeout 1\n"
                          "virus_scan clamd 127.0.0.1:%d\n" % stalled.port)
            ctype, body = multipart([("Name:", "Ann"), ("a.txt", "a.txt", b"ok")])
            held = self.box.run(body=body, env={"CONTENT_TYPE": ctype, "REQUEST_METHOD": "POST"})
        finally:
            stalled.close()
        self.assertEqual((self.smtp.messages, receiver.requests), ([], []), held.said)
        [name] = [n for n in self.hook_files() if n.endswith("_hook1.txt")]
        self.assertEqual(self.hook_head(name)["held"], "queue " + name.split("_hook")[0])
        self.assertIn("; webhooks 1 held for queue/", self.outcome())
        clamd = FakeClamd()
        self.addCleanup(clamd.close)
        self.box.write_ini(self.box.read("quillon.ini").decode().replace(
            str(stalled.port), str(clamd.port)))
        sent = self.box.run(args=["-resend"])
        self.assertEqual(sent.code, 0, sent.said)
        self.assertEqual(len(self.smtp.messages), 1)
        [request] = receiver.requests
        self.assertEqual(json.loads(request["body"])["mail"]["outcome"], "sent")
        self.assertEqual(self.box.run(args=["-resend"]).code, 0)
        self.assertEqual((self.hook_files(), len(receiver.requests)), ([], 1))


if __name__ == "__main__":
    unittest.main()
