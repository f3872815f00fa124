"""Form bodies of every kind as clients send them: URL-encoded, multipart
(with and without files), text/plain and JSON, read through to the mail a
real SMTP server receives. Attached files are read back with Python's email
package and compared with the bytes that were uploaded."""

import email
import email.policy
import http.server
import os
import subprocess
import threading
import unittest

import harness
from harness import CaptureSMTP, page_sandbox, standard_ini
from test_spool import read_spool

EOL = b"\r\n"
ON = "attachments_max_kb 2048\n"
# Bytes a text path would change: CR LF, lone CR and LF, NUL, high bytes.
PAYLOAD = bytes(range(256)) * 40 + b"\r\n.\r\nend\r"


def multipart(parts, boundary="XyZ", eol=EOL, quoted=False):
    """A multipart/form-data body and its CONTENT_TYPE. parts: (name, value)
    for text, (name, file name, bytes) for a file."""
    out = b""
    for part in parts:
        out += b"--" + boundary.encode() + eol
        disposition = b'Content-Disposition: form-data; name="%s"' % part[0].encode()
        if len(part) == 3:
            disposition += b'; filename="%s"' % part[1].encode()
            out += disposition + eol + b"Content-Type: application/octet-stream" + eol
            value = part[2]
        else:
            out += disposition + eol
            value = part[1].encode() if isinstance(part[1], str) else part[1]
        out += eol + value + eol
    out += b"--" + boundary.encode() + b"--" + eol
    shown = '"%s"' % boundary if quoted else boundary
    return "multipart/form-data; boundary=" + shown, out


def curl_body(*args):
    """The CONTENT_TYPE and body that curl sends with `args` (posted to a
    listener on 127.0.0.1 that keeps them)."""
    seen = {}

    class Keep(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers["Content-Length"])
            seen["type"] = self.headers["Content-Type"]
            seen["body"] = self.rfile.read(length)
            self.send_response(204)
            self.end_headers()

        def log_message(self, *a):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Keep)
    thread = threading.Thread(target=server.handle_request)
    thread.start()
    url = "http://127.0.0.1:%d/" % server.server_address[1]
    subprocess.run(["curl", "-s", "--noproxy", "*", "-o", os.devnull] + list(args) + [url],
                   check=True, timeout=30)
    thread.join()
    server.server_close()
    return seen["type"], seen["body"]


def requests_body(data, files):
    import requests  # Debian's python3-requests
    prepared = requests.Request("POST", "http://127.0.0.1/", data=data, files=files).prepare()
    return prepared.headers["Content-Type"], prepared.body


def parsed(message):
    return email.message_from_bytes(message["data"], policy=email.policy.default)


def pdf_lines(data):
    """The encoded lines of the message's application/pdf part."""
    lines = data.replace(b"\r\n", b"\n").split(b"\n")
    start = next(i for i, line in enumerate(lines) if b"application/pdf" in line)
    start = lines.index(b"", start) + 1
    end = next(i for i in range(start, len(lines)) if lines[i].startswith(b"--"))
    return [line for line in lines[start:end] if line]


def errors(box):
    # The outcome line that closes every refused run is not counted here.
    return [m for m in box.log_messages() if not m.startswith("outcome: ") and (
            "ERROR" in m or "refused" in m or "not attached" in m or "not taken" in m)]


class FormsCase(unittest.TestCase):
    def setUp(self):
        self.box = page_sandbox(self)

    def post(self, content_type, body, extra="", server=None):
        port = server.port if server else harness.free_port()
        # CR LF lines: a real server reads a bare-LF message as one long line.
        self.box.write_ini(standard_ini(port, extra, crlf=True))
        env = {"CONTENT_TYPE": content_type} if content_type else None
        result = self.box.run(body=body, env=env)
        self.assertEqual(0, result.code, result.said)
        return result


class DecoderTest(FormsCase):
    def test_every_body_kind_reaches_the_body_lines(self):
        joe = [("Name:", "Joe Bloggs"), ("Email:", "joe@example.org")]
        cases = [
            ("unquoted boundary", multipart(joe)),
            ("quoted boundary", multipart(joe, boundary="a b:c", quoted=True)),
            ("LF framing", multipart(joe, eol=b"\n")),
            ("boundary inside a value",
             multipart([("Name:", "x\r\n--XyZy Joe"), ("Email:", "joe@example.org")])),
            ("charset field", multipart([("_charset_", "ISO-8859-1"), ("Name:", b"Jo\xe9"),
                                         ("Email:", "joe@example.org")])),
            ("text/plain", ("text/plain", b"Name:=Joe Bloggs\r\nEmail:=joe@example.org\r\n")),
            ("JSON", ("application/json; charset=utf-8",
                      b'{"Name:": "Joe Bloggs", "Email:": ["joe@example.org"]}')),
            ("curl --data-urlencode",
             curl_body("--data-urlencode", "Name:=Joe Bloggs",
                       "--data-urlencode", "Email:=joe@example.org")),
            ("curl -F", curl_body("-F", "Name:=Joe Bloggs", "-F", "Email:=joe@example.org")),
            ("requests", requests_body({"Name:": "Joe Bloggs", "Email:": "joe@example.org"},
                                       None)),
        ]
        expected = {
            "boundary inside a value": b"Name: x\r\n       --XyZy Joe",
            "charset field": b"Name: Jo\xc3\xa9",
        }
        for label, (content_type, body) in cases:
            with self.subTest(label), CaptureSMTP() as server:
                self.setUp()
                result = self.post(content_type, body, server=server)
                self.assertIn(b"THANKS", result.stdout)
                [message] = server.messages
                self.assertIn(expected.get(label, b"Name: Joe Bloggs"), message["data"])
                self.assertIn(b"Email: joe@example.org", message["data"])
                self.assertEqual([], errors(self.box))

    def test_refused_bodies_send_nothing_and_log_one_line(self):
        file_part = [("Name:", "Joe"), ("upload", "a.pdf", b"%PDF-1")]
        cases = [
            ("unknown type", ("application/xml", b"<a/>"), "", "is not a form type"),
            ("no closing boundary", ("multipart/form-data; boundary=XyZ",
                                     b"--XyZ\r\nContent-Disposition: form-data; name=a\r\n\r\n1"),
             "", "no closing boundary"),
            ("no boundary", ("multipart/form-data", b"a=1"), "", "no boundary parameter"),
            ("malformed JSON", ("application/json", b'{"a": "1",}'), "", "at byte"),
            ("nested JSON", ("application/json", b'{"a": {"b": "1"}}'), "", "at byte"),
            ("no fields", ("application/json", b"{}"), "", "the form sent no fields"),
            ("type not allowed", multipart([("upload", "run.exe", b"MZ")]), ON,
             "no attachment_type"),
            ("listed types only", multipart(file_part), ON + "attachment_type .png\n",
             "no attachment_type"),
            ("too many files", multipart(file_part + [("more", "b.pdf", b"%PDF-2")]),
             ON + "attachments_max_files 1\n", "more than 1 files"),
            ("over attachments_max_kb", multipart([("upload", "big.pdf", b"x" * 2049 * 1024)]),
             ON, "more than 2048 KB"),
            ("text parts over 100000 bytes", multipart([("a", "x" * 60000), ("b", "y" * 40001)]),
             ON, "its text fields hold 100001 bytes, more than the 100000 they may"),
            ("over attachments_max_kb together",
             multipart([("a", "a.pdf", b"x" * 1025 * 1024), ("b", "b.pdf", b"x" * 1025 * 1024)]),
             ON, "more than 2048 KB"),
        ]
        for label, (content_type, body), extra, why in cases:
            with self.subTest(label), CaptureSMTP() as server:
                self.setUp()
                result = self.post(content_type, body, extra, server=server)
                self.assertIn(b"SORRY", result.stdout)
                self.assertEqual([], server.messages)
                [line] = errors(self.box)
                self.assertIn(why, line)
                self.assertIn("nothing sent", line)

    def test_body_over_the_multipart_cap_is_drained_and_refused(self):
        body = b"--XyZ\r\n" + b"x" * (20 * 1024 * 1024 + 100001)
        result = self.post("multipart/form-data; boundary=XyZ", body)
        self.assertIn(b"SORRY", result.stdout)
        [line] = errors(self.box)
        self.assertIn("more than the 21071520 bytes", line)


    @unittest.skipIf(harness.IS_EXE or "ASAN_OPTIONS" in os.environ,
                     "needs a POSIX memory limit, below what the sanitizers reserve")
    def test_memory_that_runs_out_answers_server_error(self):
        # A file goes to a temporary file as it comes; text is held in memory.
        content_type, body = multipart([("Name:", "Joe"), ("Notes:", "x" * 20 * 1024 * 1024)])
        self.box.write_ini(standard_ini(harness.free_port(), ON.replace("2048", "20480")))
        result = self.box.run(body=body, env={"CONTENT_TYPE": content_type,
                                              "HTTP_ACCEPT": "application/json"},
                              under=("sh", "-c", 'ulimit -v 24576 && exec "$0"'))
        self.assertTrue(result.stdout.startswith(
            b"Status: 500 Internal Server Error\nPragma: no-cache\n"
            b"Content-Type: application/json\n\n"), result.stdout)
        self.assertIn(b'"outcome": "server_error"', result.stdout)
        self.assertIn("outcome: not sent, out of memory (server_error)", self.box.log_messages())


class AttachmentTest(FormsCase):
    def test_file_without_attachments_is_named_and_not_sent(self):
        content_type, body = curl_body("-F", "Name:=Joe", "-F", "Email:=@%s" % self.box.write(
            "cv.pdf", PAYLOAD))
        with CaptureSMTP() as server:
            self.post(content_type, body, server=server)
        [message] = server.messages
        mail = parsed(message)
        self.assertFalse(mail.is_multipart())
        self.assertIn("Email: cv.pdf", mail.get_content())
        [line] = errors(self.box)
        self.assertIn("{cv.pdf} of field {Email:} (%d bytes) not attached: attachments are off"
                      % len(PAYLOAD), line)

    def test_attached_files_arrive_byte_for_byte(self):
        name = "Lebenslauf f\u00fcr M\u00fcller " + "x" * 80 + ".pdf"
        content_type, body = requests_body(
            {"Name:": "Joe"},
            [("Email:", (name, PAYLOAD, "application/pdf")),
             ("Email:", ("notes.txt", b"", "text/plain"))])
        for headers in ("", "standard_headers true\n"):
            with self.subTest(headers=headers), CaptureSMTP() as server:
                self.setUp()
                self.post(content_type, body, ON + headers, server=server)
                [message] = server.messages
                self.assertTrue(all(len(line) <= 998 for line in message["data"].split(b"\n")))
                # Every base64 line of a file is at most 76 characters.
                encoded = pdf_lines(message["data"])
                self.assertTrue(encoded and all(len(line) <= 76 for line in encoded), encoded)
                mail = parsed(message)
                self.assertEqual("multipart/mixed", mail.get_content_type())
                text, pdf, empty = mail.iter_parts()
                self.assertIn("Email: %s (%d bytes), notes.txt (0 bytes)" % (name, len(PAYLOAD)),
                              text.get_content())
                self.assertEqual((name, "application/pdf", PAYLOAD),
                                 (pdf.get_filename(), pdf.get_content_type(), pdf.get_content()))
                self.assertEqual(("notes.txt", ""), (empty.get_filename(), empty.get_content()))
                self.assertEqual([], errors(self.box))

    def test_spooled_attachment_is_resent_byte_identical(self):
        content_type, body = multipart([("Name:", "Joe"), ("upload", "scan.png", PAYLOAD)])
        self.post(content_type, body, ON + "spool_folder spool\n")
        [queued] = os.listdir(self.box.path("spool", "queue"))
        _, kept = read_spool(self.box.path("spool", "queue", queued))
        with CaptureSMTP() as server:
            self.box.write_ini(standard_ini(server.port, ON + "spool_folder spool\n", crlf=True))
            self.box.run(args=["-resend"])
        [message] = server.messages
        self.assertEqual(kept + b"\r\n", message["data"])
        [attached] = parsed(message).iter_attachments()
        self.assertEqual(PAYLOAD, attached.get_content())


class RepeatedFieldTest(FormsCase):
    def test_checkboxes_give_every_value_where_values_are_shown(self):
        ini = ("add_headerline_colon\nsendall true\n"
               "use_submitted_variable_for_headerline CC\n"
               "use_submitted_variable_for_bodycontent Pick:\n")
        self.box.write("success.html", "<html>THANKS ||Pick:||</html>\n")
        body = "Name%3A=Joe&Pick%3A=red&Pick%3A=&Pick%3A=blue&CC=a%40example.com&CC=b%40example.com"
        with CaptureSMTP() as server:
            result = self.post(None, body, ini, server=server)
        self.assertIn(b"THANKS red, , blue", result.stdout)
        data = server.messages[0]["data"]
        self.assertIn(b" Pick: red, , blue\r\n", data)
        self.assertIn(b"\r\nCC: a@example.com\r\n", data)
        # A fixed line keeps its own colon, and gains none.
        self.assertTrue(data.startswith(b"To: \"Site\" <owner@example.com> \r\n"), data)
        for value in (b"red", b"", b"blue"):
            self.assertIn(b"(Pick:)==(" + value + b")", data)


if __name__ == "__main__":
    unittest.main()
