"""Commands for the person who installs the program: the help text with the
offer of a demonstration settings file, the version banner, a fresh log,
renaming a file to carry the version, and the FAQ page."""

import os
import re
import resource
import signal
import subprocess
import unittest

from harness import BIN, IS_EXE, Sandbox

HELP_BODY = (
    b"This program sends emails based upon the ini files and information submitted\n"
    b" through standard HTTP post format (this is a cgi executable).\n"
    b"\n"
    b"Ini variable names are:\n"
    b"\"smtp\"   - use once to specify smtp server.\n"
    b"\"logging\"  - use once to specify logging (debug/errors)\n"
    b"\"sendall\"  - use once to send all variables in the body (true/false).\n"
    b"\"success_html_page\" - file to output if successful send of email.\n"
    b"\"failure_html_page\" - file to output if failure to send email.\n"
    b"\"headerline\" - static header entry e.g. \"headerline Subject: email\"\n"
    b"\"use_submitted_variable_for_headerline\" - dynamic header entry e.g.\n"
    b"   If submitted variable \"Subject:\" is set to \"email\", then\n"
    b"   \"use_submitted_variable_for_headerline Subject:\" outputs \"Subject: email\" \n"
    b"\"bodycontent_line\" - static body line e.g. \"bodycontent_line Users details:\"\n"
    b"\"use_submitted_variable_for_bodycontent\" - dynamic body line entry e.g.\n"
    b"   If submitted variable \"Name:\" is set to \"Joe Bloggs\", then\n"
    b"   \"use_submitted_variable_for_bodycontent Name:\" outputs \"Name: Joe Bloggs\" \n"
    b"Variables are outputed in the order that they are in, in the ini file.\n"
    b"\n"
    b"Headers that must be defined are: 'To:', 'From:' and 'Subject:'.\n"
    b"The email address in the 'From:' header will be the bounce email address.\n"
    b"The email address in the 'To:' header will be the recipient.\n"
    b"\n")

HELP_FIRST_LINE = re.compile(rb"\A\nQUILLON - (\S+)\n")
PROMPT = b"Would you like me to generate a demo ini file for you?[y/n]"


def demo_file(email):
    return ("smtp 127.0.0.1\n"
            "logging errors\n"
            "sendall false\n"
            "hello_method HELO\n"
            "success_html_page /html/success.html\n"
            "failure_html_page /html/failure.html\n"
            "\n"
            "headerline To: \"Me\" <%s>\n"
            "headerline From: \"Me\" <%s>\n"
            "headerline Subject: Form Submission Data\n"
            "use_submitted_variable_for_headerline Status:\n"
            "bodycontent_line Here are the details that they submitted:\n"
            "use_submitted_variable_for_bodycontent Name:\n"
            "use_submitted_variable_for_bodycontent Email:\n"
            "use_submitted_variable_for_bodycontent Interests:\n"
            % (email, email)).encode("latin-1")


def run_as(argv0, args, cwd, stdin=b""):
    """Runs the binary with a chosen argv[0], which decides where the program
    looks for its settings and log files."""
    proc = subprocess.run([argv0] + list(args), executable=BIN, cwd=cwd,
                          input=stdin, capture_output=True, timeout=60,
                          env={"PATH": "/usr/bin:/bin", "TZ": "UTC"})
    return proc.returncode, proc.stdout


class Base(unittest.TestCase):
    def sandbox(self, **kwargs):
        box = Sandbox(**kwargs)
        self.addCleanup(box.cleanup)
        return box

    def split_help(self, out):
        """Checks the help text at the start of `out`; returns the rest."""
        m = HELP_FIRST_LINE.match(out)
        self.assertIsNotNone(m, out[:200])
        self.assertTrue(m.group(1).startswith(b"http"), m.group(1))
        rest = out[m.end():]
        self.assertEqual(HELP_BODY, rest[:len(HELP_BODY)])
        return rest[len(HELP_BODY):]

    def file_bytes(self, path):
        with open(path, "rb") as f:
            data = f.read()
        return data.replace(b"\r\n", b"\n") if IS_EXE else data


class HelpTest(Base):
    def test_help_without_prompt_when_settings_exist(self):
        for args in (["help"], ["-version", "extra"]):
            with self.subTest(args=args):
                box = self.sandbox()
                box.write_ini("logging errors\n")
                result = box.run(args=args, stdin=b"y\n")
                self.assertEqual(0, result.code)
                self.assertEqual(b"", self.split_help(result.stdout))
                self.assertEqual(b"logging errors\n", box.read("quillon.ini"))
        if not IS_EXE:
            self.assertEqual([
                "starting version 1.0v",
                "argv[0] == " + box.program,
                "Log file == " + box.log_path,
                "Ini file == " + box.ini_path,
                "printing help info.",
                "ending.",
            ], box.log_messages())

    def test_answers_to_the_prompt(self):
        cases = [
            # what the user types, whether the demonstration file is written
            (b"y\n", True),
            (b"Yes\n", True),
            (b"YES please\r\n", True),
            (b"\r\ry\n", True),
            (b"y", True),
            (b"n\n", False),
            (b"\n", False),
            (b" y\n", False),
            (b"no\ny\n", False),
            (b"", False),
        ]
        for answer, written in cases:
            with self.subTest(answer=answer):
                box = self.sandbox()
                result = box.run(args=["help"], stdin=answer)
                self.assertEqual(0, result.code)
                rest = self.split_help(result.stdout)
                expected = PROMPT
                if written:
                    # Under Wine the program sees its path in Windows form.
                    path = re.search(rb"ini file is \((.*)\)", rest)
                    shown = path.group(1) if IS_EXE and path else box.ini_path.encode()
                    expected += b"ini file is (%s).\n\n" % shown
                self.assertEqual(expected, rest)
                self.assertEqual(written, os.path.exists(box.ini_path))
                messages = box.log_messages()
                self.assertIn("detected no ini file.", messages)
                self.assertEqual(written, "writing demo ini file." in messages)
                self.assertEqual("ending.", messages[-1])

    def test_demo_file_bytes(self):
        box = self.sandbox()
        result = box.run(args=["help"], stdin=b"y\n")
        self.assertEqual(0, result.code)
        data = self.file_bytes(box.ini_path)
        m = re.search(rb"headerline To: \"Me\" <([^>]+)>\n", data)
        self.assertIsNotNone(m, data)
        self.assertIn(b"@", m.group(1))
        self.assertEqual(demo_file(m.group(1).decode("latin-1")), data)

    @unittest.skipIf(IS_EXE, "needs a chosen argv[0] and POSIX symlinks")
    def test_settings_that_cannot_be_read_are_not_replaced(self):
        box = self.sandbox()
        # A link to itself: opening fails, but not because the file is absent.
        os.symlink("quillon.ini", box.ini_path)
        result = box.run(args=["help"], stdin=b"y\n")
        self.assertEqual(0, result.code)
        self.assertEqual(b"", self.split_help(result.stdout))
        self.assertTrue(os.path.islink(box.ini_path))
        self.assertIn("detected no ini file.", box.log_messages())

    @unittest.skipIf(IS_EXE, "needs a chosen argv[0]")
    def test_demo_file_in_missing_directory(self):
        box = self.sandbox()
        argv0 = os.path.join(box.dir, "gone", "quillon")
        code, out = run_as(argv0, ["help"], box.dir, stdin=b"y\n")
        self.assertEqual(0, code)
        rest = self.split_help(out)
        ini = argv0 + ".ini"
        self.assertEqual(PROMPT + b"ini file is (%s).\n\n" % ini.encode() +
                         b"Oh, I cant do that, (2)(No such file or directory).",
                         rest)
        self.assertFalse(os.path.exists(os.path.dirname(ini)))


class MaintenanceTest(Base):
    def test_version_banner(self):
        for option in ("-version", "-?"):
            with self.subTest(option=option):
                box = self.sandbox()
                result = box.run(args=[option])
                self.assertEqual(0, result.code)
                self.assertEqual(
                    b"\nQUILLON (c) the QUILLON developers Version: 1.0v\n",
                    result.stdout)
                self.assertFalse(os.path.exists(box.log_path))

    def test_blanklog_leaves_one_line(self):
        box = self.sandbox()
        box.write("quillon.log", "old line\n" * 500)
        result = box.run(args=["-blanklog"])
        self.assertEqual(0, result.code)
        self.assertEqual(b"", result.stdout)
        self.assertEqual(b"This is the log file for quillon\n",
                         self.file_bytes(box.log_path))
        # A missing log is created the same way.
        os.remove(box.log_path)
        self.assertEqual(0, box.run(args=["-blanklog"]).code)
        self.assertEqual(b"This is the log file for quillon\n",
                         self.file_bytes(box.log_path))

    @unittest.skipIf(IS_EXE, "needs a chosen argv[0]")
    def test_blanklog_cannot_open(self):
        box = self.sandbox()
        argv0 = os.path.join(box.dir, "gone", "quillon")
        code, out = run_as(argv0, ["-blanklog"], box.dir)
        self.assertEqual(3, code)
        self.assertEqual(b"cant open %s.log for output 2 No such file or directory\n"
                         % argv0.encode(), out)

    @unittest.skipIf(IS_EXE, "needs POSIX file size limits")
    def test_blanklog_write_failure_is_reported(self):
        # A file size limit stands in for a full disk (the log is never
        # written through a link, so /dev/full cannot be it).
        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (10, 10))

        box = self.sandbox()
        proc = subprocess.run([box.program, "-blanklog"], cwd=box.dir,
                              capture_output=True, timeout=60,
                              preexec_fn=limit_file_size,
                              env={"PATH": "/usr/bin:/bin", "TZ": "UTC"})
        self.assertEqual(3, proc.returncode)
        self.assertEqual(b"cant write to %s for output 27 File too large\n"
                         % box.log_path.encode(), proc.stdout)

    def test_version_insert_filename(self):
        refused = b"I dont want to rename that file (%s)(10v)(quillon)(%s)\n"
        cases = [
            # program name, file argument, stdout, exit code, new name
            ("quillon", "quillon.zip",
             b"renamed  quillon.zip  ->  quillon10v.zip\n", 0, "quillon10v.zip"),
            ("quillon", "quillon_setup.exe",
             b"renamed  quillon_setup.exe  ->  quillon10v_setup.exe\n", 0,
             "quillon10v_setup.exe"),
            ("quillon.exe", "quillon.zip",
             b"renamed  quillon.zip  ->  quillon10v.zip\n", 0, "quillon10v.zip"),
            ("quillon", "readme.txt",
             refused % (b"readme.txt", b"quillon10vtxt"), 3, None),
            ("quillon", "Quillon.zip",
             refused % (b"Quillon.zip", b"quillon10v.zip"), 3, None),
            ("quillon", "dist/quillon.zip",
             refused % (b"dist/quillon.zip", b"quillon10villon.zip"), 3, None),
            # Shorter than the base name: nothing of it follows the version.
            ("quillon", "quil", refused % (b"quil", b"quillon10v"), 3, None),
        ]
        for name, argument, out, code, new_name in cases:
            with self.subTest(name=name, argument=argument):
                box = self.sandbox(name=name)
                box.write(argument, b"payload")
                result = box.run(args=["-version_insert_filename", argument])
                self.assertEqual(out, result.stdout)
                self.assertEqual(code, result.code)
                if new_name is None:
                    self.assertEqual(b"payload", box.read(argument))
                else:
                    self.assertFalse(os.path.exists(box.path(argument)))
                    self.assertEqual(b"payload", box.read(new_name))
                self.assertFalse(os.path.exists(box.log_path))

    def test_rename_never_replaces(self):
        box = self.sandbox()
        box.write("quillon.zip", b"new")
        box.write("quillon10v.zip", b"old")
        result = box.run(args=["-version_insert_filename", "quillon.zip"])
        self.assertEqual(3, result.code)
        self.assertRegex(result.stdout.decode(),
                         r"^rename failed\. quillon\.zip  -> quillon10v\.zip  "
                         r"\d+:.+\n$")
        if not IS_EXE:
            self.assertEqual(b"rename failed. quillon.zip  -> quillon10v.zip  "
                             b"17:File exists\n", result.stdout)
        self.assertEqual(b"new", box.read("quillon.zip"))
        self.assertEqual(b"old", box.read("quillon10v.zip"))

    def test_rename_of_missing_file(self):
        box = self.sandbox()
        result = box.run(args=["-version_insert_filename", "quillon.zip"])
        self.assertEqual(3, result.code)
        self.assertEqual(b"rename failed. quillon.zip  -> quillon10v.zip  "
                         b"2:No such file or directory\n", result.stdout)

    def test_overlong_name_is_refused(self):
        box = self.sandbox()
        argument = "quillon" + "x" * 12000
        result = box.run(args=["-version_insert_filename", argument])
        self.assertEqual(3, result.code)
        self.assertTrue(result.stdout.startswith(
            b"I dont want to rename that file (quillonxxx"))
        # Each field is cut to its area, never more.
        fields = re.findall(rb"\(([^()]*)\)", result.stdout)
        self.assertEqual(4, len(fields))
        self.assertEqual([9999, 3, 7, 9999], [len(f) for f in fields])


class FaqPageTest(Base):
    @classmethod
    def setUpClass(cls):
        box = Sandbox()
        try:
            result = box.run(args=["-FAQ"])
            cls.code = result.code
            cls.page = result.text
            cls.log_written = os.path.exists(box.log_path)
        finally:
            box.cleanup()
        cut = cls.page.index("</UL><BR>")
        cls.index = cls.page[:cut]
        cls.body = cls.page[cut:]

    def test_bare_html_document(self):
        self.assertEqual(0, self.code)
        self.assertFalse(self.log_written)
        self.assertTrue(self.page.startswith(
            "<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>QUILLON FAQ</H2><BR><UL>"
            "<li><A HREF=\"#Q1\">Q 1 </A>\nQuillon works but takes ages?\n"
            "</li>\n\n<li>"))
        self.assertTrue(self.page.endswith("</BODY>\n</HTML>\n"))
        self.assertNotIn("Content-type", self.page)

    def test_links_anchors_and_answers_are_numbered_alike(self):
        links = re.findall(r'<li><A HREF="#Q(\d+)">Q (\d+) </A>\n', self.index)
        self.assertEqual([(str(n), str(n)) for n in range(1, 28)], links)
        anchors = re.findall(r'<BR><H3><a name="Q(\d+)">Q (\d+) </a>\n',
                             self.body)
        self.assertEqual([(str(n), str(n)) for n in range(1, 28)], anchors)
        answers = re.findall(r"</H3><B>A (\d+) - </B>\n", self.body)
        self.assertEqual([str(n) for n in range(1, 28)], answers)
        # The index holds no answers and no preformatted blocks.
        self.assertNotIn("<pre>", self.index)
        self.assertNotIn("</H3>", self.index)
        self.assertEqual(27, self.index.count("</li>\n\n"))

    def test_question_with_markup_is_printed_unchanged(self):
        row = ('headerline From: "use_submitted_variable_for_headerline Name:" '
               '<use_submitted_variable_for_headerline from_address:>\n')
        question = "when i do this:\n\n" + row + "\nthe cgi will not work.\n"
        self.assertIn('<li><A HREF="#Q22">Q 22 </A>\n' + question + "</li>",
                      self.index)
        self.assertIn('<a name="Q22">Q 22 </a>\n' + question + "</H3>",
                      self.body)

    def test_escaped_outside_preformatted_blocks_only(self):
        body = self.body[:self.body.rindex("</BODY>")]
        answers = re.split(r"</H3><B>A \d+ - </B>\n", body)[1:]
        self.assertEqual(27, len(answers))
        outside_total, inside_total = "", ""
        for number, answer in enumerate(answers, 1):
            answer = answer.split("<BR><H3>")[0]
            parts = re.split(r"<pre>\n|</pre>\n", answer)
            self.assertEqual(1, len(parts) % 2, number)
            outside = "".join(parts[0::2])
            inside = "".join(parts[1::2])
            with self.subTest(answer=number):
                self.assertNotRegex(outside, r'[<>"]')
                self.assertNotRegex(outside, r"&(?!amp;|lt;|gt;|quot;)")
                self.assertNotIn("&amp;lt;", inside)
                self.assertNotIn("&amp;quot;", inside)
            outside_total += outside
            inside_total += inside
        # Both kinds occur, so the checks above had something to check.
        self.assertIn("&quot;", outside_total)
        self.assertIn("&lt;/html&gt;", outside_total)
        self.assertIn('"', inside_total)
        self.assertIn("&lt;Directory", inside_total)

    def test_bracketed_marks_are_kept(self):
        first = self.body.split('<a name="Q2">')[0]
        self.assertRegex(first, r"\n\[b\][^\n]*\[/b\]")
        self.assertNotIn("[b]", self.index)
        for tag in ("[q]", "[a]", "[pre]", "[/pre]"):
            self.assertNotIn(tag, self.page)


if __name__ == "__main__":
    unittest.main()
