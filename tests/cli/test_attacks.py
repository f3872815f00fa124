"""Attacks on a deployed program: maintenance commands through the query
string, bodies that are slow or larger than the program reads, requests
without a form, forged and exposed log lines, lone line ends and overlong
lines on the wire, and forms with more fields than are kept."""

import os
import re
import threading
import time
import unittest

import harness
from harness import IS_EXE
from scripted_smtp import ScriptedSMTP

# What a web server sets for every CGI program it starts.
WEB = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST"}
OLD_LOG = b"old line\n"
BODY_TIME_LIMIT = 30  # seconds


def text(out):
    """Output as the POSIX program writes it (the Windows one ends its
    lines with CR LF)."""
    return out.replace(b"\r\n", b"\n") if IS_EXE else out


class AttackTest(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)

    def start(self, **kw):
        """Starts the program; it is killed and its pipes closed at the end."""
        proc = self.box.start(**kw)

        def stop():
            proc.kill()
            proc.wait()
            for pipe in (proc.stdin, proc.stdout, proc.stderr):
                try:
                    pipe.close()
                except BrokenPipeError:
                    pass

        self.addCleanup(stop)
        return proc

    def test_query_string_words_are_no_commands_under_a_web_server(self):
        # Apache hands a query string without "=" over as arguments.
        cases = [
            (["-blanklog"], WEB),
            (["-version_insert_filename", "quillon.ini"], WEB),
            (["-version"], {"GATEWAY_INTERFACE": "CGI/1.1"}),
            (["-FAQ"], {"REQUEST_METHOD": "POST"}),
            (["help"], WEB),
        ]
        for args, env in cases:
            with self.subTest(args=args, env=env):
                self.setUp()
                if args != ["help"]:  # help offers a settings file when none exists
                    self.box.write_ini("logging debug\nfailure_html_page failure.html\n")
                self.box.write("quillon.log", OLD_LOG)
                result = self.box.run(args=args, body=b"y", env=env)
                self.assertTrue(text(result.stdout).startswith(b"Pragma: no-cache\n"),
                                result.stdout[:200])
                self.assertTrue(self.box.log_bytes().startswith(OLD_LOG))
                self.assertIn("getting form info.", self.box.log_messages())
                self.assertNotIn(b"[y/n]", result.stdout)
                if args == ["help"]:
                    self.assertEqual(1, result.code)  # no settings file: error page
                    self.assertFalse(os.path.exists(self.box.ini_path))
                else:
                    self.assertEqual(0, result.code)
                    self.assertIn(b"SORRY", result.stdout)
                    self.assertTrue(os.path.exists(self.box.ini_path))

    def test_request_without_a_form_sends_nothing(self):
        with harness.CaptureSMTP() as server:
            self.box.write_ini(harness.standard_ini(server.port))
            result = self.box.run(body=b"", env={"GATEWAY_INTERFACE": "CGI/1.1",
                                                 "REQUEST_METHOD": "GET"})
        self.assertEqual(0, result.code)
        self.assertEqual([], server.messages)
        self.assertTrue(text(result.stdout).startswith(
            b"Status: 405 Method Not Allowed\nAllow: POST\n"
            b"Pragma: no-cache\nContent-type: text/html\n\n<HTML>"), result.stdout)
        self.assertIn("request method GET is not POST: nothing sent.",
                      self.box.log_messages())

    @unittest.skipIf(IS_EXE, "Wine cannot look into a pipe from a Linux process "
                     "(platform_check tests the time limit with a Windows pipe)")
    def test_slow_body_is_refused(self):
        self.box.write_ini("logging debug\nfailure_html_page failure.html\n"
                           "use_submitted_variable_for_bodycontent Name\n")
        started = time.monotonic()
        proc = self.start(content_length="1000")
        proc.stdin.write(b"Name=Jo")
        proc.stdin.flush()  # and then nothing more, the pipe held open
        proc.wait(timeout=BODY_TIME_LIMIT + 15)  # the page fits in the pipe
        elapsed = time.monotonic() - started
        self.assertLess(elapsed, BODY_TIME_LIMIT + 10)
        self.assertGreater(elapsed, BODY_TIME_LIMIT - 1)
        self.assertEqual(0, proc.returncode)
        self.assertIn(b"SORRY", proc.stdout.read())
        messages = self.box.log_messages()
        # Nothing of a body that stopped is taken.
        self.assertIn("the form body of type {none} was refused: the body stopped after 7 of "
                      "1000 bytes (its 30 seconds were up); nothing sent.", messages)
        self.assertIn("outcome: not sent, the form was refused (malformed)", messages)
        self.assertIn("add_body_variable(Name,}", messages)

    def test_oversized_body_does_not_hold_its_writer(self):
        # The body, three times what a pipe holds, is refused: a program
        # that stopped reading would leave its writer blocked.
        self.box.write("failure.html", "<html>||Name||</html>\n")
        self.box.write_ini("logging errors\nfailure_html_page failure.html\n")
        head = b"Name=" + b"n" * (100000 - 5) + b"&z="
        body = head + b"z" * (300000 - len(head))
        for attempt in range(1, harness.WINE_STARTS + 1):
            proc = self.start(content_length=str(len(body)))

            def write():
                try:
                    proc.stdin.write(body)
                    proc.stdin.close()
                except BrokenPipeError:
                    pass

            writer = threading.Thread(target=write, daemon=True)
            writer.start()
            writer.join(timeout=20)
            self.assertFalse(writer.is_alive(), "the writer is blocked")
            out = proc.stdout.read()
            code = proc.wait(timeout=20)
            _, wine = harness.split_wine_lines(proc.stderr.read())
            if attempt == harness.WINE_STARTS or not harness.wine_refused(code, out, wine):
                break
            harness.note_refused(code, wine)
        self.assertEqual(0, code, wine)
        self.assertIn(b"<html><br>", out)
        self.assertIn("outcome: not sent, the form was refused (too_large)",
                      self.box.log_messages())

    def test_fields_past_the_1000th_are_reported(self):
        self.box.write_ini("logging errors\nfailure_html_page failure.html\n")
        result = self.box.run(body="&".join("v%d=%d" % (i, i) for i in range(1234)))
        self.assertEqual(0, result.code)
        self.assertIn("form has 1234 fields: the 234 after the 1000th were dropped.",
                      self.box.log_messages())

    @unittest.skipIf(IS_EXE, "POSIX file modes")
    def test_log_is_created_for_its_owner_only(self):
        self.box.write_ini("logging debug\nfailure_html_page failure.html\n")
        old = os.umask(0o022)
        try:
            for args in ([], ["-blanklog"]):
                with self.subTest(args=args):
                    if os.path.exists(self.box.log_path):
                        os.remove(self.box.log_path)
                    self.assertEqual(0, self.box.run(args=args, body=harness.FORM).code)
                    self.assertEqual(0o600, os.stat(self.box.log_path).st_mode & 0o777)
        finally:
            os.umask(old)

    @unittest.skipIf(IS_EXE, "POSIX symbolic links")
    def test_links_at_the_log_and_settings_places_are_not_followed(self):
        cases = [
            # (link name, its target exists, args, stdin, exit code, stdout end)
            ("quillon.log", False, [], harness.FORM, 0, None),
            ("quillon.log", True, ["-blanklog"], b"", 3,
             b" for output 40 Too many levels of symbolic links\n"),
            ("quillon.ini", False, ["help"], b"y\n", 0,
             b"Oh, I cant do that, (17)(File exists)."),
        ]
        for name, target_exists, args, stdin, code, out in cases:
            with self.subTest(link=name, args=args):
                self.setUp()
                link = self.box.path(name)
                elsewhere = self.box.path("elsewhere")
                if target_exists:
                    self.box.write("elsewhere", b"keep\n")
                if name != "quillon.ini":
                    self.box.write_ini("logging debug\nfailure_html_page failure.html\n")
                os.symlink(elsewhere, link)
                result = self.box.run(args=args, body=stdin)
                self.assertEqual(code, result.code)
                if out is not None:
                    self.assertTrue(result.stdout.endswith(out), result.stdout[-200:])
                self.assertTrue(os.path.islink(link))
                if target_exists:
                    self.assertEqual(b"keep\n", self.box.read("elsewhere"))
                else:
                    self.assertFalse(os.path.exists(elsewhere))

    def test_submitted_text_cannot_start_a_log_line(self):
        forged = "1st January 2027,  0:05:09 am - pid(1) - FORGED"
        enc = forged.replace(" ", "+").replace(",", "%2C").replace("(", "%28") \
            .replace(")", "%29").replace(":", "%3A")
        form = ("Name%3A=Joe%0A" + enc + "&Subject%3A=Hi%0D%0A" + enc +
                "&CC%3A=nobody%0A" + enc + "&Odd%0A" + enc + "=x")
        extra = ("sendall true\nuse_submitted_variable_for_headerline Subject:\n"
                 "use_submitted_variable_for_headerline CC:\n")
        for crlf in (False, True):
            with self.subTest(crlf=crlf):
                self.setUp()
                with harness.CaptureSMTP() as server:
                    self.box.write_ini(harness.standard_ini(server.port, extra, crlf=crlf))
                    self.assertEqual(0, self.box.run(body=form).code)
                self.assertEqual(1, len(server.messages))
                log = self.box.log_text()
                lines = log.split("\n")
                self.assertEqual([], [l for l in lines if l.startswith(forged[:20])])
                for shown in ("add_body_variable(Name:,Joe\\n" + forged + "}",
                              "add_header_line(Subject:,Hi\\n" + forged + ")",
                              "no email address in this line (nobody\\n" + forged + ")",
                              "(Odd\\" + ("r\\n" if crlf else "n") + forged + ")==(x)"):
                    self.assertIn(shown, log)

    def test_no_lone_line_end_reaches_the_wire(self):
        # Names keep their CRs; a CR before "." would hide the dot from
        # dot-stuffing on a server that takes a lone CR as a line end.
        form = harness.FORM + "&a%0D.%0D%0AMAIL+FROM%3A%3Cx%40evil.example%3E=v"
        for crlf in (False, True):
            with self.subTest(crlf=crlf):
                self.setUp()
                e = b"\r\n" if crlf else b"\n"
                with ScriptedSMTP() as server:
                    self.box.write_ini(harness.standard_ini(server.port, "sendall true\n",
                                                            crlf=crlf))
                    self.assertEqual(0, self.box.run(body=form).code)
                    server.wait_sessions_done()
                data = server.session.data
                self.assertIn(b"(a" + e + b".." + e + b"MAIL FROM:<x@evil.example>)==(v)",
                              data)
                self.assertNotRegex(data, rb"\r(?!\n)")
                if crlf:
                    self.assertNotRegex(data, rb"(?<!\r)\n")

    def test_long_lines_arrive_whole_within_the_line_limit(self):
        subject = " ".join("w%04d" % i for i in range(200))  # 1199 characters
        message = "m" * 1200
        form = "Subject%3A=" + subject.replace(" ", "+") + "&Message%3A=" + message
        with harness.CaptureSMTP() as server:
            ini = harness.standard_ini(server.port, "use_submitted_variable_for_bodycontent "
                                       "Message:\n", crlf=True)
            self.box.write_ini(ini.replace("headerline Subject: Form Submission Data",
                                           "use_submitted_variable_for_headerline Subject:"))
            self.assertEqual(0, self.box.run(body=form).code)
        self.assertEqual(1, len(server.messages))
        data = server.messages[0]["data"]
        self.assertEqual([], [l[:40] for l in data.split(b"\r\n") if len(l) > 998])
        head, body = data.split(b"\r\n\r\n", 1)
        unfolded = re.sub(rb"\r\n(?=[ \t])", b"", head)
        self.assertIn(b"\r\nSubject: " + subject.encode() + b"\r\n", unfolded)
        self.assertIn(b" Message: " + message.encode() + b"\r\n", body.replace(b"m\r\nm", b"mm"))
        self.assertIn("email sent! (1)", self.box.log_messages())
        # The log's DATA text has the wire's line breaks.
        broken = "\r\n Message: %s\r\n%s\r\n" % (message[:988], message[988:])
        self.assertIn(broken.encode(), body)
        self.assertIn(broken, self.box.log_text())


if __name__ == "__main__":
    unittest.main()
