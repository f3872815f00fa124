"""Several forms from one install: the request's path chooses a form's
settings file, read over the shared one; names that are no form's are
answered 404 before anything is read or sent."""

import email
import json
import os
import re
import email.policy
import unittest
import urllib.parse

import harness

JSON = {"HTTP_ACCEPT": "application/json"}
SHARED_HEADERS = ("headerline To: shared@example.com\n"
                  "headerline From: form@example.com\n"
                  "headerline Subject: Shared\n")


def form_headers(to, subject):
    return ("headerline To: %s\nheaderline From: form@example.com\n"
            "headerline Subject: %s\n" % (to, subject))


def parsed(message):
    return email.message_from_bytes(message["data"], policy=email.policy.default)


class SeveralForms(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.smtp = harness.CaptureSMTP()
        self.smtp.__enter__()
        self.addCleanup(self.smtp.__exit__)
        self.box.write_ini("smtp 127.0.0.1:%d\nlogging debug\nsuccess_html_page success.html\n"
                           "failure_html_page failure.html\n" % self.smtp.port + SHARED_HEADERS +
                           "use_submitted_variable_for_bodycontent Name:\n")
        self.box.write("forms/contact.ini", form_headers("contact@example.com", "Contact") +
                       "success_html_page contact.html\nlogging nothing\n")
        self.box.write("forms/jobs.ini", form_headers("jobs@example.com", "Application"))
        self.box.write("contact.html", "<p>CONTACT ||Name:||</p>\n")

    def post(self, path, env=None, **options):
        full = {"PATH_INFO": path} if path is not None else {}
        full.update(env or {})
        result = self.box.run(body=harness.FORM, env=full, **options)
        self.assertEqual(0, result.code, result.said)
        return result

    def test_the_path_chooses_recipients_and_pages(self):
        cases = [
            # path, recipient, subject, page text, outcome line's suffix
            (None, "shared@example.com", "Shared", "THANKS Joe Bloggs", ""),
            ("/", "shared@example.com", "Shared", "THANKS Joe Bloggs", ""),
            ("/contact", "contact@example.com", "Contact", "CONTACT Joe Bloggs",
             "; form contact"),
            ("/jobs", "jobs@example.com", "Application", "THANKS Joe Bloggs", "; form jobs"),
        ]
        for path, to, subject, page, suffix in cases:
            with self.subTest(path=path):
                before = len(self.smtp.messages)
                result = self.post(path)
                self.assertIn(page, result.text)
                sent = self.smtp.messages[before:]
                self.assertEqual([[to]], [m["rcpt_tos"] for m in sent])
                self.assertEqual(subject, parsed(sent[0])["Subject"].strip())
                outcome = [m for m in self.box.log_messages() if m.startswith("outcome:")]
                self.assertTrue(outcome[-1].endswith("recipient" + suffix) or
                                suffix in outcome[-1], outcome[-1])
                self.assertEqual(suffix != "", "; form " in outcome[-1])
        # The form's own logging line is not taken: one log, the shared level.
        self.assertIn("loading config file.", self.box.log_messages())

    def test_iis_includes_the_program_in_the_path(self):
        script = "/cgi-bin/" + self.box.name
        self.post(script + "/jobs", {"SCRIPT_NAME": script})
        self.assertEqual(["jobs@example.com"], self.smtp.messages[-1]["rcpt_tos"])

    def test_names_that_are_no_form_are_answered_404_with_nothing_sent(self):
        paths = ["/..", "/%2e%2e", "//", "/contact/../jobs", "/%00", "/" + "a" * 65,
                 "/Contact", "/missing", "/forms", "/contact.ini"]
        for path in paths:
            for accept, head in ((JSON, "Status: 404 Not Found\nPragma: no-cache\n"
                                        "Content-Type: application/json\n\n"),
                                 ({}, "Status: 404 Not Found\nPragma: no-cache\n"
                                      "Content-type: text/html\n\n")):
                with self.subTest(path=path, json=bool(accept)):
                    before = len(self.box.log_messages())
                    result = self.post(path, accept)
                    self.assertTrue(result.text.startswith(head), result.text)
                    if accept:
                        self.assertIn('"outcome": "unknown_form"', result.text)
                    errors = [m for m in self.box.log_messages()[before:]
                              if "names no form" in m]
                    self.assertEqual(1, len(errors))
                    self.assertNotIn("loading config file.", self.box.log_messages()[before:])
        self.assertEqual([], self.smtp.messages)

    def test_without_a_forms_folder_the_path_is_ignored(self):
        box = harness.page_sandbox(self)
        box.write_ini(harness.standard_ini(self.smtp.port))
        result = box.run(body=harness.FORM, env={"PATH_INFO": "/anything/../at all"})
        self.assertIn("THANKS Joe Bloggs", result.text)
        self.assertEqual(1, len(self.smtp.messages))

    def test_form_folder_names_the_folder(self):
        self.box.write("quillon.ini", self.box.read("quillon.ini").decode() +
                       "form_folder elsewhere\n")
        self.box.write("elsewhere/other.ini", form_headers("other@example.com", "Other"))
        self.post("/other")
        self.assertEqual(["other@example.com"], self.smtp.messages[-1]["rcpt_tos"])
        self.assertIn("404 Not Found", self.post("/jobs").text)

    def test_owner_commands_take_a_form(self):
        result = self.box.run(args=["-check", "--all"])
        out = result.stdout.decode()
        self.assertIn("forms: contact jobs\n", out)
        self.assertIn("checking the form jobs (", out)
        self.assertIn("  line 5: the form's file sets this key\n", out)
        result = self.box.run(args=["-check", "jobs"])
        self.assertNotIn("forms:", result.stdout.decode())
        self.assertIn("checking the form jobs", result.stdout.decode())
        self.assertNotIn("checking the form contact", result.stdout.decode())
        for args in (["-check", "nosuch"], ["-resend", "--form", "../x"]):
            result = self.box.run(args=args)
            self.assertEqual(3, result.code)
            self.assertIn("no such form", result.stdout.decode())

    def test_resend_goes_through_every_forms_spool(self):
        self.box.write("forms/jobs.ini", form_headers("jobs@example.com", "Application") +
                       "spool_folder jobs-spool\nsmtp 127.0.0.1:9\n")
        self.post("/jobs")
        self.assertEqual([], self.smtp.messages)
        self.box.write("forms/jobs.ini", form_headers("jobs@example.com", "Application") +
                       "spool_folder jobs-spool\n")
        result = self.box.run(args=["-resend"])
        self.assertEqual(0, result.code, result.said)
        self.assertRegex(result.stdout.decode(), r"^resend: form jobs\n\S+: sent\nresend: 1 sent")
        self.assertEqual(["jobs@example.com"], self.smtp.messages[-1]["rcpt_tos"])


class HeaderTemplates(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.smtp = harness.CaptureSMTP()
        self.smtp.__enter__()
        self.addCleanup(self.smtp.__exit__)

    def sent(self, name, extra_headers="", standard=False):
        self.box.write_ini(
            "smtp 127.0.0.1:%d\nlogging debug\nemail_CR=LFCR\n" % self.smtp.port +
            ("standard_headers true\n" if standard else "") +
            "headerline To: owner@example.com\n"
            "headerline From: ||Name:|| <form@example.com>\n"
            "headerline Subject: Message from ||Name:||, thanks\n" + extra_headers +
            "use_submitted_variable_for_bodycontent Name:\n")
        body = urllib.parse.urlencode({"Name:": name, "Email:": "evil@example.net"})
        result = self.box.run(body=body)
        self.assertEqual(0, result.code, result.said)
        return self.smtp.messages[-1]

    def test_values_are_filled_encoded_and_never_addresses(self):
        long_name = "\u00e9" * 250
        cases = [
            # submitted name, the Subject as read
            ("Joe Bloggs", "Message from Joe Bloggs, thanks"),
            ("J\u00fcrgen M\u00fcller", "Message from J\u00fcrgen M\u00fcller, thanks"),
            ("=?UTF-8?B?QmNjOg==?=", "Message from =?UTF-8?B?QmNjOg==?=, thanks"),
            ("Joe\r\nBcc: victim@example.net", "Message from Joe Bcc: victim@example.net, thanks"),
            (long_name, "Message from " + "\u00e9" * 200 + "\u2026, thanks"),
        ]
        for standard in (False, True):
            for name, subject in cases:
                with self.subTest(name=name[:30], standard=standard):
                    sent = self.sent(name, "headerline Cc: ||Email:||\n", standard)
                    self.assertEqual(["owner@example.com"], sent["rcpt_tos"])
                    self.assertEqual("form@example.com", sent["mail_from"])
                    message = parsed(sent)
                    self.assertEqual(subject, message["Subject"].strip())
                    self.assertIsNone(message["Bcc"])
                    self.assertIsNone(message["Cc"])
                    self.assertEqual(["form@example.com"],
                                     [a.addr_spec for a in message["From"].addresses])
                    # Python keeps the fold between two encoded words of a phrase.
                    shown = message["From"].addresses[0].display_name
                    self.assertEqual(name.replace("\r\n", "")[:200].replace(" ", ""),
                                     shown.replace(" ", "")[:200 - name.count(" ")])
                    for line in sent["data"].split(b"\r\n"):
                        self.assertLessEqual(len(line), 998)
                        self.assertFalse(line.startswith(b"Bcc"), line)


class Languages(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.smtp = harness.CaptureSMTP()
        self.smtp.__enter__()
        self.addCleanup(self.smtp.__exit__)
        self.box.write("success.de.html", "<p>DANKE ||Name:||</p>\n")
        self.box.write("success.fr.html", "<p>MERCI ||Name:||</p>\n")
        self.box.write("messages.de.txt", "sent Danke: Ihre Nachricht wurde gesendet.\n"
                                          "missing Bitte alle Felder ausf\xc3\xbcllen.\n")
        self.box.write_ini(harness.standard_ini(self.smtp.port, "languages de fr\n"
                                                "messages_file de messages.de.txt\n"))

    def test_accept_language_chooses_page_message_and_header(self):
        cases = [
            # Accept-Language, JSON?, Content-Language, text in the answer
            ("de-AT,de;q=0.9,en;q=0.5", False, "de", "DANKE Joe Bloggs"),
            ("en;q=0.2, fr;q=0.9, de;q=0.5", False, "fr", "MERCI Joe Bloggs"),
            ("fr-CA", False, "fr", "MERCI Joe Bloggs"),
            ("es, *;q=0.1", False, "en", "THANKS Joe Bloggs"),
            (None, False, "en", "THANKS Joe Bloggs"),
            ("de;q=0, fr", False, "fr", "MERCI Joe Bloggs"),
            ("DE", True, "de", '"message": "Danke: Ihre Nachricht wurde gesendet."'),
            # No messages file in French: the built-in English message.
            ("fr, de;q=0.5", True, "de", '"message": "Danke: Ihre Nachricht'),
            ("fr", True, "en", '"message": "Thank you: your message was sent."'),
        ]
        for accept_language, json, tag, text in cases:
            with self.subTest(accept_language=accept_language, json=json):
                env = dict(JSON) if json else {}
                if accept_language is not None:
                    env["HTTP_ACCEPT_LANGUAGE"] = accept_language
                result = self.box.run(body=harness.FORM, env=env)
                self.assertIn("Content-Language: %s\n" % tag, result.text.partition("\n\n")[0])
                self.assertIn(text, result.text)
                outcome = [m for m in self.box.log_messages() if m.startswith("outcome:")]
                self.assertTrue(outcome[-1].endswith("; language " + tag), outcome[-1])

    def test_check_lists_the_languages_of_each_page(self):
        self.box.write("mail.html", "<p>||Name:|| ||Phone||</p>\n")
        self.box.write("messages.fr.txt", "sent Merci.\n")
        self.box.write_ini(self.box.read("quillon.ini").decode() + "html_template mail.html\n"
                           "messages_file fr nosuch.txt\nheaderline X-Topic: ||Topic||\n")
        out = self.box.run(args=["-check"]).stdout.decode()
        for line in ("success_html_page success.html: readable\n    token ||Name:||\n"
                     "    languages: de fr\n",
                     "failure_html_page failure.html: readable\n    no ||tokens||\n"
                     "    languages: none; without a file of their own: de fr\n",
                     "html_template mail.html: readable\n    token ||Name:||\n    token ||Phone||:"
                     " no settings line names this field (filled only when the form sends it)\n"
                     "  messages_file de messages.de.txt: readable\n"
                     "  problem: messages_file fr nosuch.txt cannot be read",
                     "  headerline X-Topic: a template\n    token ||Topic||: no settings line"):
            self.assertIn(line, out)

    def test_without_languages_nothing_changes(self):
        self.box.write_ini(harness.standard_ini(self.smtp.port))
        result = self.box.run(body=harness.FORM, env={"HTTP_ACCEPT_LANGUAGE": "de"})
        self.assertTrue(result.text.startswith("Pragma: no-cache\n"), result.text)
        self.assertIn("THANKS Joe Bloggs", result.text)

    def test_confirmation_in_the_visitors_language_by_the_forms_challenge(self):
        import test_altcha
        self.box.write("altcha.key", test_altcha.SECRET + "\n")
        self.box.write("reply.txt", "Thanks, ||Name:||.\n")
        self.box.write("reply.de.txt", "Danke, ||Name:||.\n")
        self.box.write("forms/contact.ini", harness.standard_ini(self.smtp.port, "\n".join([
            "languages de", "captcha altcha", "altcha_key_file altcha.key", "altcha_cost 50",
            "autoreply_to_variable Email:", "autoreply_subject Thanks",
            "autoreply_file reply.txt"]) + "\n"))
        self.box.write_ini("logging debug\n")
        cgi = {"GATEWAY_INTERFACE": "CGI/1.1", "PATH_INFO": "/contact"}
        got = self.box.run(env=dict(cgi, REQUEST_METHOD="GET", QUERY_STRING="altcha"))
        self.assertIn("Status: 200 OK", got.text)
        payload = test_altcha.solve(json.loads(got.text.partition("\n\n")[2]))
        form = urllib.parse.urlencode({"Name:": "Joe", "Email:": "joe@example.net",
                                       "altcha": payload})
        self.box.run(body=form, env=dict(cgi, REQUEST_METHOD="POST", REMOTE_ADDR="192.0.2.9",
                                         HTTP_ACCEPT_LANGUAGE="de-CH, en;q=0.5"))
        confirmation = [m for m in self.smtp.messages if m["rcpt_tos"] == ["joe@example.net"]]
        self.assertEqual(1, len(confirmation))
        self.assertIn(b"Danke, Joe.", confirmation[0]["data"])


HTML = ("<html><body><p>From ||Name:||</p>\n||quillon_fields||\n"
        "<p>||missing|| ||unclosed</p></body></html>\n")
TRICKY = "<b>Jo & 'Co\"</b>\r\nJ\u00f6rg"


class HtmlMail(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.box.write("mail.html", HTML)
        self.smtp = harness.CaptureSMTP()
        self.smtp.__enter__()
        self.addCleanup(self.smtp.__exit__)

    def send(self, extra, body=None, content_type=None, standard=True):
        self.box.write_ini(harness.standard_ini(self.smtp.port, extra, crlf=True) +
                           ("standard_headers true\n" if standard else ""))
        env = {"CONTENT_TYPE": content_type} if content_type else None
        if body is None:
            body = urllib.parse.urlencode({"Name:": TRICKY, "Email:": "jo@example.org"})
        result = self.box.run(body=body, env=env)
        self.assertEqual(0, result.code, result.said)
        return parsed(self.smtp.messages[-1])

    def test_plain_text_first_then_the_escaped_html(self):
        for standard in (True, False):
            with self.subTest(standard=standard):
                plain = self.send("", standard=standard)
                message = self.send("html_template mail.html\n", standard=standard)
                self.assertEqual("multipart/alternative", message.get_content_type())
                text, html = list(message.iter_parts())
                self.assertEqual("text/plain", text.get_content_type())
                # The plain message's data ends with the line end before the final ".".
                self.assertEqual(plain.get_payload(decode=True),
                                 text.get_payload(decode=True) + b"\r\n")
                self.assertEqual("text/html", html.get_content_type())
                shown = "&lt;b&gt;Jo &amp; &#39;Co&quot;&lt;/b&gt;<br>\r\nJ\u00f6rg"
                self.assertIn("<p>From %s</p>" % shown, html.get_content())
                self.assertIn("<tr><th align=\"left\" valign=\"top\">Name:</th><td>%s</td></tr>"
                              % shown, html.get_content())
                self.assertIn("<p> ||unclosed</p>", html.get_content())

    def test_labels_name_the_fields_in_text_table_and_missing_answer(self):
        labels = "field_label Name: = Your name\nfield_label Email: = Your e-mail\n"
        message = self.send("html_template mail.html\n" + labels)
        text, html = list(message.iter_parts())
        self.assertIn(" Your name <b>Jo", text.get_content())
        self.assertIn(">Your e-mail</th><td>jo@example.org<", html.get_content())
        result = self.box.run(body="Name%3A=Jo", env=JSON)
        self.box.write_ini(harness.standard_ini(self.smtp.port, labels +
                                                "required_variable Email:\n"))
        result = self.box.run(body="Name%3A=Jo", env=JSON)
        self.assertIn('"message": "Please fill in: Your e-mail", "missing": ["Email:"]',
                      result.text)

    def test_with_files_the_alternative_sits_inside_mixed(self):
        import test_forms
        content_type, body = test_forms.multipart([("Name:", "Jo"),
                                                   ("upload", "cv.pdf", b"%PDF-1.4 x")])
        message = self.send("html_template mail.html\nattachments_max_kb 100\n", body,
                            content_type)
        self.assertEqual("multipart/mixed", message.get_content_type())
        first, upload = list(message.iter_parts())
        self.assertEqual("multipart/alternative", first.get_content_type())
        self.assertEqual(["text/plain", "text/html"],
                         [p.get_content_type() for p in first.iter_parts()])
        self.assertEqual(b"%PDF-1.4 x", upload.get_content())


DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "forms.md")


def doc_blocks(heading):
    """The fenced blocks of forms.md's section `heading`, in order."""
    with open(DOCS, encoding="utf-8") as f:
        text = f.read().split("\n## " + heading + "\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```\w*\n(.*?)```", text, re.S)


class DocumentedBlocks(unittest.TestCase):
    def test_the_blocks_of_forms_md_work_as_shown(self):
        box = harness.page_sandbox(self)
        layout, contact = doc_blocks("Several forms from one install")
        self.assertIn("contact.ini", layout)
        subject, = doc_blocks("Subjects that say who wrote")
        languages, = doc_blocks("Answers in the visitor's language")
        settings, template = doc_blocks("HTML mail")
        box.write("contact-thanks.html", "<p>THANKS</p>\n")
        box.write("success.de.html", "<p>DANKE</p>\n")
        box.write("messages.de.txt", "sent Danke.\n")
        box.write("mail.html", template)
        with harness.CaptureSMTP() as smtp:
            box.write_ini("smtp 127.0.0.1:%d\nemail_CR=LFCR\nlogging debug\n" % smtp.port +
                          languages + settings)
            box.write("forms/contact.ini", contact.replace("/var/spool/quillon-contact",
                                                           box.path("spool")))
            box.write("forms/jobs.ini", subject + "headerline To: jobs@example.com\n")
            body = urllib.parse.urlencode({"Name:": "Jo", "Topic": "prices",
                                           "Message:": "Hello"})
            result = box.run(body=body, env={"PATH_INFO": "/contact",
                                             "HTTP_ACCEPT_LANGUAGE": "de"})
            self.assertIn("THANKS", result.text)
            self.assertIn("Content-Language: en\n", result.text)
            box.run(body=body, env={"PATH_INFO": "/jobs"})
            message, job = [parsed(m) for m in smtp.messages]
        self.assertEqual(["sales@example.com"], smtp.messages[0]["rcpt_tos"])
        self.assertEqual("Message from Jo", message["Subject"].strip())
        self.assertEqual("Message from Jo about prices", job["Subject"].strip())
        self.assertEqual("Jo via the site", job["From"].addresses[0].display_name)
        text, html = list(message.iter_parts())
        self.assertIn(" Your message Hello", text.get_content())
        self.assertIn("<h2>New message from Jo</h2>", html.get_content())


if __name__ == "__main__":
    unittest.main()
