"""Form bodies and settings files as the program receives them: the body on a
pipe with CONTENT_LENGTH, the settings file beside the program. The checks
read the log lines of the settings step, which name every decoded value."""

import unittest

from harness import Sandbox


def settings_step(messages):
    """The log messages written while the settings file was read."""
    start = messages.index("loading config file.") + 1
    end = messages.index("generating email.", start)
    return messages[start:end]


class FormSettingsTest(unittest.TestCase):
    def setUp(self):
        self.new_box()

    def new_box(self):
        self.box = Sandbox()
        self.addCleanup(self.box.cleanup)

    def run_form(self, ini, body=b"", **kwargs):
        self.box.write_ini(ini)
        result = self.box.run(body=body, **kwargs)
        return result, self.box.log_messages()

    def test_typical_request_fills_the_body_entries(self):
        ini = ("logging debug\n"
               "headerline Subject: Form Submission Data\n"
               "use_submitted_variable_for_bodycontent Name:\n"
               "use_submitted_variable_for_bodycontent Interests:\n"
               "use_submitted_variable_for_headerline Missing:\n"
               "this line is a comment\n")
        result, log = self.run_form(
            ini, "Name%3A=Joe+Bloggs&Interests%3A=sailing")
        self.assertEqual(result.code, 0)
        self.assertEqual(settings_step(log), [
            "line used from ini file {logging debug}",
            "add_header_line(Subject: Form Submission Data,)",
            "line used from ini file {headerline Subject: Form Submission Data}",
            "add_body_variable(Name:,Joe Bloggs}",
            "line used from ini file {use_submitted_variable_for_bodycontent Name:}",
            "add_body_variable(Interests:,sailing}",
            "line used from ini file {use_submitted_variable_for_bodycontent Interests:}",
            "add_header_line(Missing:,)",
            "line used from ini file {use_submitted_variable_for_headerline Missing:}",
        ])

    def test_crlf_settings_file_reads_like_lf(self):
        lines = ["smtp 127.0.0.1:1", "email_CR=LFCR",
                 "use_submitted_variable_for_bodycontent a", "smtp_timeout 5"]
        body = "a=1%2B1"
        _, lf_log = self.run_form("\n".join(lines) + "\n", body)
        self.new_box()
        _, crlf_log = self.run_form("\r\n".join(lines), body)
        self.assertEqual(settings_step(lf_log), settings_step(crlf_log))
        self.assertIn("add_body_variable(a,1+1}", settings_step(crlf_log))
        self.assertIn("line used from ini file {smtp_timeout 5}",
                      settings_step(crlf_log))

    def test_logging_errors_silences_debug_lines_from_its_own_line_on(self):
        ini = ("headerline Before: 1\n"
               "logging errors\n"
               "headerline After: 2\n"
               "smtp_timeout 0\n")
        result, log = self.run_form(ini, "x=1")
        self.assertEqual(result.code, 0)
        self.assertIn("getting form info.", log)
        self.assertIn("line used from ini file {headerline Before: 1}", log)
        self.assertNotIn("line used from ini file {logging errors}", log)
        self.assertNotIn("add_header_line(After: 2,)", log)
        self.assertNotIn("generating email.", log)
        self.assertIn("smtp_timeout {0} is not a whole number of seconds from "
                      "1 to 3600; keeping 60.", log)

    def test_missing_settings_file_ends_the_run(self):
        result = self.box.run(body="x=1")
        self.assertEqual(result.code, 1)
        self.assertIn("The ini file could not be opened.", result.text)
        log = self.box.log_messages()
        self.assertIn("The ini file could not be opened.", log)
        self.assertNotIn("generating email.", log)

    def test_raw_bytes_of_the_body_pass_unchanged(self):
        # CR, ^Z and bytes above 127 as a careless client might send them;
        # only the CR is removed, by the value's decoding (the log shows the
        # ^Z escaped).
        ini = "use_submitted_variable_for_bodycontent v\n"
        _, log = self.run_form(ini, b"v=a\rb\x1a\xe9%e9&w=2")
        self.assertIn("add_body_variable(v,ab\\x1A\xe9\xe9}", settings_step(log))

    def test_nul_byte_ends_the_form(self):
        ini = ("use_submitted_variable_for_bodycontent a\n"
               "use_submitted_variable_for_bodycontent b\n")
        _, log = self.run_form(ini, b"a=1\x00&b=2")
        self.assertIn("add_body_variable(a,1}", settings_step(log))
        self.assertIn("add_body_variable(b,}", settings_step(log))

    def test_form_decoding_decides_the_values_the_settings_show(self):
        ini = ("use_submitted_variable_for_bodycontent x\n"
               "use_submitted_variable_for_bodycontent y\n")
        cases = [
            # (last settings line, x, y)
            ("", "20% off", "%41%42"),
            ("form_decoding standard\n", "20% off", "%41%42"),
            ("form_decoding classic\n", "20% Off", "AB"),
        ]
        for line, x, y in cases:
            with self.subTest(line=line):
                self.new_box()
                _, log = self.run_form(ini + line, "x=20%25+off&y=%2541%2542")
                step = settings_step(log)
                self.assertIn("add_body_variable(x,%s}" % x, step)
                self.assertIn("add_body_variable(y,%s}" % y, step)

    def test_body_lengths(self):
        ini = ("use_submitted_variable_for_bodycontent first\n"
               "use_submitted_variable_for_bodycontent last\n")
        filler = "f=" + "x" * (100000 - len("first=A&f=&last=Z")) + "&"
        full = "first=A&" + filler + "last=Z"
        self.assertEqual(len(full), 100000)
        refused = "the form body of type {none} was refused: "
        cases = [
            # (body, CONTENT_LENGTH, first, last, why it was refused)
            (full, "auto", "A", "Z", None),
            (full + "Z&more=1", "100008", "", "",
             "CONTENT_LENGTH is more than the 100000 bytes it may hold"),
            ("first=A&last=Z", "1000", "", "", "the body stopped after 14 of 1000 bytes"),
            ("first=A&last=Z", "9", "A", "", None),
            ("first=A&last=Z", "-1", "", "", None),
            ("first=A&last=Z", "", "", "", None),
            ("first=A&last=Z", None, "", "", None),  # unset
        ]
        for body, length, first, last, why in cases:
            with self.subTest(length=length, size=len(body)):
                self.new_box()
                result, log = self.run_form(ini, body, content_length=length)
                self.assertEqual(result.code, 0)
                self.assertIn("add_body_variable(first,%s}" % first, log)
                self.assertIn("add_body_variable(last,%s}" % last, log)
                errors = [m for m in log if m.startswith(refused)]
                self.assertEqual(errors, [] if why is None else
                                 [refused + why + "; nothing sent."])


if __name__ == "__main__":
    unittest.main()
