"""The archive: every submission on record in an SQLite database, read back
with Python's sqlite3 and the program's own -archive commands; the mail goes
out whatever becomes of the record."""

import csv
import io
import json
import os
import re
import sqlite3
import subprocess
import tempfile
import time
import unittest

import harness
from scripted_smtp import ScriptedSMTP

ARCHIVE = "archive db/archive.sqlite\n"
# Repeated names, non-ASCII, commas, quotes, line breaks and values a
# spreadsheet would run as formulas.
FIELDS = [("Name:", "Zoë \"Z\" Müller"), ("Email:", "zoe@example.org"),
          ("tag", "a,b"), ("tag", "=1+2"), ("note", "line one\nline two"),
          ("cell", "-3"), ("cell", "@SUM(A1)"), ("plain", "+x")]
ID = re.compile(r"; id (\S+)")


def encode(pairs):
    from urllib.parse import quote_plus
    return "&".join(quote_plus(n) + "=" + quote_plus(v) for n, v in pairs)


def rows(box):
    with sqlite3.connect(box.path("db", "archive.sqlite")) as db:
        db.row_factory = sqlite3.Row
        return [dict(r) for r in db.execute("SELECT * FROM submissions ORDER BY seq")]


def outcome_lines(box):
    return [m for m in box.log_messages() if m.startswith("outcome: ")]


class ArchiveCase(unittest.TestCase):
    def sandbox(self, port, extra=""):
        box = harness.page_sandbox(self)
        os.makedirs(box.path("db"), mode=0o700)
        box.write_ini(harness.standard_ini(port, ARCHIVE + extra))
        return box

    def post(self, box, pairs=FIELDS, env=None):
        result = box.run(body=encode(pairs).encode("utf-8"),
                         env=dict({"REQUEST_METHOD": "POST", "HTTP_ACCEPT": "application/json",
                                   "REMOTE_ADDR": "192.0.2.7",
                                   "HTTP_USER_AGENT": "Agent/1.0"}, **(env or {})))
        text = result.stdout.decode("utf-8")
        return json.loads(text[text.index("{"):])

    def command(self, box, *args):
        result = box.run(args=("-archive",) + args)
        return result.code, result.stdout.decode("utf-8")


# No SQLite DLL for Windows is at hand here: under Wine only its absence
# can be checked.
NO_DLL = "no SQLite DLL for Windows here"


@unittest.skipIf(harness.IS_EXE, NO_DLL)
class RecordTest(ArchiveCase):

    def test_a_sent_run_is_one_row_tied_to_its_answer_and_outcome_line(self):
        with harness.CaptureSMTP() as server:
            box = self.sandbox(server.port, "archive_user_agent true\nstandard_headers true\n")
            answer = self.post(box)
        self.assertEqual(len(server.messages), 1)
        [row] = rows(box)
        [line] = outcome_lines(box)
        self.assertEqual(answer["id"], row["id"])
        self.assertEqual(ID.search(line).group(1), row["id"])
        self.assertEqual(json.loads(row["fields"]), [list(p) for p in FIELDS])
        self.assertEqual(row["outcome"], "sent")
        self.assertTrue(row["server_reply"].startswith("250"))
        self.assertTrue(row["message_id"])
        self.assertEqual(row["sender"], "zoe@example.org")
        self.assertEqual(row["user_agent"], "Agent/1.0")
        # The address hashed with the install's own key, never kept as it is.
        self.assertRegex(row["client"], r"^[0-9a-f]{32}$")
        for name in ("archive.sqlite", "address-key"):
            self.assertEqual(os.stat(box.path("db", name)).st_mode & 0o777, 0o600)
        with sqlite3.connect(box.path("db", "archive.sqlite")) as db:
            self.assertEqual(db.execute("SELECT value FROM archive_meta WHERE name = "
                                        "'schema_version'").fetchone(), ("1",))

    def test_each_ending_is_recorded_as_it_happened(self):
        cases = [
            # (settings, server replies, form, outcome, spooled)
            ("", {".": b"554 5.7.1 rejected as spam\r\n"}, FIELDS, "server_refused", False),
            ("spool_folder spool\n", {".": b"451 4.3.0 try later\r\n"}, FIELDS, "spooled", True),
            ("honeypot_variable trap\n", {}, FIELDS + [("trap", "x")], "honeypot", False),
            ("required_variable Phone\n", {}, FIELDS, "missing", False),
            ("archive_ip none\n", {}, FIELDS, "sent", False),
        ]
        for settings, replies, form, outcome, spooled in cases:
            with self.subTest(outcome=outcome, settings=settings):
                with ScriptedSMTP(replies) as server:
                    box = self.sandbox(server.port, settings)
                    answer = self.post(box, form)
                [row] = rows(box)
                self.assertEqual((row["id"], row["outcome"]), (answer["id"], outcome))
                self.assertEqual(bool(row["spool_name"]), spooled)
                if replies:
                    self.assertEqual(row["server_reply"], replies["."].decode().strip())
                if "archive_ip none" in settings:
                    self.assertIsNone(row["client"])

    def test_files_are_listed_and_kept_only_with_archive_files(self):
        body = (b"--XyZ\r\nContent-Disposition: form-data; name=\"Name:\"\r\n\r\nJoe\r\n"
                b"--XyZ\r\nContent-Disposition: form-data; name=\"cv\"; filename=\"cv.txt\"\r\n"
                b"Content-Type: text/plain\r\n\r\nhello file\r\n--XyZ--\r\n")
        for keep in ("false", "true"):
            with self.subTest(archive_files=keep), harness.CaptureSMTP() as server:
                box = self.sandbox(server.port, "attachments_max_kb 100\narchive_files %s\n" % keep)
                box.run(body=body, env={"REQUEST_METHOD": "POST",
                                        "CONTENT_TYPE": "multipart/form-data; boundary=XyZ"})
                [row] = rows(box)
                self.assertEqual(json.loads(row["files"]), [
                    {"field": "cv", "name": "cv.txt", "type": "text/plain", "size": 10}])
                with sqlite3.connect(box.path("db", "archive.sqlite")) as db:
                    kept = db.execute("SELECT content FROM submission_files").fetchall()
                self.assertEqual(kept, [(b"hello file",)] if keep == "true" else [])

    def test_fifty_runs_at_once_make_fifty_rows(self):
        with harness.CaptureSMTP() as server:
            box = self.sandbox(server.port)
            bodies = [encode(FIELDS + [("run", str(i))]) for i in range(50)]
            results = box.run_concurrently([b.encode("utf-8") for b in bodies])
        self.assertEqual(len(server.messages), 50)
        self.assertTrue(all(r.code == 0 for r in results))
        got = sorted(int(json.loads(r["fields"])[-1][1]) for r in rows(box))
        self.assertEqual(got, list(range(50)))
        self.assertNotIn("not archived", box.log_text())


class FailureTest(ArchiveCase):
    """The mail goes out; one error line; "not archived"; with a spool the
    record waits there and -resend adds it."""

    def check_delivered_not_archived(self, box, server, sent=1):
        self.assertEqual(len(server.messages), sent)
        line = outcome_lines(box)[-1]
        self.assertTrue(line.endswith("; not archived"), line)
        self.assertEqual(box.log_text().count("; not archived ("), 1)

    @unittest.skipIf(harness.IS_EXE, "LD_LIBRARY_PATH and ELF libraries")
    def test_missing_library(self):
        fake = tempfile.mkdtemp()
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", fake]))
        source = os.path.join(fake, "empty.c")
        with open(source, "w") as f:
            f.write("int not_sqlite;\n")
        subprocess.run(["cc", "-shared", "-fPIC", "-o", os.path.join(fake, "libsqlite3.so.0"),
                        source], check=True)
        with harness.CaptureSMTP() as server:
            box = self.sandbox(server.port)
            self.post(box, env={"LD_LIBRARY_PATH": fake})
            self.check_delivered_not_archived(box, server)
        self.assertIn("has no function sqlite3_", box.log_text())

    @unittest.skipUnless(not harness.IS_EXE and hasattr(os, "geteuid") and os.geteuid() == 0,
                         "needs root to mount a small file system")
    def test_full_disk(self):
        with harness.CaptureSMTP() as server:
            box = self.sandbox(server.port)
            db = box.path("db")
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,mode=700", "tmpfs", db],
                              capture_output=True).returncode != 0:
                return harness.cannot_run(self, "a tmpfs cannot be mounted here")
            self.addCleanup(subprocess.run, ["umount", db])
            self.post(box)
            try:
                with open(os.path.join(db, "filler"), "wb") as f:
                    while True:
                        f.write(b"x" * 4096)
                        f.flush()
            except OSError:
                pass
            self.post(box, FIELDS + [("big", "y" * 20000)])
            self.check_delivered_not_archived(box, server, sent=2)

    @unittest.skipUnless(harness.IS_EXE, "the Windows program without sqlite3.dll")
    def test_windows_without_the_dll_says_so_and_mails(self):
        with harness.CaptureSMTP() as server:
            box = self.sandbox(server.port)
            self.post(box)
            self.check_delivered_not_archived(box, server)
        self.assertIn("the archive needs sqlite3.dll", box.log_text())
        self.assertIn("the archive needs sqlite3.dll", box.run(args=("-check",)).text)

    @unittest.skipIf(harness.IS_EXE, NO_DLL)
    def test_corrupt_file(self):
        with harness.CaptureSMTP() as server:
            box = self.sandbox(server.port)
            box.write("db/archive.sqlite", b"this is not a database\n" * 300, mode=0o600)
            self.post(box)
            self.check_delivered_not_archived(box, server)

    @unittest.skipIf(harness.IS_EXE, NO_DLL)
    def test_locked_past_the_timeout_waits_in_the_spool_for_resend(self):
        with harness.CaptureSMTP() as server:
            box = self.sandbox(server.port, "archive_timeout 1\nspool_folder spool\n")
            self.post(box)  # makes the database
            holder = sqlite3.connect(box.path("db", "archive.sqlite"), isolation_level=None)
            holder.execute("BEGIN EXCLUSIVE")
            started = time.monotonic()
            answer = self.post(box)
            self.assertLess(time.monotonic() - started, 10)
            holder.execute("ROLLBACK")
            holder.close()
            self.assertEqual(len(server.messages), 2)
            self.assertTrue(outcome_lines(box)[-1].endswith("; not archived"))
            self.assertEqual(os.listdir(box.path("spool", "records")), [answer["id"] + ".txt"])
            resend = box.run(args=("-resend",))
        self.assertIn("added", resend.stdout.decode())
        got = {r["id"]: r["outcome"] for r in rows(box)}
        self.assertEqual(got[answer["id"]], "sent")
        self.assertEqual(os.listdir(box.path("spool", "records")), [])


@unittest.skipIf(harness.IS_EXE, NO_DLL)
class CommandsTest(ArchiveCase):

    def setUp(self):
        with harness.CaptureSMTP() as server:
            self.box = self.sandbox(server.port, "spool_folder spool\narchive_keep_days 30\n")
            self.first = self.post(self.box)["id"]
            other = [("Name:", "Ann"), ("Email:", "ann@example.com"), ("message", "hello there")]
            self.second = self.post(self.box, other)["id"]

    def test_list_and_its_filters(self):
        cases = [((), 2), (("--search", "ANN@example"), 1), (("--outcome", "sent"), 2),
                 (("--outcome", "spooled"), 0), (("--limit", "1"), 1),
                 (("--since", "2000-01-01", "--until", "2000-12-31"), 0)]
        for args, count in cases:
            with self.subTest(args=args):
                code, out = self.command(self.box, "list", *args)
                self.assertEqual((code, len(out.splitlines())), (0, count), out)
        code, out = self.command(self.box, "list", "--search", "ann@example.com")
        self.assertIn(self.second, out)
        self.assertIn("hello there", out)
        code, out = self.command(self.box, "show", self.first)
        self.assertIn("field note: line one", out)
        self.assertEqual(self.command(self.box, "list", "--since", "2026-02-30")[0], 2)

    def test_export_csv_and_json_read_back_exactly(self):
        code, out = self.command(self.box, "export", "csv")
        self.assertEqual(code, 0)
        table = list(csv.reader(io.StringIO(out, newline="")))
        header, first = table[0], dict(zip(table[0], table[1]))
        self.assertEqual(header[:7], ["Name:", "Email:", "tag", "note", "cell", "plain",
                                      "message"])
        self.assertEqual(first["Name:"], "Zoë \"Z\" Müller")
        # Only a cell's first character can start a formula.
        self.assertEqual(first["tag"], "a,b, =1+2")
        self.assertEqual(first["note"], "line one\nline two")
        self.assertEqual((first["cell"], first["plain"]), ("'-3, @SUM(A1)", "'+x"))
        self.assertEqual(first["id"], self.first)
        code, out = self.command(self.box, "export", "json")
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(records[0]["fields"], [list(p) for p in FIELDS])

    def test_erase_removes_records_spool_copies_and_their_bytes(self):
        watcher = sqlite3.connect(self.box.path("db", "archive.sqlite"))  # keeps -wal there
        self.addCleanup(watcher.close)
        self.assertTrue(os.path.exists(self.box.path("spool", "sent", self.second + ".txt")))
        code, out = self.command(self.box, "erase", "ANN@example.com")
        self.assertEqual(code, 0)
        self.assertIn("1 record and 1 spool file removed", out)
        self.assertEqual([r["id"] for r in rows(self.box)], [self.first])
        self.assertFalse(os.path.exists(self.box.path("spool", "sent", self.second + ".txt")))
        for name in ("archive.sqlite", "archive.sqlite-wal"):
            path = self.box.path("db", name)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    self.assertNotIn(b"ann@example.com", f.read().lower(), name)
        self.assertEqual(self.command(self.box, "erase", self.first)[0], 0)
        self.assertEqual(rows(self.box), [])

    def test_erase_reaches_records_still_waiting_in_the_spool(self):
        waiting = {"id": "20260101T000000.000000Z_h_1_00", "received": 1767225600,
                   "fields": json.dumps([["Email", "ann@example.com"]]), "files": "[]"}
        kept = {"id": "20260101T000000.000000Z_h_2_00", "received": 1767225600,
                "fields": json.dumps([["Email", "bob@example.com"]]), "files": "[]"}
        for record in (waiting, kept):
            self.box.write("spool/records/%s.txt" % record["id"],
                           "QUILLON spool 2\ndestination: record\n\n" + json.dumps(record) + "\n")
        code, out = self.command(self.box, "erase", "ann@example.com")
        self.assertIn("2 spool files removed", out)
        self.assertEqual(os.listdir(self.box.path("spool", "records")), [kept["id"] + ".txt"])
        self.assertIn("added", self.box.run(args=("-resend",)).text)
        self.assertIn(kept["id"], [r["id"] for r in rows(self.box)])

    def test_purge_removes_what_is_older_than_archive_keep_days(self):
        with sqlite3.connect(self.box.path("db", "archive.sqlite")) as db:
            db.execute("UPDATE submissions SET received_seconds = received_seconds - 31 * 86400 "
                       "WHERE id = ?", (self.first,))
        code, out = self.command(self.box, "purge")
        self.assertEqual(code, 0)
        self.assertIn("purge: 1 record older than 30 days removed", out)
        self.assertEqual([r["id"] for r in rows(self.box)], [self.second])
        # A run purges too, once the last purge is an hour old.
        with sqlite3.connect(self.box.path("db", "archive.sqlite")) as db:
            db.execute("UPDATE submissions SET received_seconds = 0")
            db.execute("UPDATE archive_meta SET value = '0' WHERE name = 'last_purge'")
        with harness.CaptureSMTP() as server:
            self.box.write_ini(harness.standard_ini(server.port, ARCHIVE + "archive_keep_days 30\n"))
            third = self.post(self.box)["id"]
            fourth = self.post(self.box)["id"]
        self.assertEqual([r["id"] for r in rows(self.box)], [third, fourth])

    def test_mistakes_and_commands_leave_the_log_alone(self):
        before = self.box.log_bytes()
        for args in (("nonsense",), ("export", "xml"), ("list", "--limit", "0"), ("show",)):
            with self.subTest(args=args):
                self.assertEqual(self.command(self.box, *args)[0], 2)
        self.command(self.box, "list")
        self.assertEqual(self.box.log_bytes(), before)

    def test_check_reports_the_archive(self):
        out = self.box.run(args=("-check",)).stdout.decode()
        self.assertIn("2 records", out)
        self.assertIn("oldest record: 20", out)
        self.assertIn("records are kept 30 days", out)
        if not harness.IS_EXE:
            os.chmod(self.box.path("db", "archive.sqlite"), 0o644)
            out = self.box.run(args=("-check",)).stdout.decode()
            self.assertIn("archive.sqlite can be read by other users", out)

    def test_neither_the_commands_nor_check_make_the_database(self):
        box = self.sandbox(harness.free_port())
        self.assertIn("is not there yet", box.run(args=("-check",)).text)
        code, out = self.command(box, "list")
        self.assertEqual(code, 3)
        self.assertIn("is not there yet", out)
        self.assertEqual(os.listdir(box.path("db")), [])

    def test_the_documented_commands_run(self):
        doc = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                           "archive.md")
        with open(doc, encoding="utf-8") as f:
            lines = [l for l in f.read().splitlines() if l.startswith("quillon -archive ")]
        self.assertGreaterEqual(len(lines), 8)
        for line in lines:
            args = [self.first if a == "ID" else a for a in line.split(">")[0].split()[2:]]
            with self.subTest(line=line):
                self.assertEqual(self.command(self.box, *args)[0], 0)

    @unittest.skipUnless(not harness.IS_EXE and hasattr(os, "geteuid") and os.geteuid() == 0,
                         "needs root and POSIX owners")
    def test_root_is_refused_on_another_users_archive(self):
        os.chown(self.box.path("db"), 65534, 65534)
        os.chown(self.box.path("db", "archive.sqlite"), 65534, 65534)
        code, out = self.command(self.box, "list")
        self.assertEqual(code, 3)
        self.assertIn("belongs to another user", out)


if __name__ == "__main__":
    unittest.main()
