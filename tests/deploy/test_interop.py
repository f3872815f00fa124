"""Whole runs of the program (the sample site's settings, a posted form)
against real SMTP servers, in both greeting modes and with both line
endings. Each server starts on 127.0.0.1 for its runs and stops after.

What each server does with the two things this client does that not every
server takes (bare LF line ends, and commands sent before the greeting in
EHLO mode) is recorded in EXPECTED from observed runs; docs/interop.md has
the same table in words."""

import os
import shutil
import sys
import tempfile
import time
import unittest
import urllib.parse

import servers

sys.path.insert(0, os.path.join(servers.REPO, "tests", "cli"))
import tls_fixture  # noqa: E402

# "normalize" takes bare LF line ends but insists on CR LF "." CR LF to end
# the data; the strict settings refuse bare LF outright and refuse commands
# sent before the greeting.
NORMALIZE_POSTFIX = "smtpd_forbid_bare_newline = normalize\n"
STRICT_POSTFIX = """\
smtpd_forbid_bare_newline = reject
smtpd_forbid_bare_newline_exclusions =
smtpd_forbid_unauth_pipelining = yes
"""

# (server, hello_method, line ending) -> whether the mail goes out.
# smtp-sink only ends a command line at CR LF, so it never answers a bare
# LF command and the run ends in a read time-out. Strict Postfix refuses
# any bare LF and commands pipelined without its leave; the client speaks
# only after the greeting and pipelines only when offered, so CR LF mail goes
# out in both greeting modes.
EXPECTED = {}
for mode in ("EHLO", "HELO"):
    for ending in ("LF", "CRLF"):
        EXPECTED[("aiosmtpd", mode, ending)] = True
        EXPECTED[("postfix", mode, ending)] = True
        EXPECTED[("postfix-normalize", mode, ending)] = True
        EXPECTED[("postfix-strict", mode, ending)] = False
        EXPECTED[("smtp-sink", mode, ending)] = ending == "CRLF"
EXPECTED[("postfix-strict", "HELO", "CRLF")] = True
EXPECTED[("postfix-strict", "EHLO", "CRLF")] = True

# Servers that end a data line only at CR LF do not see a line start after
# a bare LF, so they keep the dot the client doubled there; Postfix takes
# bare LF as a line end and removes it.
LINE_ENDS_AT_BARE_LF = {"aiosmtpd": False, "postfix": True,
                        "postfix-normalize": True, "postfix-strict": True,
                        "smtp-sink": False}

VISITOR = [("Name:", "Ann <b>&\"' O'Neil"), ("Email:", "ann@example.org"),
           ("Message:", "line one\n.\n..two dots\nend")]
PAD = " " * len(" Message: ")
# The classic message: the sample's settings with standard_headers false.
HEADER_LINES = [
    "To: Site Owner <owner@example.com> ",
    "From: Contact Form <owner@example.com> ",
    "Subject: Message from the contact form ",
    "Reply-To: <ann@example.org>",
    "X-QUILLON: sent by web form submition activated CGI program.",
]
# Body entries: the value's lines are each ended with the email line
# ending and indented, so no line of it starts with a dot.
BODY_LINES = [
    " Someone filled in the contact form: ",
    " Name: Ann <b>&\"' O'Neil",
    " Email: ann@example.org",
    " Message: line one", PAD + ".", PAD + "..two dots", PAD + "end",
]


def variable_lines(server_name, ending):
    """The "All variables" list. A value's line breaks are written with the
    email line ending, so in CR LF mode every server unstuffs the "." lines;
    with bare LF, whether they arrive as sent depends on the server."""
    if ending == "CRLF" or LINE_ENDS_AT_BARE_LF[server_name]:
        dots = [".", "..two dots"]
    else:
        dots = ["..", "...two dots"]
    return ["", "", "All variables from the submitted form:",
            "(Name:)==(Ann <b>&\"' O'Neil)", "(Email:)==(ann@example.org)",
            "(Message:)==(line one"] + dots + ["end)"]


observed = []


def settings_for(mode, ending, sendall=True):
    lines = ["standard_headers false", "hello_method " + mode,
             "email_CR=LFCR" if ending == "CRLF" else "email_CR=CR",
             # Long enough for any loopback server, short enough that a
             # server that never answers costs seconds, not minutes.
             "smtp_timeout 3"]
    if sendall:
        lines.append("sendall true")
    return "\n" + "\n".join(lines) + "\n"


class InteropTest(unittest.TestCase):

    def run_modes(self, server_name, server):
        for mode in ("EHLO", "HELO"):
            for ending in ("LF", "CRLF"):
                with self.subTest(mode=mode, ending=ending):
                    self.run_one(server_name, server, mode, ending)

    def run_one(self, server_name, server, mode, ending, sendall=True):
        site = tempfile.mkdtemp(prefix="quillon-interop-")
        self.addCleanup(shutil.rmtree, site, True)
        program = servers.install_site(site, "127.0.0.1:%d" % server.port,
                                       settings_for(mode, ending, sendall))
        before = len(server.messages())
        started = time.monotonic()
        code, page = servers.cgi_run(program, urllib.parse.urlencode(VISITOR))
        elapsed = time.monotonic() - started
        sent = b"<title>Message sent</title>" in page
        observed.append((server_name, mode, ending, sendall, sent, elapsed))
        self.assertEqual(code, 0)
        expected = EXPECTED[(server_name, mode, ending)] if sendall else True
        if expected is not None:
            self.assertEqual(sent, expected, "reply page: %r" % page[:400])
        if not sent:
            self.assertIn(b"<title>Message not sent</title>", page)
            self.assertEqual(len(server.messages()), before,
                             "a refused mail must not be delivered")
            return
        messages = server.messages(wait_for=before + 1)
        self.assertEqual(len(messages), before + 1)
        self.check_message(messages[-1], server_name, ending, sendall)

    def check_message(self, data, server_name, ending, sendall):
        if server_name == "aiosmtpd":
            # It keeps the bytes as they came: check every line end.
            entries = data[:-2]
            if ending == "CRLF":
                self.assertNotRegex(entries, rb"[^\r]\n", "bare LF in a CR LF message")
            else:
                self.assertNotIn(b"\r", entries)
        lines = data.replace(b"\r\n", b"\n").decode("utf-8").split("\n")
        blank = lines.index("")
        for header in HEADER_LINES:
            self.assertIn(header, lines[:blank])
        body = lines[blank + 1:]
        want = BODY_LINES + (variable_lines(server_name, ending) if sendall else [""])
        self.assertEqual(body[:len(want)], want)

    def test_aiosmtpd(self):
        with servers.StoreServer() as server:
            self.run_modes("aiosmtpd", server)

    @unittest.skipUnless(servers.PostfixServer.available(), "postfix is not installed")
    def test_postfix_defaults(self):
        with servers.PostfixServer("postfix") as server:
            self.run_modes("postfix", server)

    @unittest.skipUnless(servers.PostfixServer.available(), "postfix is not installed")
    def test_postfix_normalize(self):
        with servers.PostfixServer("postfix-normalize", NORMALIZE_POSTFIX) as server:
            self.run_modes("postfix-normalize", server)

    @unittest.skipUnless(servers.PostfixServer.available(), "postfix is not installed")
    def test_postfix_strict(self):
        with servers.PostfixServer("postfix-strict", STRICT_POSTFIX) as server:
            self.run_modes("postfix-strict", server)
            with self.subTest(mode="HELO", ending="CRLF", sendall=False):
                self.run_one("postfix-strict", server, "HELO", "CRLF", sendall=False)

    @unittest.skipUnless(servers.PostfixServer.available() and tls_fixture.available(),
                         "postfix or openssl is not installed")
    def test_postfix_starttls(self):
        # Postfix refuses the mail without STARTTLS; the certificate is
        # checked against the test CA.
        tls = tls_fixture.TlsFiles()
        self.addCleanup(tls.cleanup)
        with servers.PostfixServer("postfix-starttls", tls=tls) as server:
            site = tempfile.mkdtemp(prefix="quillon-interop-")
            self.addCleanup(shutil.rmtree, site, True)
            program = servers.install_site(
                site, "localhost:%d" % server.port,
                "\nstandard_headers false\nsmtp_security starttls\nsmtp_ca_file %s\n"
                % tls.ca)
            code, page = servers.cgi_run(program, urllib.parse.urlencode(VISITOR))
            self.assertEqual(code, 0)
            self.assertIn(b"<title>Message sent</title>", page, server.log())
            messages = server.messages(wait_for=1)
            self.assertEqual(len(messages), 1)
            self.check_message(messages[0], "postfix", "CRLF", sendall=False)
            self.assertRegex(server.log(), r"TLS connection established from \S+127\.0\.0\.1")

    @unittest.skipUnless(servers.SinkServer.available(), "smtp-sink is not installed")
    def test_smtp_sink(self):
        with servers.SinkServer() as server:
            self.run_modes("smtp-sink", server)

    @classmethod
    def tearDownClass(cls):
        print("\nserver             mode  line end  sendall  result    seconds")
        for name, mode, ending, sendall, sent, elapsed in observed:
            print("%-18s %-5s %-9s %-8s %-9s %.2f"
                  % (name, mode, ending, "yes" if sendall else "no",
                     "sent" if sent else "not sent", elapsed))


if __name__ == "__main__":
    servers.main()
