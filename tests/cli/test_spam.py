"""Spam judged by what it says: the content rules end to end, the
quarantine they keep messages in (its files, the answers, the outcome
lines), the owner's -quarantine commands, and the filter engines as
scripted fakes that answer, fail, stall or talk nonsense."""

import email
import glob
import http.server
import json
import os
import re
import socket
import socketserver
import threading
import time
import unittest
import urllib.parse

import harness
from test_forms import multipart

JSON = {"HTTP_ACCEPT": "application/json"}
HAM = {"Name:": "Anne Dupont", "Email:": "anne@example.net",
       "Message:": "Bonjour, je voudrais un devis pour notre \u00e9cole. Merci !"}


def post(fields):
    return urllib.parse.urlencode(list(fields.items()), encoding="utf-8")


def read(box, path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def quarantined(box):
    return sorted(glob.glob(box.path("spool", "quarantine", "*.txt")))


def outcome(box):
    return [m for m in box.log_messages() if m.startswith("outcome: ")][-1]


def without_id(text):
    return re.sub(r'"id": ?"[^"]*"', '"id":""', text)


class ContentRules(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.box.write("words.txt", "# spam words\nviagra\nseo services\n")

    def run_form(self, port, fields, extra="", env=None, spool=True):
        self.box.write_ini(harness.standard_ini(port, (
            "spam_max_links 2\nspam_words words.txt\nspam_scripts Latin\n"
            "spam_same_value true\nuse_submitted_variable_for_bodycontent Message:\n" +
            ("spool_folder spool\n" if spool else "") + extra)))
        return self.box.run(body=post(fields), env=env)

    def test_each_rule_quarantines_and_answers_as_sent(self):
        cases = [
            ({"Message:": "http://a.example [url=http://b.example]b[/url] c.xyz"},
             "3 links, limit 2"),
            ({"Message:": "Cheap v\u0456agra here"}, 'word "viagra"'),
            ({"Message:": "We sell S\u200bEO   services"}, 'word "seo services"'),
            ({"Message:": "\u041f\u0440\u0438\u0432\u0435\u0442, \u0434\u0440\u0443\u0433"},
             "mostly Cyrillic letters"),
            ({"Name:": "same", "Email:": "same", "Message:": "same"},
             "the same text in every field"),
            ({"Message:": "  https://shop.example/deal  "}, "only a link"),
        ]
        with harness.CaptureSMTP() as smtp:
            sent = self.run_form(smtp.port, HAM, env=JSON)
            self.assertEqual(len(smtp.messages), 1)
            for fields, reason in cases:
                with self.subTest(reason=reason):
                    before = quarantined(self.box)
                    result = self.run_form(smtp.port, dict(HAM, **fields), env=JSON)
                    self.assertEqual(without_id(result.text), without_id(sent.text))
                    self.assertEqual(outcome(self.box).split("; id")[0],
                                     "outcome: quarantined as spam: " + reason)
                    new = sorted(set(quarantined(self.box)) - set(before))
                    self.assertEqual(len(new), 1)
                    kept = read(self.box, new[0])
                    self.assertIn("\nverdict: quarantined\nmark: spam\nreasons: " + reason + "\n",
                                  kept)
                    self.assertIn(json.loads(result.text.split("\n\n", 1)[1])["id"], new[0])
            self.assertEqual(len(smtp.messages), 1)

    def test_refused_spam_is_kept_and_answered_403(self):
        with harness.CaptureSMTP() as smtp:
            result = self.run_form(smtp.port, dict(HAM, **{"Message:": "viagra"}),
                                   "spam_refuse true\n", env=JSON)
            self.assertIn("Status: 403", result.text)
            self.assertEqual(json.loads(result.text.split("\n\n", 1)[1])["outcome"], "spam")
            self.assertTrue(outcome(self.box).startswith('outcome: refused as spam: word "viagra"'))
            self.assertEqual(len(quarantined(self.box)), 1)
            self.assertIn("verdict: refused", read(self.box, quarantined(self.box)[0]))
            self.assertEqual(smtp.messages, [])

    def test_without_a_spool_spam_is_mailed_tagged(self):
        with harness.CaptureSMTP() as smtp:
            self.run_form(smtp.port, dict(HAM, **{"Message:": "viagra"}), spool=False)
            self.assertEqual(len(smtp.messages), 1)
            data = smtp.messages[0]["data"].decode()
            self.assertIn("Subject: [SPAM] Form Submission Data", data)
            self.assertIn('X-Spam-Flag: YES', data)
            self.assertIn('X-Spam-Symbols: word "viagra"', data)
            self.assertTrue(any("no spool_folder to keep the message" in m
                                for m in self.box.log_messages()))
            self.assertIn("; spam mailed tagged, not kept", outcome(self.box))

    def test_ham_passes(self):
        hams = [
            {"Message:": "See our brochure at https://www.example.org/brochure.pdf"},
            {"Message:": "Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144, "
                         "prosz\u0119 o kontakt."},
            {"Message:": "Gr\u00fc\u00dfe aus M\u00fcnchen, anbei report.zip und notes.md"},
            {"Message:": "Mon adresse est anne@example.net, merci."},
        ]
        with harness.CaptureSMTP() as smtp:
            for fields in hams:
                with self.subTest(fields=fields):
                    self.run_form(smtp.port, dict(HAM, **fields))
                    self.assertTrue(outcome(self.box).startswith("outcome: sent"),
                                    outcome(self.box))
            self.assertEqual(len(smtp.messages), len(hams))
            self.assertEqual(quarantined(self.box), [])


class FakeEngine:
    """A scripted engine on 127.0.0.1: rspamd (HTTP) or spamd (the spamc
    protocol); `answer` is the body (rspamd) or whole reply (spamd), "slow"
    waits past any test time-out. .requests keeps (headers, body) of each."""

    def __init__(self, kind, answer):
        self.kind, self.answer, self.requests = kind, answer, []
        outer = self

        class Rspamd(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                outer.requests.append((self.path, self.headers, body))
                if outer.answer == "slow":
                    time.sleep(3)
                    return
                data = outer.answer.encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        class Spamd(socketserver.StreamRequestHandler):
            def handle(self):
                head = b""
                while not head.endswith(b"\r\n\r\n"):
                    head += self.rfile.read(1)
                length = int(re.search(rb"Content-length: (\d+)", head).group(1))
                outer.requests.append((head, None, self.rfile.read(length)))
                if outer.answer == "slow":
                    time.sleep(3)
                    return
                self.wfile.write(outer.answer.encode())

        handler = Rspamd if kind == "rspamd" else Spamd
        base = http.server.HTTPServer if kind == "rspamd" else socketserver.TCPServer
        self.server = base(("127.0.0.1", 0), handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def rspamd_answer(action, score, symbols=("GTUBE",)):
    return json.dumps({"action": action, "score": score, "required_score": 15,
                       "symbols": {s: {"name": s, "score": 1} for s in symbols}})


SPAMD_SPAM = "SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1000.0 / 5.0\r\n\r\nGTUBE,NO_RELAYS\r\n"
SPAMD_HAM = "SPAMD/1.1 0 EX_OK\r\nSpam: False ; 0.5 / 5.0\r\n\r\nNO_RELAYS\r\n"


class Engines(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)

    def engine(self, kind, answer):
        fake = FakeEngine(kind, answer)
        self.addCleanup(fake.close)
        return fake

    def run_form(self, port, engine_line, extra="", env=None):
        self.box.write_ini(harness.standard_ini(port, engine_line + "\nspam_timeout 1\n"
                                                "spool_folder spool\n" + extra))
        return self.box.run(body=post(HAM), env=dict(env or {}, REMOTE_ADDR="192.0.2.9"))

    def test_rspamd_answers_become_verdicts(self):
        cases = [
            (rspamd_answer("no action", 1.5), "", "sent", 1, 0),
            (rspamd_answer("add header", 7.25, ("BAYES_SPAM",)), "",
             "quarantined as spam: rspamd 7.25, BAYES_SPAM", 0, 1),
            (rspamd_answer("reject", 15), "", "refused as spam: rspamd 15.00, GTUBE", 0, 1),
            (rspamd_answer("add header", 7.25, ("BAYES_SPAM",)), "spam_tag true\n", "sent", 1, 0),
        ]
        for answer, extra, words, mailed, kept in cases:
            with self.subTest(words=words, extra=extra), harness.CaptureSMTP() as smtp:
                fake = self.engine("rspamd", answer)
                before = len(quarantined(self.box))
                result = self.run_form(smtp.port, "spam_engine rspamd http://127.0.0.1:%d"
                                       % fake.port, extra, env=JSON)
                self.assertTrue(outcome(self.box).startswith("outcome: " + words),
                                outcome(self.box))
                self.assertEqual(len(smtp.messages), mailed)
                self.assertEqual(len(quarantined(self.box)) - before, kept)
                path, headers, body = fake.requests[0]
                self.assertEqual(path, "/checkv2")
                self.assertEqual(headers["IP"], "192.0.2.9")
                self.assertEqual(headers["From"], "form@example.com")
                self.assertEqual(headers.get_all("Rcpt"), ["owner@example.com"])
                self.assertIn(b"Subject: Form Submission Data", body)
                if words.startswith("refused"):
                    self.assertIn("Status: 403", result.text)
                if mailed and extra:
                    data = smtp.messages[0]["data"].decode()
                    self.assertIn("Subject: [SPAM] Form Submission Data", data)
                    self.assertIn("X-Spam-Score: 7.25", data)
                    self.assertIn("X-Spam-Symbols: rspamd 7.25, BAYES_SPAM", data)

    def test_spamd_sees_a_received_line_and_quarantines_spam(self):
        for answer, words in ((SPAMD_SPAM, "quarantined as spam: spamd 1000.00, GTUBE, NO_RELAYS"),
                              (SPAMD_HAM, "sent")):
            with self.subTest(words=words), harness.CaptureSMTP() as smtp:
                fake = self.engine("spamd", answer)
                self.run_form(smtp.port, "spam_engine spamd 127.0.0.1:%d" % fake.port)
                self.assertTrue(outcome(self.box).startswith("outcome: " + words),
                                outcome(self.box))
                head, _, body = fake.requests[0]
                self.assertTrue(head.startswith(b"SYMBOLS SPAMC/1.5\r\n"), head)
                self.assertTrue(body.startswith(b"Received: from QUILLON ([192.0.2.9])"), body)

    def test_an_engine_that_fails_follows_spam_unreachable(self):
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        down = closed.getsockname()[1]
        closed.close()
        cases = [("rspamd", None, ""), ("rspamd", "slow", ""), ("rspamd", "<html>", ""),
                 ("spamd", "garbage\r\n", ""), ("spamd", "slow", ""),
                 ("rspamd", None, "spam_unreachable quarantine\n")]
        for kind, answer, extra in cases:
            with self.subTest(kind=kind, answer=answer, extra=extra), \
                    harness.CaptureSMTP() as smtp:
                port = self.engine(kind, answer).port if answer else down
                address = ("http://127.0.0.1:%d" if kind == "rspamd" else "127.0.0.1:%d") % port
                started = time.monotonic()
                self.run_form(smtp.port, "spam_engine %s %s" % (kind, address), extra)
                self.assertLess(time.monotonic() - started, 2.9)
                if extra:
                    self.assertEqual(smtp.messages, [])
                    self.assertTrue(outcome(self.box).startswith(
                        "outcome: quarantined, the spam engine could not be asked: rspamd not "
                        "reached"), outcome(self.box))
                else:
                    self.assertEqual(len(smtp.messages), 1)
                    self.assertTrue(any(m.startswith("spam: ") and "sent unchecked" in m
                                        for m in self.box.log_messages()))


class Check(unittest.TestCase):
    def test_check_reads_the_words_and_asks_the_engine_about_gtube(self):
        box = harness.page_sandbox(self)
        fake = FakeEngine("rspamd", rspamd_answer("reject", 15))
        self.addCleanup(fake.close)
        cases = [
            ("spam_engine rspamd http://127.0.0.1:%d\nspam_words nosuch.txt\n" % fake.port,
             ["spam_words nosuch.txt cannot be read", "rspamd at http://127.0.0.1:%d scored "
              "GTUBE 15.00: refused, in " % fake.port, "no spool_folder"], 3),
            ("spam_engine spamd 127.0.0.1:1\nspool_folder spool\n",
             ["problem: spamd cannot be asked: spamd at 127.0.0.1:1"], 3),
        ]
        for extra, said, code in cases:
            with self.subTest(extra=extra):
                box.write_ini(harness.standard_ini(9, extra))
                result = box.run(args=["-check"])
                self.assertEqual(result.code, code)
                for words in said:
                    self.assertIn(words, result.text)
        self.assertIn("GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL", fake.requests[0][2].decode())


class Review(unittest.TestCase):
    """-quarantine: the owner's list, show, release (once, through the
    queue) and discard, with the lessons a spamd that allows TELL sees."""

    def test_list_show_release_discard(self):
        box = harness.page_sandbox(self)
        box.write("words.txt", "viagra\n")
        teller = FakeEngine("spamd", "SPAMD/1.1 0 EX_OK\r\nDidSet: local\r\n\r\n")
        self.addCleanup(teller.close)
        with harness.CaptureSMTP() as smtp:
            box.write_ini(harness.standard_ini(smtp.port, (
                "spam_words words.txt\nspool_folder spool\nspam_learn true\n"
                "spam_engine spamd 127.0.0.1:%d\nspam_timeout 1\n"
                "use_submitted_variable_for_bodycontent Message:\n" % teller.port)))
            # The engine judges too: its answer here is no verdict, and the
            # content rule stops the post before it is asked.
            for text in ("viagra one", "viagra two"):
                box.run(body=post(dict(HAM, **{"Message:": text})))
            names = [os.path.basename(p)[:-4] for p in quarantined(box)]
            self.assertEqual(len(names), 2)
            listed = box.run(args=["-quarantine"])
            self.assertEqual(listed.code, 0)
            self.assertIn(names[0], listed.text)
            self.assertIn('From: "Form" <form@example.com>', listed.text)
            self.assertIn('reasons: word "viagra"', listed.text)
            self.assertIn("quarantine: 2 messages.", listed.text)
            shown = box.run(args=["-quarantine", "show", names[0]])
            self.assertIn("viagra one", shown.text)
            self.assertEqual(box.run(args=["-quarantine", "show", "../x"]).code, 3)

            released = box.run(args=["-quarantine", "release", names[0]])
            self.assertEqual(released.code, 0, released.text)
            again = box.run(args=["-quarantine", "release", names[0]])
            self.assertEqual(again.code, 3)
            self.assertEqual(len(smtp.messages), 1)
            self.assertIn(b"viagra one", smtp.messages[0]["data"])
            self.assertEqual(outcome(box), "outcome: released from quarantine: %s, sent" % names[0])

            self.assertEqual(box.run(args=["-quarantine", "discard", names[1]]).code, 0)
            self.assertEqual(quarantined(box), [])
            self.assertEqual(outcome(box),
                             "outcome: discarded from quarantine: %s, taught as spam" % names[1])
            lessons = [head for head, _, _ in teller.requests if head.startswith(b"TELL")]
            self.assertEqual(len(lessons), 2)
            self.assertIn(b"Message-class: ham", lessons[0])
            self.assertIn(b"Message-class: spam", lessons[1])

    def test_a_kept_file_is_released_byte_for_byte(self):
        box = harness.page_sandbox(self)
        box.write("words.txt", "viagra\n")
        data = bytes(range(256)) * 5000  # over 1 MiB once encoded: -resend streams it
        ctype, body = multipart([("Name:", "Ann"), ("Message:", "viagra"),
                                 ("cv", "cv.bin", data)])
        with harness.CaptureSMTP() as smtp:
            box.write_ini(harness.standard_ini(smtp.port, (
                "spam_words words.txt\nspool_folder spool\nattachments_max_kb 2048\n"
                "attachment_type .bin\nuse_submitted_variable_for_bodycontent Message:\n"),
                crlf=True))
            box.run(body=body, env={"CONTENT_TYPE": ctype})
            self.assertEqual(len(quarantined(box)), 1)
            name = os.path.basename(quarantined(box)[0])[:-4]
            released = box.run(args=["-quarantine", "release", name])
            self.assertEqual(released.code, 0, released.text)
            self.assertEqual(len(smtp.messages), 1)
            mail = email.message_from_bytes(smtp.messages[0]["data"])
            files = [p.get_payload(decode=True) for p in mail.walk()
                     if p.get_filename() == "cv.bin"]
            self.assertEqual(files, [data])

    def test_rspamd_learns_on_its_controller_with_the_password(self):
        box = harness.page_sandbox(self)
        box.write("words.txt", "viagra\n")
        box.write("controller.secret", "s3cret\n")
        controller = FakeEngine("rspamd", '{"success":true}')
        self.addCleanup(controller.close)
        with harness.CaptureSMTP() as smtp:
            box.write_ini(harness.standard_ini(smtp.port, (
                "spam_words words.txt\nspool_folder spool\nspam_learn true\n"
                "spam_engine rspamd http://127.0.0.1:1\nspam_unreachable send\n"
                "spam_controller http://127.0.0.1:%d\n"
                "spam_controller_password_file controller.secret\n"
                "use_submitted_variable_for_bodycontent Message:\n" % controller.port)))
            box.run(body=post(dict(HAM, **{"Message:": "viagra"})))
            name = os.path.basename(quarantined(box)[0])[:-4]
            discarded = box.run(args=["-quarantine", "discard", name])
            self.assertIn("the engine learned %s as spam" % name, discarded.text)
            path, headers, body = controller.requests[0]
            self.assertEqual((path, headers["Password"]), ("/learnspam", "s3cret"))
            self.assertIn(b"viagra", body)

    def test_infected_needs_force_and_old_ones_are_pruned(self):
        box = harness.page_sandbox(self)
        box.write("words.txt", "viagra\n")
        with harness.CaptureSMTP() as smtp:
            box.write_ini(harness.standard_ini(smtp.port, (
                "spam_words words.txt\nspool_folder spool\nquarantine_keep_days 1\n"
                "use_submitted_variable_for_bodycontent Message:\n")))
            for text in ("viagra one", "viagra two"):
                box.run(body=post(dict(HAM, **{"Message:": text})))
            paths = quarantined(box)
            with open(paths[0], encoding="utf-8") as f:
                data = f.read().replace("mark: spam", "mark: infected")
            with open(paths[0], "w", encoding="utf-8") as f:
                f.write(data)
            name = os.path.basename(paths[0])[:-4]
            refused = box.run(args=["-quarantine", "release", name])
            self.assertEqual(refused.code, 3)
            self.assertIn("marked infected", refused.text)
            forced = box.run(args=["-quarantine", "release", name, "--force"])
            self.assertEqual(forced.code, 0, forced.text)
            os.utime(paths[1], (time.time() - 2 * 86400,) * 2)
            pruned = box.run(args=["-quarantine", "list"])
            self.assertIn("1 message older than 1 days removed", pruned.text)
            self.assertEqual(quarantined(box), [])


if __name__ == "__main__":
    unittest.main()
