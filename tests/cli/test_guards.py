"""The abuse guards, as a hostile visitor meets them: honeypot fields,
the origin check, required fields and the missing page, the recipient
allow-list, the per-client rate limit and its shared state file, and the
order in which they stop a submission."""

import concurrent.futures
import asyncio
import contextlib
import fcntl
import os
import socket
import struct
import subprocess
import time
import unittest
import urllib.parse

import harness

IS_EXE = harness.IS_EXE
HEADERS = "Pragma: no-cache\nContent-type: text/html\n\n"
MISSING = "<html><body>MISSING ||quillon_missing_fields|| of ||Name:||</body></html>\n"
CLIENT = "192.0.2.7"
REFUSALS = ("submission refused", "submission dropped")
# Written before the settings file (and its "logging errors") is read.
STARTUP = ("starting version ", "argv[0] == ", "Log file == ", "Ini file == ",
           "getting form info.", "loading config file.")


def guard_ini(port, extra="", to_from_form=False):
    """Errors only, so the log holds nothing but the guards' lines. The
    recipient is fixed, or the form field "To:"."""
    to = ("use_submitted_variable_for_headerline To:" if to_from_form
          else "headerline To: owner@example.com")
    return "\n".join([
        "logging errors",
        "smtp 127.0.0.1:%d" % port,
        "smtp_timeout 5",
        "add_zolvar_link false",
        "success_html_page success.html",
        "failure_html_page failure.html",
        "headerline From: \"Form\" <form@example.com>",
        to,
        "headerline Subject: Form Submission Data",
        "use_submitted_variable_for_bodycontent Name:",
    ]) + "\n" + extra


def form(fields=None):
    """A person's post, with `fields` added or changed."""
    pairs = {"Name:": "Joe Bloggs", "To:": "owner@example.com"}
    pairs.update(fields or {})
    return urllib.parse.urlencode(list(pairs.items()))


STATE_SIZE = 168 + 16 * 10000


def checksum(data):
    """The sum, modulo 2**64, of each 64-bit word's term but the checksum's
    own (word 4): (word ^ golden * (index + 1)) * 0xff51afd7ed558ccd."""
    mask, total = (1 << 64) - 1, 0
    for index in range(len(data) // 8):
        if index == 4:
            continue
        word = int.from_bytes(data[8 * index:8 * index + 8], "little")
        total += ((word ^ (0x9e3779b97f4a7c15 * (index + 1) & mask)) * 0xff51afd7ed558ccd) & mask
    return total & mask


def rate_file(entries):
    """A state file as the program writes it (layout in src/guard/rate.h)
    holding (hash, time) slots kept 10 minutes."""
    slots = b"".join(struct.pack("<QII", h, at, 600) for h, at in entries)
    slots += b"\0" * (16 * 10000 - len(slots))
    head = b"QLRATE2\n" + os.urandom(16) + struct.pack("<II", len(entries) % 10000, 0)
    rest = b"\0" * 128 + slots
    return head + struct.pack("<Q", checksum(head + b"\0" * 8 + rest)) + rest


def old_rate_file(entries):
    """A state file of the older format: a 40-byte header, then (client
    hash, time) entries of 16 bytes."""
    head = b"QLRATE1\n" + os.urandom(16) + struct.pack("<II", len(entries), 0)
    return head + b"\0" * 8 + b"".join(struct.pack("<Qq", c, at) for c, at in entries)


class SlowSMTP(harness.CaptureSMTP):
    """The capturing server, taking 300 ms over each message: a sent run
    that clearly takes longer than a run that sends nothing."""

    def __init__(self):
        super().__init__()
        handler = self.controller.handler
        fast = handler.handle_DATA

        async def slow(server, session, envelope):
            await asyncio.sleep(0.3)
            return await fast(server, session, envelope)
        handler.handle_DATA = slow


class Listener:
    """A port that takes connections and says nothing: counts whether the
    program came near the wire at all."""

    def __enter__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0)
        self.port = self.sock.getsockname()[1]
        return self

    def connections(self):
        count = 0
        with contextlib.suppress(BlockingIOError):
            while True:
                conn, _ = self.sock.accept()
                conn.close()
                count += 1
        return count

    def __exit__(self, *exc):
        self.sock.close()


class GuardTest(unittest.TestCase):
    def setUp(self):
        self.box = harness.page_sandbox(self)
        self.box.write("missing.html", MISSING)

    def post(self, port, body, extra="", env=None, to_from_form=False):
        self.box.write_ini(guard_ini(port, extra, to_from_form))
        result = self.box.run(body=body, env=env)
        self.assertEqual(0, result.code, result.said)
        return result

    def lines(self):
        """The log's lines after those of the start, but the outcome line
        (test_answers checks it)."""
        return [m for m in self.box.log_messages()
                if not m.startswith(STARTUP) and not m.startswith("outcome: ")]

    def refusals(self):
        return [m for m in self.lines() if m.startswith(REFUSALS)]

    def fresh_log(self):
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.box.log_path)

    def assert_outcome(self, server, result, refusal):
        """Sent with a quiet log when `refusal` is None; else nothing sent,
        the failure page, and `refusal` as the only line."""
        if refusal is None:
            self.assertEqual(1, len(server.messages))
            self.assertEqual([], self.lines())
        else:
            self.assertEqual([], server.messages)
            self.assertIn("SORRY", result.text)
            self.assertEqual(self.lines(), [refusal])

    def test_filled_honeypot_shows_success_and_sends_nothing(self):
        # The second entry of the name counts too.
        body = form({"website": ""}) + "&website=http%3A%2F%2Fspam.example%2F"
        with Listener() as wire:
            result = self.post(wire.port, body, "honeypot_variable website\n")
            self.assertEqual(0, wire.connections())
        self.assertIn("THANKS Joe Bloggs", result.text)
        self.assertEqual(self.lines(), [
            "submission dropped: the honeypot field {website} was filled in; nothing "
            "sent, success page shown."])

    def test_empty_honeypot_lets_a_person_through(self):
        with harness.CaptureSMTP() as server:
            self.post(server.port, form({"website": ""}), "honeypot_variable website\n")
        self.assertEqual(1, len(server.messages))
        self.assertEqual([], self.lines())

    def test_origin_and_referer(self):
        extra = "allowed_origin www.example.com\nallowed_origin [::1]\n"
        cases = [
            ({"HTTP_ORIGIN": "https://WWW.example.com:8443"}, None),
            ({"HTTP_ORIGIN": "http://[::1]:8080"}, None),
            ({"HTTP_REFERER": "https://www.example.com/contact.html"}, None),
            ({}, None),  # neither: let through
            ({"HTTP_ORIGIN": "null", "HTTP_REFERER": "https://www.example.com/"}, None),
            ({"HTTP_ORIGIN": "https://evil.example.org"}, "evil.example.org"),
            ({"HTTP_ORIGIN": "https://www.example.com.evil.org"}, "www.example.com.evil.org"),
            ({"HTTP_ORIGIN": "https://evil.example.org",
              "HTTP_REFERER": "https://www.example.com/"}, "evil.example.org"),
            ({"HTTP_REFERER": "http://evil\x01.org/x?www.example.com"}, "evil\\x01.org"),
        ]
        for env, refused_host in cases:
            with self.subTest(env=env):
                self.fresh_log()
                with harness.CaptureSMTP() as server:
                    result = self.post(server.port, form(), extra, env=env)
                self.assert_outcome(server, result, None if refused_host is None else
                                    "submission refused: it was posted from host {%s}, "
                                    "which is no allowed_origin." % refused_host)

    def test_missing_required_fields_get_the_missing_page(self):
        extra = "required_variable Name:\nrequired_variable A&B\nrequired_variable Email:\n"
        body = form({"Name:": " \t \n", "A&B": "x"}) + "&Email%3A=&Email%3A=late%40x.org"
        for page in ("built-in", "file"):
            with self.subTest(page=page):
                self.fresh_log()
                ini = extra + ("missing_html_page missing.html\n" if page == "file" else "")
                with harness.CaptureSMTP() as server:
                    result = self.post(server.port, body, ini)
                    # Each field filled: sent.
                    self.post(server.port, form({"Email:": "a@b.org", "A&B": "y"}), ini)
                self.assertEqual(1, len(server.messages))
                # A Windows program's output is in text mode.
                text = result.text.replace("\r\n", "\n") if IS_EXE else result.text
                if page == "file":
                    self.assertEqual(text, HEADERS + "<html><body>MISSING Name:, "
                                     "Email: of  \t \n</body></html>\n")
                else:
                    self.assertEqual(text, HEADERS + "<HTML><BODY>\nemail NOT sent.\n"
                                     "Please fill in: Name:, Email:.\n</BODY></HTML>\n")
                self.assertEqual(self.lines(), [
                    "submission refused: required fields missing or empty: {Name:, Email:}."])
        # A name needing escapes is escaped on the page.
        self.fresh_log()
        with harness.CaptureSMTP() as server:
            result = self.post(server.port, form(), "required_variable <b>&\n")
        self.assertIn("Please fill in: &lt;b&gt;&amp;.", result.text)

    def test_recipient_allow_list(self):
        extra = ("allowed_recipient owner@example.com\nallowed_recipient @Example.NET\n"
                 "headerline CC: copy@example.net\n")
        cases = [
            ("owner@example.com", None),
            ("OWNER@EXAMPLE.COM", None),
            ("Sales <sales@example.net>", None),
            ("sales@sub.example.net", "sales@sub.example.net"),
            ("owner@example.com.evil.org", "owner@example.com.evil.org"),
            ("attacker@evil.org", "attacker@evil.org"),
        ]
        for to, refused in cases:
            with self.subTest(to=to):
                self.fresh_log()
                with harness.CaptureSMTP() as server:
                    result = self.post(server.port, form({"To:": to}), extra, to_from_form=True)
                self.assert_outcome(server, result, None if refused is None else
                                    "submission refused: recipient {%s} is no "
                                    "allowed_recipient." % refused)
        # Every recipient counts: a BCC outside the list stops the mail.
        self.fresh_log()
        with harness.CaptureSMTP() as server:
            self.post(server.port, form(), extra + "headerline BCC: spy@evil.org\n",
                      to_from_form=True)
        self.assertEqual([], server.messages)
        self.assertEqual(self.refusals(), [
            "submission refused: recipient {spy@evil.org} is no allowed_recipient."])

    def test_overlong_address_is_refused_before_the_allow_list(self):
        # Longer than an SMTP command line, or just over the local part's 64:
        # either would reach a prefix of the allowed domain if it were cut.
        for local in ("a" * 9990, "b" * 65):
            with self.subTest(length=len(local)):
                self.fresh_log()
                to = local + "@example.net"
                with harness.CaptureSMTP() as server:
                    result = self.post(server.port, form({"To:": to}),
                                       "allowed_recipient @example.net\n", to_from_form=True)
                self.assert_outcome(server, result,
                                    "an address of %d characters beginning {%s} is longer "
                                    "than 254 characters (or 64 before the @): refused."
                                    % (len(to), to[:40]))

    def test_post_missing_a_header_is_logged_short_and_counted_for_the_rate(self):
        env = {"REMOTE_ADDR": CLIENT}
        big = form({"To:": "nobody", "Name:": "x" * 99000})
        with harness.CaptureSMTP() as server:
            self.post(server.port, big, "rate_limit 1/10\n", env=env, to_from_form=True)
            [line] = self.lines()
            self.assertRegex(line, r"^email not sent: missing or invalid: To; headers of "
                                   r"\d+ bytes, body of \d{5,} bytes\.$")
            self.fresh_log()
            self.post(server.port, form(), "rate_limit 1/10\nallowed_recipient owner@example.com\n",
                      env=env, to_from_form=True)
        self.assertEqual([], server.messages)
        self.assertIn("rate_limit", self.lines()[0])

    def test_log_past_its_limit_takes_a_note_then_nothing(self):
        missing = form({"To:": "nobody"})
        with open(self.box.log_path, "wb") as f:
            f.write(b"x" * 900 + b"\n")
        with harness.CaptureSMTP() as server:
            result = self.post(server.port, missing, "log_max_kb 1\n", to_from_form=True)
            self.assertIn("SORRY", result.text)
            notes = [m for m in self.lines() if m.startswith("the log has reached log_max_kb")]
            self.assertEqual(1, len(notes), self.lines())
            # Past the limit a run adds its outcome line only, the start's
            # lines included; past twice the limit, nothing.
            for padding, added in ((b"", 1), (b"x" * 2048 + b"\n", 0)):
                with open(self.box.log_path, "ab") as f:
                    f.write(padding)
                before = self.box.log_messages()
                result = self.post(server.port, missing, "log_max_kb 1\n", to_from_form=True)
                self.assertIn("SORRY", result.text)
                after = self.box.log_messages()
                self.assertEqual(before, after[:len(before)])
                self.assertEqual(added, len(after) - len(before), after[len(before):])
                if added:
                    self.assertTrue(after[-1].startswith("outcome: not sent"), after[-1])

    def test_recipient_from_the_form_without_a_list_is_sent_with_a_warning(self):
        with harness.CaptureSMTP() as server:
            self.post(server.port, form({"CC:": "x@evil.org"}),
                      "use_submitted_variable_for_headerline CC:\n", to_from_form=True)
        self.assertEqual(1, len(server.messages))
        self.assertEqual(self.lines(), [
            "recipient taken from the form without allowed_recipient lines: anyone can "
            "choose where this mail goes"])

    def test_guards_stop_in_their_order_and_only_sent_mail_counts_for_the_rate(self):
        extra = ("honeypot_variable website\nallowed_origin www.example.com\n"
                 "required_variable Name:\nallowed_recipient owner@example.com\n"
                 "rate_limit 1/10\n")
        env = {"REMOTE_ADDR": CLIENT, "HTTP_ORIGIN": "https://evil.org"}
        steps = [
            ({"website": "x", "Name:": "", "To:": "a@evil.org"}, env, "honeypot", "THANKS"),
            ({"Name:": "", "To:": "a@evil.org"}, env, "posted from host", "SORRY"),
            ({"Name:": "", "To:": "a@evil.org"}, {"REMOTE_ADDR": CLIENT}, "required", "MISSING"),
            ({"To:": "a@evil.org"}, {"REMOTE_ADDR": CLIENT}, "recipient", "SORRY"),
            ({}, {"REMOTE_ADDR": CLIENT}, None, "THANKS"),
            ({}, {"REMOTE_ADDR": CLIENT}, "rate_limit", "SORRY"),
        ]
        self.box.write("failure.html", "<html><body>SORRY</body></html>\n")
        with harness.CaptureSMTP() as server:
            for fields, step_env, guard, page in steps:
                with self.subTest(guard=guard):
                    self.fresh_log()
                    result = self.post(server.port, form(fields),
                                       extra + "missing_html_page missing.html\n", env=step_env,
                                       to_from_form=True)
                    self.assertIn(page, result.text)
                    lines = self.lines()
                    if guard is None:
                        self.assertEqual([], lines)
                    else:
                        self.assertEqual(1, len(lines), lines)
                        self.assertIn(guard, lines[0])
        self.assertEqual(1, len(server.messages))

    def rate_run(self, port, client, extra="rate_limit 5/10\n"):
        return self.post(port, form(), extra, env={"REMOTE_ADDR": client})

    def test_rate_limit_per_client_address(self):
        with harness.CaptureSMTP() as server:
            pages = [self.rate_run(server.port, CLIENT).text for _ in range(6)]
            self.rate_run(server.port, "192.0.2.8")
        self.assertEqual(6, len(server.messages))
        self.assertIn("THANKS", pages[4])
        self.assertIn("SORRY", pages[5])
        self.assertEqual(self.lines(), [
            "submission refused: client {%s} is over the rate_limit of 5 submissions in "
            "10 minutes." % CLIENT])
        state = self.box.read("quillon.rate")
        self.assertNotIn(CLIENT.encode(), state)
        self.assertEqual(STATE_SIZE, len(state))

    def test_concurrent_submissions_from_two_addresses(self):
        # Under Wine every run is a Windows process of its own: fewer.
        runs = 20 if IS_EXE else 200
        body = form().encode()
        # Other clients' recent entries make each turn at the file long
        # enough for a broken lock to show.
        now = int(time.time())
        self.box.write("quillon.rate", rate_file([(n + 1, now) for n in range(9000)]))

        def one(index):
            env = {"REMOTE_ADDR": ("192.0.2.1", "192.0.2.2")[index % 2]}
            return self.box.run(body=body, env=env, timeout=120)

        with harness.CaptureSMTP() as server:
            self.box.write_ini(guard_ini(server.port, "rate_limit 5/10\n"))
            # At most 16 runs at once: enough to contend for the lock, few
            # enough that a loaded machine (a sanitized build on 2 cores)
            # never keeps a holder off the processor for the whole 1 s a
            # run waits before it sends without the limit. Under Wine, as
            # many as the harness lets Wine run at once.
            workers = harness.WINE_AT_ONCE if IS_EXE else 16
            with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
                done = list(pool.map(one, range(runs)))
            deadline = time.monotonic() + 10
            while len(server.messages) < 10 and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.2)  # a message too many would arrive about now
        self.assertEqual([0] * runs, [result.code for result in done])
        self.assertEqual(10, sum(b"THANKS" in result.raw_stdout for result in done))
        self.assertEqual(10, len(server.messages))
        refused = self.refusals()
        self.assertEqual(runs - 10, len(refused))
        self.assertEqual((runs - 10) // 2, sum("192.0.2.1" in m for m in refused))
        self.assertEqual([], [m for m in self.lines() if m not in refused])
        self.assertEqual(STATE_SIZE, len(self.box.read("quillon.rate")))

    def test_expired_entries_are_freed_and_the_checksum_follows(self):
        # Entries 10 minutes old and more give way: freed in place, with the
        # checksum kept right, so the next run reads the state as whole.
        now = int(time.time())
        self.box.write("quillon.rate", rate_file([(n + 1, now - 600 - n) for n in range(1500)]))
        with harness.CaptureSMTP() as server:
            self.rate_run(server.port, CLIENT, "rate_limit 1/10\n")
            self.rate_run(server.port, CLIENT, "rate_limit 1/10\n")
        self.assertEqual(1, len(server.messages))
        self.assertEqual(1, len(self.lines()), self.lines())
        self.assertIn("over the rate_limit", self.lines()[0])
        state = self.box.read("quillon.rate")
        self.assertEqual(struct.unpack("<Q", state[32:40])[0],
                         checksum(state[:32] + b"\0" * 8 + state[40:]))
        used = [state[at:at + 8] != b"\0" * 8 for at in range(168, len(state), 16)]
        self.assertEqual(1, sum(used))

    def test_damaged_state_file_starts_afresh(self):
        self.box.write("quillon.rate", b"QLRATE2\n" + b"\xff" * 100)
        with harness.CaptureSMTP() as server:
            self.rate_run(server.port, CLIENT, "rate_limit 1/10\n")
            self.rate_run(server.port, CLIENT, "rate_limit 1/10\n")
        self.assertEqual(1, len(server.messages))
        messages = self.lines()
        self.assertEqual(2, len(messages), messages)
        self.assertIn("rate_limit state file (", messages[0])
        self.assertIn(") is damaged (108 bytes that are no whole state): starting it "
                      "afresh.", messages[0])
        self.assertIn("over the rate_limit", messages[1])

    def test_read_only_state_file_loses_no_mail(self):
        path = self.box.write("quillon.rate", b"")
        if os.geteuid() == 0:
            # The owner's write bit means nothing to root; an immutable file
            # is read-only to everyone.
            if subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
                self.skipTest("chattr +i is not supported here")
            self.addCleanup(subprocess.run, ["chattr", "-i", path])
        else:
            os.chmod(path, 0o444)
        with harness.CaptureSMTP() as server:
            for _ in range(2):
                self.rate_run(server.port, CLIENT, "rate_limit 1/10\n")
        self.assertEqual(2, len(server.messages))
        messages = self.lines()
        self.assertEqual(2, len(messages), messages)
        self.assertRegex(messages[0], r"^rate_limit state file \(.*quillon\.rate\) could not "
                         r"be opened \(\d+\)\(.*\): sending without the limit; create "
                         r"quillon\.rate owned by \S+, mode 600\.$")

    @unittest.skipIf(IS_EXE, "the holder's lock is a POSIX one; platform_check covers Windows")
    def test_state_file_held_locked_is_waited_for_one_second(self):
        path = self.box.write("quillon.rate", b"")
        with open(path, "r+b") as held, harness.CaptureSMTP() as server:
            fcntl.flock(held, fcntl.LOCK_EX)
            result = self.rate_run(server.port, CLIENT, "rate_limit 1/10\n")
        self.assertEqual(1, len(server.messages))
        self.assertGreaterEqual(result.elapsed, 1.0)
        self.assertEqual(self.lines(), [
            "rate_limit state file (%s) stayed locked for over 1000 ms: sending without "
            "the limit." % path])


class StateTest(unittest.TestCase):
    """The rate state's keys: client addresses counted canonically, posts
    sent once within duplicate_window, and the time a sent run takes."""

    setUp = GuardTest.setUp
    post = GuardTest.post
    lines = GuardTest.lines
    refusals = GuardTest.refusals
    fresh_log = GuardTest.fresh_log

    def run_from(self, server, clients, extra="rate_limit 1/10\n", body=None):
        return [self.post(server.port, body or form(), extra, env={"REMOTE_ADDR": c})
                for c in clients]

    def test_one_ipv6_slash_64_shares_a_count(self):
        with harness.CaptureSMTP() as server:
            self.run_from(server, ["2001:db8:0:1::%x" % n for n in range(1, 11)],
                          "rate_limit 5/10\n")
        self.assertEqual(5, len(server.messages))

    def test_spellings_of_one_address_count_as_one(self):
        pairs = [("192.0.2.7", "::ffff:192.0.2.7"), ("2001:db8::1", "2001:0DB8:0:0::0:1")]
        for first, second in pairs:
            with self.subTest(first=first), harness.CaptureSMTP() as server:
                self.box.write("quillon.rate", b"")
                self.fresh_log()
                self.run_from(server, [first, second])
                self.assertEqual(1, len(server.messages))
                self.assertEqual(1, len(self.refusals()))

    def test_a_value_that_is_no_address_counts_under_one_shared_key(self):
        with harness.CaptureSMTP() as server:
            self.run_from(server, ["unknown", "unix:/run/sock"])
        self.assertEqual(1, len(server.messages))
        lines = self.lines()
        self.assertIn("rate_limit: the client address {unknown} (REMOTE_ADDR) is no IP "
                      "address: counted under one key shared by all such values.", lines[0])
        self.assertEqual(1, len(self.refusals()))

    def test_old_format_state_file_is_started_afresh(self):
        now = int(time.time())
        self.box.write("quillon.rate", old_rate_file([(n, now) for n in range(20)]))
        with harness.CaptureSMTP() as server:
            self.run_from(server, [CLIENT])
        self.assertEqual(1, len(server.messages))
        older = [line for line in self.lines() if "older format" in line]
        self.assertEqual(1, len(older))
        self.assertRegex(older[0], r"^rate_limit state file \(.*quillon\.rate\) is of the older "
                         r"format: starting it afresh\.$")
        self.assertEqual(STATE_SIZE, len(self.box.read("quillon.rate")))

    def test_a_repeated_post_is_sent_once(self):
        extra = "duplicate_window 10\n"
        posts = [(CLIENT, {}), (CLIENT, {"g-recaptcha-response": "token-2"}),
                 (CLIENT, {"Name:": "Jane Bloggs"}), ("192.0.2.8", {})]
        with harness.CaptureSMTP() as server:
            pages = [self.post(server.port, form(fields), extra,
                               env={"REMOTE_ADDR": client}).text for client, fields in posts]
        self.assertEqual(3, len(server.messages))  # a new token alone is no new post
        self.assertTrue(all("THANKS" in page for page in pages), pages)
        self.assertEqual(self.lines(), [
            "submission dropped: the same post from client {%s} was sent within the "
            "duplicate_window of 10 minutes; answered as sent." % CLIENT])

    def test_a_corrected_file_is_a_new_post(self):
        from test_forms import multipart
        extra = "duplicate_window 10\nattachments_max_kb 64\n"
        with harness.CaptureSMTP() as server:
            for data in (b"draft 1", b"draft 2", b"draft 2"):  # same name and size
                content_type, body = multipart([("Name:", "Joe"), ("cv", "cv.txt", data)])
                self.post(server.port, body, extra,
                          env={"REMOTE_ADDR": CLIENT, "CONTENT_TYPE": content_type})
        self.assertEqual(2, len(server.messages))

    def test_a_post_not_delivered_is_not_a_repeat(self):
        with harness.CaptureSMTP() as server:
            port = server.port
        self.post(port, form(), "duplicate_window 10\n", env={"REMOTE_ADDR": CLIENT})
        with harness.CaptureSMTP(port=port) as server:
            self.post(port, form(), "duplicate_window 10\n", env={"REMOTE_ADDR": CLIENT})
        self.assertEqual(1, len(server.messages))

    def test_a_honeypot_catch_answers_in_the_time_of_a_sent_post(self):
        extra = "rate_limit 100/10\nhoneypot_variable website\n"
        with SlowSMTP() as server:
            sent = sorted(self.post(server.port, form(), extra,
                                    env={"REMOTE_ADDR": CLIENT}).elapsed for _ in range(3))
            caught = self.post(server.port, form({"website": "x"}), extra,
                               env={"REMOTE_ADDR": CLIENT})
        self.assertEqual(3, len(server.messages))
        self.assertIn("THANKS", caught.text)
        # A bound on telling the two apart, not a speed goal: a catch that
        # answered at once would take a fraction of the 300 ms.
        self.assertGreater(caught.elapsed, sent[1] * 0.6)
        self.assertLess(caught.elapsed, sent[1] + 1.0)


if __name__ == "__main__":
    unittest.main()
