"""Attacks on a deployed program: maintenance commands through the query
string, bodies that are slow or larger than the program reads, requests
without a form, forged and exposed log lines, lone line ends and overlong
lines on the wire, and forms with more fields than are kept."""

import os
import unittest

import harness
from harness import IS_EXE

# What a web server sets for every CGI program it starts.
WEB = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST"}
OLD_LOG = b"old line\n"


class AttackTest(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)

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
                self.assertTrue(result.stdout.startswith(b"Pragma: no-cache\n"),
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
        self.assertTrue(result.stdout.startswith(
            b"Status: 405 Method Not Allowed\nAllow: POST\n"
            b"Pragma: no-cache\nContent-type: text/html\n\n<HTML>"), result.stdout)
        self.assertIn("request method GET is not POST: nothing sent.",
                      self.box.log_messages())


if __name__ == "__main__":
    unittest.main()
