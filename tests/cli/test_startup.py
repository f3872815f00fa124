"""Start-up: file naming, option dispatch, the run sequence's log lines, the
fatal error page and a log shared by many processes at once."""

import os
import unittest

from harness import IS_EXE, LOG_LINE, Sandbox

FATAL_PAGE = (b"Pragma: no-cache\nContent-type: text/html\n\n<HTML><BODY>\n"
              b"error: The ini file could not be opened..\n</BODY></HTML>\n")

RUN_SEQUENCE = [
    "starting version 1.0v",
    "getting form info.",
    "loading config file.",
    "generating email.",
    "sending failure reply message.",
    "ended.",
]


def in_order(wanted, messages):
    """Whether `wanted` appear in `messages` in this order (others between)."""
    it = iter(messages)
    return all(any(m == w for m in it) for w in wanted)


class StartupTest(unittest.TestCase):
    def sandbox(self, **kwargs):
        box = Sandbox(**kwargs)
        self.addCleanup(box.cleanup)
        return box

    def test_paths_come_from_program_name(self):
        cases = [
            # name, subdir, settings and log path relative to the sandbox root
            ("quillon", "", "quillon.ini", "quillon.log"),
            ("quillon.cgi", "", "quillon.ini", "quillon.log"),
            ("quillon.exe" if IS_EXE else "quillon", "site.exe/cgi-bin",
             "site.ini", "site.log"),
            ("quillon.cgi", "a.cgi/b.exe", "a.ini", "a.log"),
        ]
        for name, subdir, ini, log in cases:
            with self.subTest(name=name, subdir=subdir):
                box = self.sandbox(name=name, subdir=subdir)
                box.ini_path = os.path.join(box.root, ini)
                box.log_path = os.path.join(box.root, log)
                with open(box.ini_path, "w") as f:
                    f.write("logging errors\n")
                result = box.run()
                self.assertEqual(0, result.code, result.said)
                messages = box.log_messages()
                self.assertIn("loading config file.", messages)
                # The settings file at the derived path was read: its
                # logging line stopped the debug lines.
                self.assertNotIn("generating email.", messages)
                if not IS_EXE:
                    self.assertIn("argv[0] == " + box.program, messages)
                    self.assertIn("Log file == " + box.log_path, messages)
                    self.assertIn("Ini file == " + box.ini_path, messages)
                if subdir:
                    self.assertFalse(os.path.exists(box.path("quillon.log")))

    def test_run_sequence_is_logged_in_order(self):
        box = self.sandbox()
        box.write_ini("logging debug\n")  # no smtp line: nothing is sent
        result = box.run(body="Name=Jo")
        self.assertEqual(0, result.code, result.said)
        messages = box.log_messages()
        self.assertEqual("starting version 1.0v", messages[0])
        if not IS_EXE:
            self.assertEqual(["argv[0] == " + box.program,
                              "Log file == " + box.log_path,
                              "Ini file == " + box.ini_path], messages[1:4])
        self.assertTrue(in_order(RUN_SEQUENCE, messages), messages)
        self.assertEqual("ended.", messages[-1])
        self.assertNotIn("sending success reply message.", messages)

    def test_debug_lines_stop_once_settings_say_errors(self):
        box = self.sandbox()
        box.write_ini("logging errors\n")
        result = box.run(body="Name=Jo")
        self.assertEqual(0, result.code, result.said)
        messages = box.log_messages()
        self.assertTrue(in_order(RUN_SEQUENCE[:3], messages), messages)
        for later in RUN_SEQUENCE[3:]:
            self.assertNotIn(later, messages)

    def test_missing_settings_file_gets_error_page(self):
        box = self.sandbox()
        result = box.run(body="Name=Jo")
        self.assertEqual(1, result.code, result.said)
        self.assertEqual(FATAL_PAGE, result.stdout)
        messages = box.log_messages()
        self.assertTrue(in_order(RUN_SEQUENCE[:3], messages), messages)
        # A bare line, no timestamp; then the "ended" line of the log writer.
        self.assertEqual(["The ini file could not be opened.", "ended"],
                         messages[-2:])
        self.assertIn("\nThe ini file could not be opened.\n", box.log_text())

    def test_unopenable_log_exits_two_without_page(self):
        box = self.sandbox()
        os.mkdir(box.log_path)
        result = box.run(body="Name=Jo")
        self.assertEqual(2, result.code, result.said)
        self.assertEqual(b"", result.stdout)

    def test_unopenable_log_loses_lines_but_run_goes_on(self):
        box = self.sandbox()
        box.write_ini("logging debug\n")
        os.mkdir(box.log_path)
        result = box.run(body="Name=Jo")
        self.assertEqual(0, result.code, result.said)
        self.assertTrue(result.stdout.startswith(b"Pragma: no-cache\n"))
        # Windows web servers read the CGI header lines of a text stream.
        expected = b"Pragma: no-cache\r\n" if IS_EXE else b"Pragma: no-cache\n"
        self.assertTrue(result.raw_stdout.startswith(expected))

    def test_arguments_that_are_no_option_end_at_the_help(self):
        for args in (["-VERSION"], ["-faq"], ["-version", "extra"],
                     ["-version_insert_filename"], ["-blanklog", "x"], ["help"]):
            with self.subTest(args=args):
                box = self.sandbox()
                box.write_ini("logging debug\n")  # no offer of a demo file
                result = box.run(args=args, body="Name=Jo")
                self.assertEqual(0, result.code, result.said)
                messages = box.log_messages()
                self.assertEqual("starting version 1.0v", messages[0])
                self.assertTrue(messages[3].startswith("Ini file == "), messages)
                self.assertNotIn("getting form info.", messages)

    def test_options_write_no_log_line(self):
        cases = [(["-version"], 0), (["-?"], 0), (["-FAQ"], 0),
                 (["-version_insert_filename", "no-such-file"], 3)]
        for args, code in cases:
            with self.subTest(args=args):
                box = self.sandbox()
                result = box.run(args=args)
                self.assertEqual(code, result.code, result.said)
                self.assertFalse(os.path.exists(box.log_path))

    def test_concurrent_runs_share_the_log_line_by_line(self):
        # Long directory names make the path lines a few kilobytes long, so
        # a line split by another process's write would show.
        deep = "/".join(["d" * 200] * 15)
        box = self.sandbox(subdir=deep)
        box.ini_path = box.path("quillon.ini")
        box.log_path = box.path("quillon.log")
        box.write_ini("logging errors\n")
        results = box.run_concurrently([b"Name=Jo"] * 50)
        for result in results:
            self.assertEqual(0, result.code, result.said)

        # Some messages span several lines; the lines after a timestamped one
        # belong to it. A write split by another process would leave a piece
        # under the wrong process id, so every process's record must match.
        by_pid = {}
        current = None
        for line in box.log_text().split("\n")[:-1]:
            m = LOG_LINE.match(line)
            if m:
                current = by_pid.setdefault(int(m.group(9)), [])
                current.append(m.group(10))
            else:
                self.assertIsNotNone(current, line[:200])
                current[-1] += "\n" + line
        self.assertEqual(50, len(by_pid))
        if not IS_EXE:
            self.assertEqual(sorted(r.pid for r in results), sorted(by_pid))
        first = next(iter(by_pid.values()))
        if not IS_EXE:
            self.assertIn("Log file == " + box.log_path, first)
        for pid, messages in by_pid.items():
            self.assertEqual(first, messages, pid)


if __name__ == "__main__":
    unittest.main()
