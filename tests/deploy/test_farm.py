"""Three servers, one truth: three program folders (own log and spool, one
settings text apart from paths) sharing their judges' memory in one real
PostgreSQL 15, started here as `nobody` on 127.0.0.1 and a socket in a
temporary folder, with SCRAM passwords and TLS from the tests' own CA.
Posts go to the three in parallel; every limit holds across them, and
each fault of the database (stopped, paused, wrong password, missing
table) costs no submission and no wait past the time-out."""

import base64
import csv
import io
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

import servers

sys.path.insert(0, os.path.join(servers.REPO, "tests", "cli"))
import tls_fixture  # noqa: E402

PG_BIN = "/usr/lib/postgresql/15/bin"
FARM_DOC = os.path.join(servers.REPO, "docs", "farm.md")
PASSWORD = "farm-scram-secret"
ALTCHA_SECRET = "farm-altcha-secret"
# The settings every server shares; @...@ differ by folder.
SHARED = """
shared_state postgresql://quillon@127.0.0.1:@PORT@/forms?sslmode=disable
database_password_file @DIR@/db-password
shared_state_timeout 1
rate_limit 5/10
duplicate_window 10
logging errors
"""
# The proof of work, and the confirmation mail that only goes behind it.
CAPTCHA = """captcha altcha
altcha_key_file @DIR@/altcha.key
altcha_cost 20
autoreply_to_variable Email:
autoreply_subject Thank you
autoreply_file @DIR@/reply.txt
"""

# The archive in the shared database, and the same records in SQLite.
ARCHIVE_PG = """archive postgresql://quillon@127.0.0.1:@PORT@/forms?sslmode=disable
archive_ip full
archive_keep_days 30
archive_timeout 1
"""
ARCHIVE_SQLITE = "archive archive.sqlite\narchive_ip full\narchive_keep_days 30\n"
# What differs between two records of the same post: set aside to compare.
VOLATILE = ("id", "received", "server_reply", "message_id", "spool_name", "elapsed_ms")
ARCHIVE_POSTS = [
    [("Name:", 'Zoë, "Z"'), ("Email:", "zoe@example.org"),
     ("Message:", "line one\r\nline two, =1+2"), ("Topic", "a"), ("Topic", "b")],
    [("Name:", "Bo"), ("Email:", "bo@example.org"), ("Message:", "@SUM(A1) ünïcode")],
    [("Name:", "Cy"), ("Email:", "ZOE@Example.org"), ("Message:", "-2+3\tcells")],
]

pg = None  # the cluster: dir, port, socket folder, the doc's SQL


def doc_block(mark):
    """The text of docs/farm.md's block marked `<!-- test: MARK -->`."""
    with open(FARM_DOC) as f:
        text = f.read()
    found = re.search(r"<!-- test: %s -->\n```[a-z]*\n(.*?)```" % re.escape(mark), text, re.S)
    return found.group(1)


def as_nobody(*cmd, **kw):
    return subprocess.run(["runuser", "-u", "nobody", "--"] + list(cmd), check=True,
                          capture_output=True, text=True, timeout=120, **kw)


def psql(sql, db="forms"):
    return subprocess.run(
        ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", pg["sock"], "-p", str(pg["port"]),
         "-U", "owner", "-d", db, "-At", "-c", sql],
        check=True, capture_output=True, text=True, timeout=60).stdout


def pg_ctl(*args):
    as_nobody(os.path.join(PG_BIN, "pg_ctl"), "-D", pg["data"], "-w", *args)


def start_cluster():
    options = ("-k %s -p %d -c listen_addresses=127.0.0.1 -c ssl=on -c ssl_cert_file=%s "
               "-c ssl_key_file=%s -c unix_socket_permissions=0777"
               % (pg["sock"], pg["port"], pg["cert"], pg["key"]))
    pg_ctl("-l", os.path.join(pg["dir"], "server.log"), "-o", options, "start")


def setUpModule():
    global pg
    if not os.path.exists(os.path.join(PG_BIN, "initdb")) or not tls_fixture.available():
        return
    root = tempfile.mkdtemp(prefix="quillon-farm-")
    os.chmod(root, 0o755)
    pg = {"dir": root, "data": os.path.join(root, "data"), "sock": os.path.join(root, "sock"),
          "port": servers.free_port()}
    os.makedirs(pg["sock"])
    tls = tls_fixture.TlsFiles()
    pg["ca"] = os.path.join(root, "ca.pem")
    shutil.copy(tls.ca, pg["ca"])
    for name, source in (("cert", tls.cert), ("key", tls.key)):
        pg[name] = os.path.join(root, "server." + name)
        shutil.copy(source, pg[name])
        os.chmod(pg[name], 0o600)
    tls.cleanup()
    owner_pw = os.path.join(root, "owner-pw")
    with open(owner_pw, "w") as f:
        f.write("owner-secret\n")
    subprocess.run(["chown", "-R", "nobody", root], check=True)
    as_nobody(os.path.join(PG_BIN, "initdb"), "-D", pg["data"], "-U", "owner",
              "--auth-local=trust", "--auth-host=scram-sha-256", "--pwfile=" + owner_pw)
    start_cluster()
    psql("CREATE DATABASE forms", db="postgres")
    psql(doc_block("farm-psql").replace("change-me", PASSWORD))
    psql(doc_block("farm-sql"))


def tearDownModule():
    if pg is None:
        return
    subprocess.run(["runuser", "-u", "nobody", "--", os.path.join(PG_BIN, "pg_ctl"), "-D",
                    pg["data"], "-m", "immediate", "stop"], capture_output=True, timeout=60)
    shutil.rmtree(pg["dir"], ignore_errors=True)


def solve(challenge):
    """An altcha answer, found as a widget finds it."""
    p = challenge["parameters"]
    nonce, salt = bytes.fromhex(p["nonce"]), bytes.fromhex(p["salt"])
    for counter in range(100000):
        key = hashlib.pbkdf2_hmac("sha256", nonce + counter.to_bytes(4, "big"), salt,
                                  p["cost"], p["keyLength"]).hex()
        if key.startswith(p["keyPrefix"]):
            answer = {"challenge": challenge,
                      "solution": {"counter": counter, "derivedKey": key, "time": 40}}
            return base64.b64encode(json.dumps(answer).encode()).decode()
    raise AssertionError("no counter solves the challenge")


class Farm(unittest.TestCase):
    """The three servers, each made anew per test (the database is kept)."""

    def setUp(self):
        if pg is None:
            self.skipTest("PostgreSQL 15 (initdb) or openssl is missing")
        self.smtp = servers.StoreServer().__enter__()
        self.addCleanup(self.smtp.__exit__, None, None, None)
        self.folders = [self.server(i) for i in range(3)]

    def server(self, index, extra=""):
        folder = tempfile.mkdtemp(prefix="quillon-farm-%d-" % index)
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        settings = (SHARED + extra).replace("@PORT@", str(pg["port"])).replace("@DIR@", folder)
        program = servers.install_site(folder, "127.0.0.1:%d" % self.smtp.port, settings)
        for name, text in (("db-password", PASSWORD), ("wrong-password", "not-" + PASSWORD),
                           ("altcha.key", ALTCHA_SECRET), ("reply.txt", "We have your message.")):
            with open(os.path.join(folder, name), "w") as f:
                f.write(text + "\n")
        return program

    def start(self, program, form, client, query=None):
        body = urllib.parse.urlencode(form).encode() if form is not None else b""
        env = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1",
               "REQUEST_METHOD": "POST" if query is None else "GET",
               "CONTENT_TYPE": "application/x-www-form-urlencoded",
               "CONTENT_LENGTH": str(len(body)), "REMOTE_ADDR": client,
               "HTTP_ACCEPT": "application/json"}
        if query is not None:
            env["QUERY_STRING"] = query
        proc = subprocess.Popen([program], env=env, cwd=os.path.dirname(program),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        proc.started, proc.body = time.monotonic(), body
        return proc

    def finish(self, procs):
        """(exit code, answer, seconds) of each run, in order."""
        out = []
        for proc in procs:
            answer, _ = proc.communicate(proc.body, timeout=60)
            out.append((proc.returncode, answer.decode(), time.monotonic() - proc.started))
        return out

    def post_all(self, posts):
        """Runs every (program, form, client) at once."""
        return self.finish([self.start(*post) for post in posts])

    def mailed(self, marker):
        return [m for m in self.smtp.messages() if marker.encode() in m]

    def form(self, marker, **more):
        return dict({"Name:": "Ann", "Email:": "ann@example.org", "Message:": marker}, **more)

    def solved(self, program=None):
        proc = self.start(program or self.folders[0], None, "192.0.2.1", query="altcha")
        _, answer, _ = self.finish([proc])[0]
        return solve(json.loads(answer.partition("\n\n")[2]))

    def logs(self):
        text = ""
        for program in self.folders:
            path = os.path.join(os.path.dirname(program), "quillon.log")
            if os.path.exists(path):
                with open(path, encoding="latin-1") as f:
                    text += f.read()
        return text

    def test_rate_limit_is_exact_across_the_three(self):
        posts = [(self.folders[i % 3], self.form("rate-%d" % i), "10.1.0.1") for i in range(15)]
        answers = self.post_all(posts)
        self.assertEqual(5, len(self.mailed("rate-")))
        self.assertEqual(10, sum('"outcome": "rate_limited"' in a for _, a, _ in answers))

    def test_same_post_to_each_is_mailed_once(self):
        form = self.form("duplicate")
        answers = self.post_all([(p, form, "10.2.0.1") for p in self.folders])
        self.assertEqual(1, len(self.mailed("duplicate")))
        self.assertTrue(all('"ok": true' in a for _, a, _ in answers), answers)

    def test_one_confirmation_per_address_and_one_pass_per_challenge(self):
        self.folders = [self.server(i, CAPTCHA) for i in range(3)]
        posts = [(self.folders[i], self.form("confirm-%d" % i, **{"Email:": "bo@example.org",
                                                                    "altcha": self.solved()}),
                  "10.3.0.%d" % i) for i in range(3)]
        self.post_all(posts)
        self.assertEqual(3, len(self.mailed("confirm-")))
        self.assertEqual(1, len(self.mailed("We have your message.")))
        # One solved challenge passes once, whichever server gets it.
        solved = self.solved()
        self.post_all([(p, self.form("replay-%d" % i, altcha=solved), "10.3.1.%d" % i)
                       for i, p in enumerate(self.folders)])
        self.assertEqual(1, len(self.mailed("replay-")))

    def fault_case(self, name, client):
        """A post through each server during a fault: each mailed, each
        answered within the time-out's reach, each outcome line marked."""
        marked = self.logs().count("; shared state unavailable")
        answers = self.post_all([(p, self.form("%s-%d" % (name, i)), client)
                                 for i, p in enumerate(self.folders)])
        for code, answer, seconds in answers:
            self.assertEqual(0, code)
            self.assertIn('"ok": true', answer)
            self.assertLess(seconds, 4, name)
        self.assertEqual(3, len(self.mailed(name + "-")), name)
        self.assertEqual(marked + 3, self.logs().count("; shared state unavailable"), name)
        self.assertIn("shared_state: the database cannot be used", self.logs())

    def test_faults_lose_nothing_and_keep_the_deadline(self):
        pg_ctl("-m", "fast", "stop")
        try:
            self.fault_case("stopped", "10.4.0.1")
        finally:
            start_cluster()
        wrong = "database_password_file @DIR@/wrong-password\n"
        self.folders = [self.server(i, wrong) for i in range(3)]
        self.fault_case("wrongpw", "10.4.0.2")

    def test_paused_or_tableless_database_loses_nothing(self):
        with open(os.path.join(pg["data"], "postmaster.pid")) as f:
            postmaster = int(f.readline())
        os.kill(postmaster, signal.SIGSTOP)
        try:
            self.fault_case("paused", "10.5.0.1")
        finally:
            os.kill(postmaster, signal.SIGCONT)
        psql("ALTER TABLE quillon_seen RENAME TO quillon_seen_away")
        try:
            self.fault_case("tableless", "10.5.0.2")
        finally:
            psql("ALTER TABLE quillon_seen_away RENAME TO quillon_seen")

    def test_a_restarted_database_loses_nothing(self):
        first = self.post_all([(self.folders[i], self.form("restart-a%d" % i), "10.6.0.1")
                               for i in range(3)])
        pg_ctl("-m", "fast", "stop")
        start_cluster()
        second = self.post_all([(self.folders[i % 3], self.form("restart-b%d" % i), "10.6.0.1")
                                for i in range(6)])
        self.assertEqual(5, len(self.mailed("restart-")), first + second)
        self.assertNotIn("shared state unavailable", self.logs())

    def resend(self, program):
        done = subprocess.run([program, "-resend"], cwd=os.path.dirname(program),
                              env={"PATH": "/usr/bin:/bin"}, capture_output=True, timeout=60)
        return done.returncode, done.stdout.decode()

    def test_kept_posts_are_judged_once_the_database_is_back(self):
        keep = doc_block("farm-keep").replace("/var/spool/quillon", "@DIR@/spool")
        self.folders = [self.server(i, keep) for i in range(3)]
        same = self.form("kept-same")
        posts = [(p, same, "10.7.0.1") for p in self.folders[:2]]
        posts.append((self.folders[2], self.form("kept-own"), "10.7.0.2"))
        posts += [(self.folders[2], self.form("kept-many-%d" % i), "10.7.0.3") for i in range(6)]
        pg_ctl("-m", "fast", "stop")
        try:
            answers = self.post_all(posts)
            for code, answer, seconds in answers:
                self.assertIn('"outcome": "spooled"', answer)
                self.assertLess(seconds, 4)
            # Still down: nothing is sent, nothing is counted as a try.
            code, out = self.resend(self.folders[0])
            self.assertEqual(3, code)
            self.assertIn("(not judged: the shared state cannot be used)", out)
        finally:
            start_cluster()
        self.assertEqual([], self.mailed("kept-"))
        outs = [self.resend(p)[1] for p in self.folders]
        self.assertEqual(1, len(self.mailed("kept-same")), outs)
        self.assertEqual(1, len(self.mailed("kept-own")), outs)
        self.assertEqual(1, sum("moved to failed/ (duplicate)" in out for out in outs), outs)
        self.assertEqual(5, len(self.mailed("kept-many-")), outs)
        self.assertEqual(1, outs[2].count("moved to failed/ (rate-limited)"), outs)
        # Judged and sent: a later -resend has nothing left to judge.
        self.assertTrue(all(self.resend(p)[0] == 0 for p in self.folders))

    def slow_smtp(self, delay):
        """A port that passes connections on to the storing server after
        `delay` seconds."""
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        self.addCleanup(listener.close)

        def pump(source, sink):
            try:
                while True:
                    data = source.recv(65536)
                    if not data:
                        break
                    sink.sendall(data)
            except OSError:
                pass
            sink.close()

        def serve():
            while True:
                try:
                    client = listener.accept()[0]
                except OSError:
                    return
                time.sleep(delay)
                server = socket.create_connection(("127.0.0.1", self.smtp.port))
                for a, b in ((client, server), (server, client)):
                    threading.Thread(target=pump, args=(a, b), daemon=True).start()

        threading.Thread(target=serve, daemon=True).start()
        return listener.getsockname()[1]

    def test_a_slow_mail_server_does_not_use_up_the_time_out(self):
        # The time-out (1 s) counts the state work alone: the sent run's
        # duration, kept after a mail exchange of 1.5 s, still goes in.
        slow = self.server(0, "smtp 127.0.0.1:%d\n" % self.slow_smtp(1.5))
        self.folders = [slow]
        self.post_all([(slow, self.form("slow"), "10.7.0.1")])
        self.assertEqual(1, len(self.mailed("slow")))
        self.assertNotIn("shared_state", self.logs())

    def archive(self, program, *args):
        return subprocess.run([program, "-archive"] + list(args), capture_output=True,
                              text=True, cwd=os.path.dirname(program), timeout=60).stdout

    def comparable(self, program):
        """The archive commands' outputs with each record's own values
        (its id, time, the server's reply...) set aside; and the ids."""
        lines = self.archive(program, "export", "json").splitlines()
        export = [json.loads(line) for line in lines]
        table = csv.DictReader(io.StringIO(self.archive(program, "export", "csv"), newline=""))
        shown = self.archive(program, "show", export[0]["id"]).splitlines()
        hidden = ("id", "received", "server reply", "message-id", "spool name", "time taken (ms)")
        out = {
            "json": [{k: v for k, v in r.items() if k not in VOLATILE} for r in export],
            "csv": [{k: v for k, v in r.items() if k not in VOLATILE} for r in table],
            "list": [line.split("  ", 2)[2]
                     for line in self.archive(program, "list").splitlines()],
            "search": len(self.archive(program, "list", "--search", "ZOE").splitlines()),
            "show": [line for line in shown if line.split(":")[0] not in hidden],
        }
        return out, [r["id"] for r in export]

    def test_the_archive_on_postgresql_is_the_archive_on_sqlite(self):
        psql("DELETE FROM quillon_archive_files; DELETE FROM quillon_archive")
        self.folders = [self.server(i, ARCHIVE_PG) for i in range(3)]
        lite_dir = tempfile.mkdtemp(prefix="quillon-farm-lite-")
        self.addCleanup(shutil.rmtree, lite_dir, ignore_errors=True)
        lite = servers.install_site(lite_dir, "127.0.0.1:%d" % self.smtp.port,
                                    "logging errors\n" + ARCHIVE_SQLITE)
        for i, form in enumerate(ARCHIVE_POSTS):
            self.finish([self.start(self.folders[i], form, "10.9.0.1")])
            self.finish([self.start(lite, form, "10.9.0.1")])
        self.assertEqual(6, len(self.mailed("Someone filled in")))
        self.assertEqual("3", psql("SELECT count(*) FROM quillon_archive WHERE outcome = 'sent'"
                                   " AND client = '10.9.0.1'").strip())
        # Each server reads every server's records; the same as SQLite's.
        on_pg, pg_ids = self.comparable(self.folders[1])
        on_lite, _ = self.comparable(lite)
        self.assertEqual(on_lite, on_pg)
        self.assertEqual(2, on_pg["search"])
        for program in (self.folders[2], lite):
            erased = self.archive(program, "erase", "zoe@example.org")
            self.assertIn("erase zoe@example.org: 2 records and ", erased)
        # The copy kept in another server's spool goes when erase runs there.
        self.assertIn("erase zoe@example.org: 0 records and 1 spool file removed",
                      self.archive(self.folders[0], "erase", "zoe@example.org"))
        psql(doc_block("farm-vacuum"))
        self.assertEqual(pg_ids[1:2], [r.split()[0] for r in
                                       self.archive(self.folders[0], "list").splitlines()])
        # Purge: what is older than archive_keep_days goes, on both.
        psql("UPDATE quillon_archive SET received_seconds = received_seconds - 40 * 86400")
        with sqlite3.connect(os.path.join(lite_dir, "cgi-bin", "archive.sqlite")) as db:
            db.execute("UPDATE submissions SET received_seconds = received_seconds - 40 * 86400")
        purged = [self.archive(p, "purge") for p in (self.folders[0], lite)]
        self.assertEqual(purged[1], purged[0])
        self.assertIn("purge: 1 record older than 30 days removed", purged[0])
        self.assertEqual("0", psql("SELECT count(*) FROM quillon_archive").strip())

    def test_archive_faults_mail_and_the_records_wait_for_resend(self):
        psql("DELETE FROM quillon_archive_files; DELETE FROM quillon_archive")
        self.folders = [self.server(i, ARCHIVE_PG) for i in range(3)]
        def postmaster(sig):
            with open(os.path.join(pg["data"], "postmaster.pid")) as f:
                os.kill(int(f.readline()), sig)
        faults = [
            ("stopped", lambda: pg_ctl("-m", "fast", "stop"), start_cluster),
            ("paused", lambda: postmaster(signal.SIGSTOP), lambda: postmaster(signal.SIGCONT)),
            ("tableless", lambda: psql("ALTER TABLE quillon_archive RENAME TO quillon_away"),
             lambda: psql("ALTER TABLE quillon_away RENAME TO quillon_archive")),
        ]
        for name, begin, end in faults:
            begin()
            try:
                # One at a time: each run's own time (shared state 1 s + archive 1 s).
                answers = [self.finish([self.start(p, self.form("pg-%s-%d" % (name, i)),
                                                   "10.10.0.%d" % i)])[0]
                           for i, p in enumerate(self.folders)]
            finally:
                end()
            for code, answer, seconds in answers:
                self.assertIn('"ok": true', answer, name)
                self.assertLess(seconds, 3.5, name)
            self.assertEqual(3, len(self.mailed("pg-%s-" % name)), name)
        wrong = self.server(3, ARCHIVE_PG + "database_password_file @DIR@/wrong-password\n"
                            "archive_ip hash\n")
        self.finish([self.start(wrong, self.form("pg-wrongpw"), "10.10.1.1")])
        self.folders.append(wrong)
        self.assertEqual(10, self.logs().count("; not archived"))
        self.assertEqual(10, self.logs().count("the record waits in the spool for -resend"))
        self.assertEqual("0", psql("SELECT count(*) FROM quillon_archive").strip())
        with open(os.path.join(os.path.dirname(wrong), "quillon.ini"), "a") as f:
            f.write("database_password_file %s/db-password\n"
                    % os.path.dirname(os.path.dirname(wrong)))
        for program in self.folders:
            subprocess.run([program, "-resend"], capture_output=True, timeout=60,
                           cwd=os.path.dirname(program))
        self.assertEqual("10", psql("SELECT count(*) FROM quillon_archive WHERE outcome = 'sent'"
                                    " AND message_id IS NOT NULL").strip())
        # The address hash's key lies in the server's spool folder.
        self.assertRegex(psql("SELECT client FROM quillon_archive WHERE fields LIKE"
                              " '%pg-wrongpw%'"), r"^[0-9a-f]{32}\n$")
        folder = os.path.dirname(os.path.dirname(wrong))
        self.assertTrue(os.path.exists(os.path.join(folder, "spool", "address-key")))

    def check(self, program, env=None):
        return subprocess.run([program, "-check"], capture_output=True, text=True, env=env,
                              cwd=os.path.dirname(program), timeout=60).stdout

    def test_the_socket_form_and_no_password_but_the_owners_file(self):
        socket_form = self.server(5, "shared_state postgresql://quillon@/forms?host=%s&port=%d\n"
                                  % (pg["sock"], pg["port"]))
        self.assertIn("shared_state: connected in", self.check(socket_form))
        # Without database_password_file, libpq's own sources stay shut.
        home = tempfile.mkdtemp(prefix="quillon-farm-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        with open(os.path.join(home, ".pgpass"), "w") as f:
            f.write("*:*:*:quillon:%s\n" % PASSWORD)
        os.chmod(os.path.join(home, ".pgpass"), 0o600)
        bare = self.server(6)
        with open(os.path.join(os.path.dirname(bare), "quillon.ini"), "a") as f:
            f.write("database_password_file \n")
        env = {"PATH": "/usr/bin:/bin", "HOME": home, "PGPASSWORD": PASSWORD,
               "PGPASSFILE": os.path.join(home, ".pgpass")}
        self.assertIn("problem: shared_state: cannot connect", self.check(bare, env))
        self.assertIn("shared_state: connected in", self.check(self.folders[0], env))

    def test_check_tls_and_the_documented_script(self):
        # The script the docs show is what -archive init prints for their settings.
        folder = tempfile.mkdtemp(prefix="quillon-farm-doc-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        program = servers.install_site(folder, "127.0.0.1:1", doc_block("settings"))
        printed = subprocess.run([program, "-archive", "init", "--sql"], capture_output=True,
                                 text=True, cwd=os.path.dirname(program), timeout=60).stdout
        self.assertEqual(doc_block("farm-sql"), printed)
        good = self.check(self.folders[0])
        self.assertIn("shared_state: connected in", good)
        self.assertNotIn("problem: shared_state", good)
        url = "postgresql://quillon@127.0.0.1:%d/forms?sslmode=verify-full&sslrootcert=%s" % (
            pg["port"], pg["ca"])
        tls = self.server(3, "shared_state %s\n" % url)
        self.assertIn("shared_state: connected in", self.check(tls))
        wrong_ca = self.server(4, "shared_state %s\n" % url.replace(pg["ca"], "/etc/hostname"))
        self.assertIn("problem: shared_state: cannot connect", self.check(wrong_ca))
        # A CGI user without its rights is told which.
        archived = self.server(7, ARCHIVE_PG)
        self.assertRegex(self.check(archived), r"archive postgresql://\S+: \d+ records?, \d+ KB")
        psql("REVOKE DELETE ON quillon_rate FROM quillon;"
             " REVOKE DELETE ON quillon_archive FROM quillon")
        try:
            checked = self.check(archived)
            self.assertIn("lacks SELECT, INSERT, UPDATE, DELETE on quillon_rate", checked)
            self.assertIn("archive: the database user lacks SELECT, INSERT, UPDATE, DELETE on "
                          "quillon_archive", checked)
        finally:
            psql("GRANT DELETE ON quillon_rate TO quillon;"
                 " GRANT DELETE ON quillon_archive TO quillon")
        # The CGI's user creates nothing; init says so and what to do.
        init = subprocess.run([self.folders[0], "-archive", "init"], capture_output=True,
                              text=True, cwd=os.path.dirname(self.folders[0]), timeout=60)
        self.assertIn("-- archive init: the tables are there already", init.stdout)


if __name__ == "__main__":
    servers.main()
