"""Hostile and oversized input: header injection through every way a
submitted value reaches the headers, markup in values shown on the reply
page, attempts to end the message data early and smuggle a second message,
decoded NUL and CR bytes, the largest bodies and pair counts, oversized
settings and page lines, odd CONTENT_LENGTH values, and printf directives
in outside text. Each run must end with exit 0 (no sanitizer report) and
the safe outcome named in its case."""

import re
import unittest

import harness
from scripted_smtp import ScriptedSMTP

FORM = harness.FORM
OWNER = "owner@example.com"
TRAILER = b"X-QUILLON: sent by web form submition activated CGI program."
SANITIZER_MARKS = (b"AddressSanitizer", b"runtime error:", b"LeakSanitizer")

# The standard settings without their From and Subject lines, for cases
# that supply those from the form.
BASE_INI = ("smtp 127.0.0.1:@PORT@\nlogging debug\nemail_CR=LFCR\n"
            "success_html_page success.html\nfailure_html_page failure.html\n"
            "headerline To: \"Site\" <owner@example.com>\n"
            "use_submitted_variable_for_bodycontent Name:\n")


def header_lines(data):
    """The header lines of a message as stored (CR LF line ends)."""
    return data.split(b"\r\n\r\n", 1)[0].split(b"\r\n")


class HostileTest(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)

    def run_box(self, body, content_length="auto", timeout=60):
        result = self.box.run(body=body, content_length=content_length,
                              timeout=timeout)
        self.assertEqual(0, result.code, result.said)
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, result.stderr)
        return result

    def send(self, ini, body=FORM, **kw):
        """Runs against a real SMTP server; returns (result, messages)."""
        with harness.CaptureSMTP() as server:
            self.box.write_ini(ini.replace("@PORT@", str(server.port)))
            result = self.run_box(body, **kw)
        return result, server.messages

    def settings_values(self, keyword):
        prefix = keyword + "("
        return [m[len(prefix):] for m in self.box.log_messages()
                if m.startswith(prefix)]

    def test_header_injection_through_every_header_path(self):
        spoof = "%0D%0ABcc%3A+victim%40evil.example"
        cases = [
            # (settings lines, form, recipients, header line that must
            # stand whole in the message)
            ("headerline From: form@example.com\n"
             "use_submitted_variable_for_headerline Subject:\n",
             "Subject%3A=Hi" + spoof, [OWNER],
             b"Subject: Hi Bcc: victim@evil.example"),
            # Encoded twice: the classic second decoding pass makes the line feed.
            ("form_decoding classic\nheaderline From: form@example.com\n"
             "use_submitted_variable_for_headerline Subject:\n",
             "Subject%3A=Hi%250ABcc%3A+victim%40evil.example", [OWNER],
             b"Subject: Hi Bcc: victim@evil.example"),
            # Raw line breaks, as a careless client sends them.
            ("headerline From: form@example.com\n"
             "use_submitted_variable_for_headerline Subject:\n",
             "Subject%3A=Hi\r\nBcc:+victim@evil.example", [OWNER],
             b"Subject: Hi Bcc: victim@evil.example"),
            ("add_headerline_colon\nheaderline From: form@example.com\n"
             "use_submitted_variable_for_headerline Subject\n",
             "Subject=Hi" + spoof, [OWNER],
             b"Subject: Hi Bcc: victim@evil.example"),
            ("headerline Subject: Form\n"
             "use_submitted_variable_for_headerline From:\n",
             "From%3A=form%40example.com%3E%0D%0ARCPT+TO%3A%3Cvictim%40evil.example",
             [OWNER], b"From: form@example.com> RCPT TO:<victim@evil.example"),
            ("headerline From: form@example.com\nheaderline Subject: Form\n"
             "use_submitted_variable_for_headerline CC:\n",
             "CC%3A=copy%40example.com" + spoof, [OWNER, "copy@example.com"],
             b"CC: copy@example.com Bcc: victim@evil.example"),
            # The blind copy fills the envelope only.
            ("headerline From: form@example.com\nheaderline Subject: Form\n"
             "use_submitted_variable_for_headerline BCC:\n",
             "BCC%3A=hidden%40example.com%0ASubject%3A+spoof", [OWNER, "hidden@example.com"],
             None),
        ]
        for ini, form, rcpts, line in cases:
            with self.subTest(form=form):
                self.setUp()
                result, messages = self.send(BASE_INI + ini, "Name%3A=Jo&" + form)
                self.assertIn(b"THANKS Jo", result.stdout)
                self.assertEqual(1, len(messages))
                self.assertEqual("form@example.com", messages[0]["mail_from"])
                self.assertEqual(rcpts, messages[0]["rcpt_tos"])
                headers = header_lines(messages[0]["data"])
                names = [h.split(b":", 1)[0].lower() for h in headers]
                self.assertNotIn(b"bcc", names)
                self.assertEqual(1, names.count(b"subject"), headers)
                self.assertEqual(TRAILER, headers[-1])
                if line is not None:
                    self.assertIn(line, headers)

    def test_markup_in_values_is_shown_as_text(self):
        page = ("<html><body>||Name:||<a href=\"||Link||\">x</a>||Note||"
                "||Entity||</body></html>\n")
        self.box.write("failure.html", page)
        self.box.write_ini("logging errors\nfailure_html_page failure.html\n")
        form = ("Name%3A=%3Cscript%3Ealert(1)%3C%2Fscript%3E"
                "&Link=%22+onmouseover%3D%22alert(1)"
                "&Note=||Name%3A||&Entity=%26lt%3B%27")
        result = self.run_box(form)
        self.assertIn(b"<html><body>&lt;script&gt;alert(1)&lt;/script&gt;"
                      b"<a href=\"&quot; onmouseover=&quot;alert(1)\">x</a>"
                      b"||Name:||&amp;lt;&#39;</body>", result.stdout)
        self.assertNotIn(b"<script>", result.stdout)

    def test_message_data_cannot_be_ended_early(self):
        # A value that would end the data and start a second message on a
        # server reading commands; lines that begin with a dot.
        smuggle = ("x%0A.%0AMAIL+FROM%3A%3Cevil%40evil.example%3E%0A"
                   "RCPT+TO%3A%3Cvictim%40evil.example%3E%0ADATA%0A"
                   "Subject%3A+smuggled%0A%0Aevil%0A.%0D%0AQUIT%0A.")
        form = FORM + "&Smuggle=" + smuggle + "&Dots=..two%0A.three%0D%0A."
        ini = (harness.standard_ini(0, crlf=True)
               .replace("smtp 127.0.0.1:0", "smtp 127.0.0.1:@PORT@")
               + "sendall true\nno_padding\nbodycontent_line .\n")
        for helo in (False, True):
            with self.subTest(helo=helo):
                self.setUp()
                hello = "hello_method HELO\n" if helo else ""
                result, messages = self.send(ini + hello, form)
                self.assertIn(b"THANKS Joe Bloggs", result.stdout)
                self.assertEqual(1, len(messages))
                self.assertEqual(["owner@example.com"], messages[0]["rcpt_tos"])
                data = messages[0]["data"]
                self.assertIn(b"\r\n(Smuggle)==(x\r\n.\r\nMAIL FROM:<evil@evil.example>\r\n"
                              b"RCPT TO:<victim@evil.example>\r\nDATA\r\n"
                              b"Subject: smuggled\r\n\r\nevil\r\n.\r\nQUIT\r\n.)\r\n", data)
                self.assertIn(b"\r\n(Dots)==(..two\r\n.three\r\n.)\r\n", data)
                self.assertIn(b"\r\n. \r\n", data)

    def test_no_bare_dot_line_reaches_the_wire(self):
        # With LF line ends a lenient server that takes a bare LF as a line
        # end must not see a line holding only a dot before the end mark.
        form = FORM + "&V=a%0A.%0Ab%0A.%0D%0Ac"
        ini = harness.standard_ini(0) + "sendall true\nno_padding\nbodycontent_line .\n"
        with ScriptedSMTP() as server:
            self.box.write_ini(ini.replace("127.0.0.1:0", "127.0.0.1:%d" % server.port))
            self.run_box(form)
            server.wait_sessions_done()
        data = server.session.data
        self.assertTrue(data.endswith(b"\r\n.\r\n"), data)
        lines = data[:-len(b"\r\n.\r\n")].split(b"\n")
        self.assertNotIn(b".", lines)
        self.assertNotIn(b".\r", lines)
        self.assertIn(b"(V)==(a\n..\nb\n..\nc)\n", data)

    def test_decoded_nul_and_cr(self):
        cases = [
            # (form, Name: as stored, Email: as stored)
            ("Name%3A=Jo%00e+Evil&Email%3A=e%40x", "Jo", "e@x"),
            ("Name%3A=Jo%2500e&Email%3A=e%40x", "Jo", "e@x"),
            ("Name%3A=J%0Do%250De&Email%3A=e%40x", "Joe", "e@x"),
            ("Na%00me%3A=x&Email%3A=e%40x", "", "e@x"),
            ("Name%3A=Jo&Email%3A=e%40x%00%26Name%3A%3Dlater", "Jo", "e@x"),
        ]
        for form, name, email in cases:
            with self.subTest(form=form):
                self.setUp()
                # The classic decoding, whose second pass can make them.
                self.box.write_ini(
                    "form_decoding classic\n"
                    "use_submitted_variable_for_bodycontent Name:\n"
                    "use_submitted_variable_for_bodycontent Email:\n")
                self.run_box(form)
                self.assertEqual(["Name:,%s}" % name, "Email:,%s}" % email],
                                 self.settings_values("add_body_variable"))

    def test_largest_body(self):
        lines = ["line %05d %s" % (i, "w" * 60) for i in range(1200)]
        value = "%0A".join(line.replace(" ", "+") for line in lines)
        head = "Name%3A=Joe&Email%3A=j%40x.example&Message%3A="
        filler = "&z=" + "f" * (100000 - len(head) - len(value) - 3)
        body = head + value + filler
        self.assertEqual(100000, len(body))
        ini = (harness.standard_ini(0, crlf=True).replace("127.0.0.1:0", "127.0.0.1:@PORT@")
               + "use_submitted_variable_for_bodycontent Message:\n")
        self.box.write("success.html", "<html>||Message:||</html>\n")
        result, messages = self.send(ini, body)
        self.assertEqual(1, len(messages))
        # The value arrives whole, one message line per value line.
        expected = " Message: " + "\r\n          ".join(lines) + "\r\n"
        self.assertIn(expected.encode(), messages[0]["data"])
        self.assertIn("\n".join(lines).encode(), result.stdout)

    def test_more_than_1000_pairs(self):
        pairs = ["Name%3A=Joe", "Email%3A=j%40x.example"]
        pairs += ["v%04d=%d" % (i, i) for i in range(1498)]
        pairs.append("Late=never")
        ini = (harness.standard_ini(0, crlf=True).replace("127.0.0.1:0", "127.0.0.1:@PORT@")
               + "sendall true\n")
        self.box.write("success.html", "<html>||Name:||/||Late||/||v0997||/||v0998||</html>\n")
        result, messages = self.send(ini, "&".join(pairs))
        self.assertEqual(1, len(messages))
        listed = re.findall(rb"\r\n\(v(\d{4})\)==\(", messages[0]["data"])
        self.assertEqual([b"%04d" % i for i in range(998)], listed)
        self.assertIn(b"<html>Joe//997/<br><center>", result.stdout)

    def test_settings_lines_beyond_the_line_area(self):
        long_text = "x" * 70000
        cases = [
            # (settings line, page text expected, log message expected)
            ("comment " + long_text, b"THANKS Joe Bloggs", "email sent! (1)"),
            ("bodycontent_line " + long_text, b"THANKS Joe Bloggs", "email sent! (1)"),
            ("use_submitted_variable_for_bodycontent " + long_text,
             b"THANKS Joe Bloggs", "email sent! (1)"),
            ("smtp h" + long_text, b"SORRY",
             "SMTP email server (h%s) did not respond." % ("x" * 63991)),
            # The cut path is tried (the log names it); the visitor sees no path.
            ("success_html_page /" + long_text, b"<HTML><BODY>\nemail sent.\n</BODY></HTML>",
             "email sent! (1)"),
        ]
        for line, page, message in cases:
            with self.subTest(line=line[:40]):
                self.setUp()
                ini = (harness.standard_ini(0).replace("127.0.0.1:0", "127.0.0.1:@PORT@")
                       + line + "\n")
                result, _ = self.send(ini)
                self.assertIn(page, result.stdout)
                self.assertIn(message, self.box.log_messages())
                # The piece after the cut matched no keyword.
                used = [m for m in self.box.log_messages()
                        if m.startswith("line used from ini file {x")]
                self.assertEqual([], used)

    def test_page_lines_beyond_the_line_area(self):
        a, b = "a" * 12000, "b" * 60000
        page = ("<html><body>" + a + "||Name:||" + b + "</body></html>\n"
                "second ||Name:|| line\n")
        self.box.write("failure.html", page)
        self.box.write_ini("logging errors\nfailure_html_page failure.html\n")
        result = self.run_box("Name%3A=J%26o")
        out = result.stdout.decode("latin-1")
        self.assertTrue(out.startswith("Pragma: no-cache\nContent-type: text/html\n\n"))
        page_out = out.split("\n\n", 1)[1]
        self.assertTrue(page_out.startswith("<html><body>" + a + "J&amp;o" + b + "</body>"))
        self.assertRegex(page_out, "<br><center>.*</center></html>\nsecond J&amp;o line\n$")

    def test_odd_content_lengths(self):
        body = "a=1234567890&b=2"
        refused = ("the form body of type {none} was refused: CONTENT_LENGTH is more than "
                   "the 100000 bytes it may hold; nothing sent.")
        cases = [
            # (CONTENT_LENGTH, a, b, the body is refused)
            ("99999999999999999999", "", "", True),
            ("4294967312", "", "", True),
            ("-99999999999999999999", "", "", False),
            (" 12", "1234567890", "", False),
            ("12abc", "1234567890", "", False),
            ("+16", "1234567890", "2", False),
            ("0x20", "", "", False),
        ]
        for length, a, b, logged in cases:
            with self.subTest(length=length):
                self.setUp()
                self.box.write_ini("use_submitted_variable_for_bodycontent a\n"
                                   "use_submitted_variable_for_bodycontent b\n")
                self.run_box(body, content_length=length)
                self.assertEqual(["a,%s}" % a, "b,%s}" % b],
                                 self.settings_values("add_body_variable"))
                errors = [m for m in self.box.log_messages() if m == refused]
                self.assertEqual(1 if logged else 0, len(errors))

    def test_printf_directives_in_outside_text(self):
        form = "Name%3A=%25s%25n%25x%25p%25d"
        ini = (BASE_INI + "headerline From: form@example.com\n"
               "headerline Subject: %s%n%08x\nbodycontent_line %n%n%n\n")
        self.box.write("success.html", "<html>%s%n ||Name:||</html>\n")
        result, messages = self.send(ini, form)
        self.assertEqual(1, len(messages))
        data = messages[0]["data"]
        self.assertIn(b"\r\nSubject: %s%n%08x \r\n", data)
        self.assertIn(b" Name: %s%n%x%p%d\r\n", data)
        self.assertIn(b" %n%n%n \r\n", data)
        self.assertIn(b"<html>%s%n %s%n%x%p%d", result.stdout)
        self.assertIn("add_body_variable(Name:,%s%n%x%p%d}", self.box.log_messages())


if __name__ == "__main__":
    unittest.main()
