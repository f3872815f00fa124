"""The answer as a script and a browser read it: the JSON answer with its
fixed outcome words and HTTP statuses, the Status: line of the pages, the
CORS headers and the OPTIONS preflight, the redirects after a post, and
the log's outcome line."""

import json
import re
import unittest

import harness

JSON = {"HTTP_ACCEPT": "application/json"}
SITE = "https://www.example.com"


class ReplySMTP(harness.CaptureSMTP):
    """aiosmtpd that answers the end of every message's data with `reply`."""

    def __init__(self, reply):
        super().__init__()
        from aiosmtpd.controller import Controller

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                return reply

        self.controller = Controller(Handler(), hostname="127.0.0.1", port=self.port)


def split(result):
    """The CGI headers (name -> value, in order) and the body."""
    head, _, body = result.text.partition("\n\n")
    headers = {}
    for line in head.split("\n"):
        name, _, value = line.partition(": ")
        headers[name.lower()] = value
    return headers, body


class Answers(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)

    def run_form(self, port, extra="", env=None, body=harness.FORM):
        self.box.write_ini(harness.standard_ini(port, extra))
        result = self.box.run(body=body, env=env)
        self.assertEqual(0, result.code, result.said)
        return result

    def outcome_lines(self):
        return [m for m in self.box.log_messages() if m.startswith("outcome: ")]

    def test_json_answer_for_every_way_a_submission_ends(self):
        dead = harness.free_port()
        cases = [
            # (settings, SMTP server, env, outcome, status, ok, missing, outcome line)
            ("", "capture", {}, "sent", 200, True, [],
             r"sent, 1 recipient, server said 250 OK, \d+\.\d\d s, Message-ID <[^>]+@example\.com>$"),
            ("honeypot_variable website\n", "capture", None, "sent", 200, True, [],
             r"dropped by the honeypot \(answered as sent\)$"),
            ("spool_folder spool\n", "dead", {}, "spooled", 202, True, [],
             r"kept in the spool, no answer from the server, \d+\.\d\d s, "
             r"Message-ID <[^>]+>, spool \S+$"),
            ("required_variable Phone\nrequired_variable Name:\nrequired_variable A, B\n",
             "capture", {}, "missing", 422, False, ["Phone", "A, B"],
             r"not sent, required fields missing$"),
            ("allowed_origin www.example.com\n", "capture", {"HTTP_ORIGIN": "https://evil.example"},
             "refused", 403, False, [], r"refused by the origin guard$"),
            ("allowed_recipient other@example.com\n", "capture", {}, "refused", 403, False, [],
             r"refused by the recipient allow-list$"),
            ("rate_limit 1/10\n", "rate", {"REMOTE_ADDR": "192.0.2.9"}, "rate_limited", 429,
             False, [], r"refused by the rate limit$"),
            ("", "refusing", {}, "server_refused", 502, False, [],
             r"not sent, server said 554 5\.7\.1 Message refused, \d+\.\d\d s, Message-ID <.+>$"),
            ("", "dead", {}, "server_unreachable", 503, False, [],
             r"not sent, no answer from the server, \d+\.\d\d s, Message-ID <.+>$"),
            ("smtp_user u\n", "capture", {}, "not_configured", 500, False, [],
             r"not sent, the delivery settings cannot be used$"),
        ]
        for extra, server_kind, env, word, status, ok, missing, line in cases:
            with self.subTest(outcome=word, extra=extra):
                self.box.write("quillon.log", "")
                body = harness.FORM + ("&website=spam" if env is None else "")
                server = (ReplySMTP("554 5.7.1 Message refused") if server_kind == "refusing"
                          else harness.CaptureSMTP())
                with server:
                    port = dead if server_kind == "dead" else server.port
                    extra_all = "standard_headers true\n" + extra
                    if server_kind == "rate":
                        self.run_form(port, extra_all, dict(JSON, **env))
                        self.box.write("quillon.log", "")
                    result = self.run_form(port, extra_all, dict(JSON, **(env or {})), body)
                headers, text = split(result)
                self.assertEqual(headers["status"].split(" ")[0], str(status))
                self.assertEqual(headers["content-type"], "application/json")
                answer = json.loads(text)
                self.assertEqual((answer["ok"], answer["outcome"], answer["missing"]),
                                 (ok, word, missing))
                self.assertTrue(answer["message"])
                self.assertEqual(list(answer)[-1], "id")
                self.assertRegex(answer["id"], r"^\d{8}T\d{6}\.\d{6}Z_[^_]+_\d+_[0-9a-f]{16}$")
                lines = self.outcome_lines()
                self.assertEqual(1, len(lines), self.box.log_messages())
                self.assertRegex(lines[0], "^outcome: " + line)
                if word == "spooled":  # the id names the spool copy
                    self.assertTrue(lines[0].endswith("spool " + answer["id"]), lines[0])

    def test_outcome_line_escapes_the_server_reply_and_is_written_at_the_error_level(self):
        with ReplySMTP("250 queued \x01as 4F2A1") as server:
            self.run_form(server.port, "logging errors\n")
        self.assertEqual(["outcome: sent, 1 recipient, server said 250 queued \\x01as 4F2A1"],
                         [re.sub(r", \d+\.\d\d s$", "", m) for m in self.outcome_lines()])

    def test_pages_gain_the_status_line_only_with_http_status(self):
        dead = harness.free_port()
        for extra, status in (("", None), ("http_status true\n", "503 Service Unavailable")):
            with self.subTest(extra=extra):
                headers, body = split(self.run_form(dead, extra))
                self.assertEqual(headers.get("status"), status)
                self.assertIn("SORRY", body)

    def test_cors_headers_only_for_an_allowed_origin(self):
        cases = [
            ("allowed_origin www.example.com\n", "https://www.example.com:8443", True),
            ("allowed_origin http://127.0.0.1:8081\n", "http://127.0.0.1:8081", True),
            ("allowed_origin http://127.0.0.1:8081\n", "http://127.0.0.1:8082", False),
            ("", SITE, False),  # no allowed_origin lines: no CORS headers
        ]
        for extra, origin, allowed in cases:
            with self.subTest(extra=extra, origin=origin), harness.CaptureSMTP() as server:
                headers, _ = split(self.run_form(server.port, extra, {"HTTP_ORIGIN": origin}))
                self.assertEqual(headers.get("access-control-allow-origin"),
                                 origin if allowed else None)
                self.assertEqual(headers.get("vary"), "Origin" if allowed else None)

    def test_preflight_from_an_allowed_origin_and_any_other_options(self):
        self.box.write_ini(harness.standard_ini(9, "allowed_origin www.example.com\n"))
        result = self.box.run(env={"REQUEST_METHOD": "OPTIONS", "HTTP_ORIGIN": SITE})
        self.assertEqual(result.text,
                         "Status: 204 No Content\nAccess-Control-Allow-Origin: %s\n"
                         "Vary: Origin\nAccess-Control-Allow-Methods: POST\n"
                         "Access-Control-Allow-Headers: Content-Type, Accept\n"
                         "Access-Control-Max-Age: 600\n\n" % SITE)
        lines = [m for m in self.box.log_messages() if "line used" in m or "preflight" in m]
        self.assertEqual(lines, ["preflight from origin {%s}: allowed, nothing sent." % SITE])
        for origin in ("https://evil.example", None):
            with self.subTest(origin=origin):
                env = {"REQUEST_METHOD": "OPTIONS"}
                if origin:
                    env["HTTP_ORIGIN"] = origin
                result = self.box.run(env=env)
                self.assertTrue(result.text.startswith("Status: 405 Method Not Allowed\n"))

    def test_redirects_answer_html_with_303_and_json_with_the_answer(self):
        dead = harness.free_port()
        extra = ("success_redirect https://www.example.com/thanks\n"
                 "failure_redirect /sorry.html\nmissing_redirect /missing.html\n")
        cases = [
            ("capture", "", "https://www.example.com/thanks"),
            ("dead", "", "/sorry.html"),
            ("capture", "required_variable Phone\n", "/missing.html"),
        ]
        for kind, more, location in cases:
            with self.subTest(location=location), harness.CaptureSMTP() as server:
                port = dead if kind == "dead" else server.port
                headers, _ = split(self.run_form(port, extra + more))
                self.assertEqual((headers.get("status"), headers.get("location")),
                                 ("303 See Other", location))
                headers, text = split(self.run_form(port, extra + more, JSON))
                self.assertNotIn("location", headers)
                self.assertIn('"outcome"', text)


if __name__ == "__main__":
    unittest.main()
