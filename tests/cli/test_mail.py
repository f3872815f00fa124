"""Delivery to a real SMTP server: what arrives, for whom, from whom, and
what the log says about the exchange."""

import re
import unittest

import harness

FORM = harness.FORM
TRAILER = "X-QUILLON: sent by web form submition activated CGI program."


def header_block(e, extra=()):
    lines = ['To: "Site" <owner@example.com> ',
             'From: "Form" <form@example.com> ',
             "Subject: Form Submission Data "] + list(extra) + [TRAILER]
    return "".join(line + e for line in lines)


def body_block(e):
    return e.join([" Here are the details that they submitted: ",
                   " Name: Joe Bloggs", " Email: joe@example.org", ""])


def as_stored(wire):
    """What an SMTP server keeps of the content: lines end at CR LF, and one
    leading dot of such a line is taken away."""
    return "\r\n".join(line[1:] if line.startswith(".") else line
                        for line in wire.split("\r\n"))


class MailTest(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)

    def send(self, server, body=FORM, extra="", **ini):
        self.box.write_ini(harness.standard_ini(server.port, extra=extra, **ini))
        result = self.box.run(body=body)
        self.assertEqual(0, result.code, result.said)
        return result

    def socket_number(self):
        m = re.search(r"SEND\((\d+)\): \{", self.box.log_text())
        self.assertIsNotNone(m, self.box.log_text())
        return m.group(1)

    def test_message_arrives_whole_in_each_mode_and_line_ending(self):
        for helo in (False, True):
            for crlf in (False, True):
                with self.subTest(helo=helo, crlf=crlf):
                    self.setUp()
                    e = "\r\n" if crlf else "\n"
                    with harness.CaptureSMTP() as server:
                        result = self.send(server, helo=helo, crlf=crlf)
                    self.assertIn(b"THANKS Joe Bloggs", result.stdout)
                    self.assertEqual(1, len(server.messages))
                    msg = server.messages[0]
                    self.assertEqual("form@example.com", msg["mail_from"])
                    self.assertEqual(["owner@example.com"], msg["rcpt_tos"])
                    self.assertEqual("QUILLON", msg["helo"])
                    # The CR LF before the end mark belongs to the content.
                    expected = header_block(e) + e + body_block(e) + "\r\n"
                    self.assertEqual(expected.encode(), msg["data"])
                    log = self.box.log_text()
                    sock = self.socket_number()
                    # Every command goes out with the email line ending in
                    # one send; the content with its end mark in another.
                    self.assertIn("SENT(%s): (%d/%d bytes) {QUIT%s}\n"
                                  % (sock, 4 + len(e), 4 + len(e), e), log)
                    self.assertIn("%s\r\n.\r\n}\n" % e, log)
                    self.assertIn("email sent! (1)", self.box.log_messages())
                    self.assertNotIn("Email not sent.", log)

    def test_greeting_name_is_set_derived_from_a_fixed_from_or_the_default(self):
        form_from = ('headerline From: "Form" <form@example.com>',
                     "use_submitted_variable_for_headerline From:")
        cases = [
            # extra settings, HELO mode, From from the form, name greeted with
            ("hello_name web.example.com\n", True, False, "web.example.com"),
            ("standard_headers true\n", False, False, "example.com"),
            # The visitor never chooses the name.
            ("standard_headers true\n", False, True, "QUILLON"),
            ("hello_name QUILLON\nhello_name web_1.example.com\n", False, False, "QUILLON"),
        ]
        for extra, helo, from_form, name in cases:
            with self.subTest(extra=extra, from_form=from_form):
                self.setUp()
                ini = harness.standard_ini(0, extra=extra, helo=helo, crlf=True)
                if from_form:
                    ini = ini.replace(*form_from)
                with harness.CaptureSMTP() as server:
                    self.box.write_ini(ini.replace("127.0.0.1:0", "127.0.0.1:%d" % server.port))
                    body = FORM + "&From%3A=visitor%40evil.example"
                    self.assertEqual(0, self.box.run(body=body).code)
                self.assertEqual(name, server.messages[0]["helo"])
                verb = "HELO" if helo else "EHLO"
                self.assertIn("SEND(%s): {%s %s\n}" % (self.socket_number(), verb, name),
                              self.box.log_text())
        messages = self.box.log_messages()
        self.assertIn("hello_name {QUILLON} is not a domain name; keeping the default.",
                      messages)
        self.assertIn("hello_name {web_1.example.com} is not a domain name; keeping the "
                      "default.", messages)

    def test_header_lines_without_a_value_end_at_their_text_with_standard_headers(self):
        with harness.CaptureSMTP() as server:
            self.send(server, extra="standard_headers true\n", crlf=True)
        data = server.messages[0]["data"]
        for line in (b'To: "Site" <owner@example.com>', b'From: "Form" <form@example.com>',
                     b"Subject: Form Submission Data"):
            self.assertIn(b"\r\n" + line + b"\r\n", b"\r\n" + data)

    def test_copies_are_named_after_the_main_recipient_bcc_first(self):
        extra = ("headerline CC: copy@example.com\n"
                 "headerline BCC: hidden@example.com\n")
        for helo in (False, True):
            with self.subTest(helo=helo):
                self.setUp()
                with harness.CaptureSMTP() as server:
                    self.send(server, extra=extra, helo=helo)
                self.assertEqual(1, len(server.messages))
                self.assertEqual(["owner@example.com", "hidden@example.com",
                                  "copy@example.com"],
                                 server.messages[0]["rcpt_tos"])
                rcpts = re.findall(r"SEND\(\d+\): \{(RCPT TO:<[^>]*>)\n",
                                   self.box.log_text())
                self.assertEqual(["RCPT TO:<owner@example.com>",
                                  "RCPT TO:<hidden@example.com>",
                                  "RCPT TO:<copy@example.com>"], rcpts)

    def test_lines_beginning_with_a_dot_get_a_second_dot_on_the_wire(self):
        # no_padding puts the static lines at the start of a line; the list
        # of variables writes the value's own lines unindented.
        extra = ("no_padding\nbodycontent_line .\nbodycontent_line ..two\n"
                 "sendall true\n")
        form = FORM + "&Comments%3A=x%0A.%0A..y"
        for crlf in (False, True):
            with self.subTest(crlf=crlf):
                self.setUp()
                e = "\r\n" if crlf else "\n"
                with harness.CaptureSMTP() as server:
                    self.send(server, body=form, extra=extra, crlf=crlf,
                              helo=True)
                # The value's own line breaks take the message's line ending.
                lines = ["Here are the details that they submitted: ",
                         "Name: Joe Bloggs", "Email: joe@example.org",
                         ". ", "..two ", "", "",
                         "All variables from the submitted form:",
                         "(Name:)==(Joe Bloggs)", "(Email:)==(joe@example.org)",
                         "(Comments:)==(x", ".", "..y)", ""]
                # The log shows the body as assembled, the value's own line
                # breaks escaped.
                escaped = e.replace("\r", "\\r").replace("\n", "\\n")
                body = e.join(lines[:10]) + e + escaped.join(lines[10:13]) + e
                wire = e.join("." + line if line.startswith(".") else line
                              for line in lines)
                self.assertEqual(1, len(server.messages))
                self.assertEqual(
                    as_stored(header_block(e) + e + wire + "\r\n").encode(),
                    server.messages[0]["data"])
                sock = self.socket_number()
                self.assertIn("SEND(%s): {%s\n}\n" % (sock, body),
                              self.box.log_text())

    def test_helo_exchange_is_traced_step_by_step(self):
        with harness.CaptureSMTP() as server:
            self.send(server, helo=True)
        sock = self.socket_number()
        e = "\n"
        steps = [line for line in self.box.log_messages()
                 if line.startswith(("SEND(", "RECV("))]
        expected = [
            ("RECV(%s): {220 " % sock),
            ("SEND(%s): {HELO QUILLON" % sock),
            ("RECV(%s):[" % sock),
            ("SEND(%s): {MAIL FROM:<form@example.com>" % sock),
            ("RECV(%s):[" % sock),
            ("SEND(%s): {RCPT TO:<owner@example.com>" % sock),
            ("RECV(%s):[" % sock),
            ("SEND(%s): {DATA" % sock),
            ("RECV(%s):[" % sock),
            ("SEND(%s): {To: " % sock),
            ("SEND(%s): { Here are the details" % sock),
            ("RECV(%s):[" % sock),
            ("SEND(%s): {QUIT" % sock),
            ("RECV(%s):[" % sock),
        ]
        self.assertEqual(len(expected), len(steps), steps)
        for prefix, line in zip(expected, steps):
            self.assertTrue(line.startswith(prefix), (prefix, line))
        self.assertTrue(steps[8].endswith("] {354 End data with <CR><LF>.<CR><LF>\r}"))
        log = self.box.log_text()
        self.assertIn("SEND(%s): {%s\n}\n" % (sock, header_block(e)), log)
        self.assertIn("SEND(%s): {%s\n}\n" % (sock, body_block(e)), log)
        messages = self.box.log_messages()
        self.assertIn("about to send email to smtp server (127.0.0.1:%d) from: "
                      "(form@example.com) to: (owner@example.com)" % server.port,
                      messages)
        self.assertLess(messages.index("email sent! (1)"),
                        messages.index("sending success reply message."))

    def test_ehlo_waits_for_each_reply_without_pipelining(self):
        # The server offers no PIPELINING: after its greeting every command
        # waits for the reply to the one before.
        with harness.CaptureSMTP() as server:
            self.send(server)
        steps = [line for line in self.box.log_messages()
                 if line.startswith(("SEND(", "RECV("))]
        kinds = []
        for step in steps:
            kind = step[:4]
            if not kinds or kinds[-1] != kind or kind == "SEND":
                kinds.append(kind)
        # greeting; EHLO and its reply lines; MAIL, RCPT, DATA one by one;
        # the header and body blocks; the reply; QUIT and its reply.
        self.assertEqual(["RECV", "SEND", "RECV", "SEND", "RECV", "SEND",
                          "RECV", "SEND", "RECV", "SEND", "SEND", "RECV",
                          "SEND", "RECV"], kinds)
        self.assertIn("{EHLO QUILLON", steps[1])
        self.assertIn("{221 ", steps[-1])


if __name__ == "__main__":
    unittest.main()
