"""Spam judged by what it says: the content rules end to end, the
quarantine they keep messages in (its files, the answers, the outcome
lines), the owner's -quarantine commands, and the filter engines as
scripted fakes that answer, fail, stall or talk nonsense."""

import glob
import json
import os
import re
import unittest
import urllib.parse

import harness

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


if __name__ == "__main__":
    unittest.main()
