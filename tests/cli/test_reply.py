"""Reply pages seen from the browser's side: a CGI run answers with the two
header lines and the success or failure page built from the page files."""

import re
import unittest

import harness

HEADERS = "Pragma: no-cache\nContent-type: text/html\n\n"
# The link's address and text are chosen at build time.
CREDIT = r'<br><center><font size=-2><A HREF="[^"]*">[^<]*</A><font size=\+2></center>'
BODY = "Name%3A=Jo+%3CB%3E+%26+%27Co%27&Email%3A=jo%40example.org"

PAGE = ("<html><body>\n"
        "Thanks ||Name:|| (||Email:||), 100% done. ||Missing|| end\n"
        "Broken ||token\n"
        "</body></html>\n")
PAGE_OUT_HEAD = ("<html><body>\n"
                 "Thanks Jo &lt;B&gt; &amp; &#39;Co&#39; (jo@example.org), 100% done.  end\n"
                 "token not terminated {Broken ||token\n}"
                 "</body>")
PAGE_OUT_TAIL = "</html>\n"

# No From header, so the mail is never sent and the failure page follows.
UNSENDABLE = ("smtp 127.0.0.1:9\n"
              "logging errors\n"
              "headerline To: owner@example.com\n"
              "headerline Subject: Form\n")


class ReplyPages(unittest.TestCase):
    def setUp(self):
        self.box = harness.Sandbox()
        self.addCleanup(self.box.cleanup)

    def assertPage(self, result, text):
        self.assertEqual(result.code, 0, result.said)
        self.assertEqual(result.text, HEADERS + text)

    def page_errors(self):
        return [m for m in self.box.log_messages() if "message file" in m]

    def test_missing_page_settings_give_built_in_pages(self):
        self.box.write_ini(UNSENDABLE)
        result = self.box.run(body=BODY)
        self.assertPage(result, "<HTML><BODY>\nemail NOT sent.\n\"failure_html_page\" message "
                                "file is not set in quillon ini file.</BODY></HTML>\n")
        self.assertEqual(self.page_errors(), [
            "\"failure_html_page\" message file is not set in quillon ini file."])

    def test_failure_page_from_file_with_tokens_and_credit_link(self):
        self.box.write("failure.html", PAGE)
        self.box.write_ini(UNSENDABLE + "failure_html_page failure.html\n")
        result = self.box.run(body=BODY)
        self.assertEqual(result.code, 0)
        self.assertRegex(result.text, "^" + re.escape(HEADERS + PAGE_OUT_HEAD) + CREDIT +
                         re.escape(PAGE_OUT_TAIL) + "$")
        self.assertEqual(self.page_errors(), [])

    def test_unreadable_page_is_reported_in_log_only(self):
        for path, sentence in (("http://example.org/%s%n.html", True),
                               ("Http-missing.html", False)):
            with self.subTest(path=path):
                self.box.write_ini(UNSENDABLE + "failure_html_page %s\n" % path)
                result = self.box.run(body=BODY)
                message = ("\"failure_html_page\" message file (%s) is not readable for "
                           "the reason (2)(No such file or directory)." % path)
                if sentence:
                    message += (" The setting is not a web address setting, it is a local "
                                "file name setting.")
                self.assertPage(result, "<HTML><BODY>\nemail NOT sent.\n</BODY></HTML>\n")
                self.assertEqual(self.page_errors()[-1], message)

    def test_outcome_and_message_tokens(self):
        self.box.write("failure.html", "[||quillon_outcome||] ||quillon_message||\n")
        self.box.write_ini(UNSENDABLE + "failure_html_page failure.html\n")
        result = self.box.run(body=BODY + "&quillon_outcome=sent")
        self.assertPage(result, "[not_configured] The form is not set up to send mail; "
                                "nothing was sent.\n")

    def test_success_page_after_mail_was_sent(self):
        self.box.write("success.html", "<HTML>Sent for ||Name:||.</HTML>\n")
        self.box.write("failure.html", "not this one\n")
        with harness.CaptureSMTP() as smtp:
            self.box.write_ini(harness.standard_ini(smtp.port))
            result = self.box.run(body=BODY)
        self.assertEqual(len(smtp.messages), 1, self.box.log_text())
        self.assertEqual(result.code, 0)
        self.assertRegex(result.text,
                         "^" + re.escape(HEADERS + "<HTML>Sent for Jo &lt;B&gt; &amp; "
                                         "&#39;Co&#39;.") + CREDIT +
                         re.escape("</HTML>\n") + "$")


if __name__ == "__main__":
    unittest.main()
