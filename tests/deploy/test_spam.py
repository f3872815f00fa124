"""Spam judged by what it says, against a real rspamd and a real spamd,
each started once on 127.0.0.1 and offline: a small corpus of contact-form
spam and ham (French, Polish, German and Spanish ham, a message with one
legitimate link, look-alike letters in spam) posted through the program
with the local rules and each engine; no ham may be quarantined under the
rspamd settings docs/spam.md gives for forms. GTUBE goes through each
engine, and a release from quarantine teaches spamd (--allow-tell)."""

import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

import servers
import test_filters

sys.path.insert(0, os.path.join(servers.REPO, "tests", "cli"))
import harness  # noqa: E402

CLIENT = "203.0.113.5"
WORDS = "viagra\ncasino\nseo services\ncrypto investment\n"
GTUBE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"

HAM = [
    "Hello, could you send me a quote for fifty printed brochures? We need them "
    "by the end of next month. Thank you, Sarah",
    "Bonjour, pourriez-vous m'envoyer un devis pour la r\u00e9novation de notre "
    "cuisine ? Nous sommes disponibles \u00e0 partir de mars. Cordialement, \u00c9lodie",
    "Dzie\u0144 dobry, chcia\u0142bym zapyta\u0107 o mo\u017cliwo\u015b\u0107 "
    "wsp\u00f3\u0142pracy. Prosz\u0119 o kontakt telefoniczny. Pozdrawiam, "
    "\u0141ukasz W\u00f3jcik",
    "Sehr geehrte Damen und Herren, ich interessiere mich f\u00fcr Ihr Angebot. "
    "K\u00f6nnten Sie mir bitte weitere Informationen zuschicken? Mit freundlichen "
    "Gr\u00fc\u00dfen, J\u00fcrgen M\u00fcller",
    "Hi, we met at the conference last week. My portfolio is at "
    "https://www.example.org/anna if you would like to see earlier work.",
    "Please call me back about my order 4711, the delivery address has changed.",
    "The error is in build.py and notes.md; I attached report.zip to my last mail.",
    "Hola, \u00bfpodr\u00edan enviarme informaci\u00f3n sobre los precios? "
    "Gracias, Jos\u00e9 Pe\u00f1a",
]

SPAM = [
    ("I noticed your website ranks poorly. See http://a.example http://b.example "
     "www.c.example and cheap-links.xyz for our offers.", "links"),
    ("Buy v\u0456agra online without prescription, best prices.", "word"),
    ("Try our S\u200bEO services and get to the first page today!", "word"),
    ("\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435, "
     "\u043f\u0440\u0435\u0434\u043b\u0430\u0433\u0430\u0435\u043c \u0440\u0435\u043a\u043b\u0430"
     "\u043c\u0443 \u0432\u0430\u0448\u0435\u0433\u043e \u0441\u0430\u0439\u0442\u0430", "script"),
    ("\u6211\u4eec\u63d0\u4f9b\u6700\u597d\u7684\u670d\u52a1\uff0c\u8bf7\u8054\u7cfb"
     "\u6211\u4eec", "script"),
    ("https://shop.example/deal", "only a link"),
    ("Join the best ca\u0455ino bonus now", "word"),
    ("Hello " + GTUBE, "engine"),
]


def docs_block(mark):
    """The configuration block of docs/spam.md marked `mark`."""
    with open(os.path.join(servers.REPO, "docs", "spam.md"), encoding="utf-8") as f:
        text = f.read()
    found = re.search(r"<!-- test: %s -->\n```\w*\n(.*?)```" % re.escape(mark), text, re.S)
    return found.group(1)


class FormRspamd(test_filters.Rspamd):
    """The filters suite's offline rspamd, set up for forms as docs/spam.md
    says, and without hfilter (it asks a resolver there is none of)."""

    def write(self, name, text):
        super().write(name, text)
        if name == "conf/local.d/options.inc":
            super().write("conf/local.d/headers_group.conf", docs_block("rspamd-form"))
            super().write("conf/local.d/hfilter.conf", "enabled = false;\n")


class Spamd:
    """spamd on 127.0.0.1 with Debian's rules, offline, allowing TELL; its
    Bayes in a private folder."""

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-spamd-")
        os.chmod(self.dir, 0o777)
        site = os.path.join(self.dir, "site")
        os.makedirs(site)
        for pre in glob.glob("/etc/spamassassin/*.pre"):
            shutil.copy(pre, site)
        with open(os.path.join(site, "local.cf"), "w") as f:
            f.write("bayes_path %s/bayes/bayes\nbayes_file_mode 0777\nbayes_auto_learn 0\n"
                    % self.dir)
        os.makedirs(os.path.join(self.dir, "bayes"), mode=0o777)
        os.chmod(os.path.join(self.dir, "bayes"), 0o777)
        self.port = servers.free_port()
        self.out = open(os.path.join(self.dir, "spamd.out"), "w+")
        user = ["-u", "nobody"] if os.geteuid() == 0 else []
        self.proc = subprocess.Popen(
            ["spamd", "--local", "--nouser-config", "--listen", "127.0.0.1", "--port",
             str(self.port), "--max-children", "1", "--allow-tell", "-H", self.dir,
             "--siteconfigpath", site] + user,
            stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT,
            start_new_session=True)
        deadline = time.monotonic() + 60
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.sendall(b"PING SPAMC/1.5\r\n\r\n")
                    if b"PONG" in s.recv(100):
                        return self
            except OSError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.__exit__()
                raise RuntimeError("spamd did not start: %s" % self.log()[-2000:])
            time.sleep(0.3)

    def log(self):
        self.out.flush()
        with open(self.out.name, errors="replace") as f:
            return f.read()

    def __exit__(self, *exc):
        servers.stop_process(self.proc)
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


ENGINES = {}


def setUpModule():
    """Each engine once for the whole suite; one that cannot start here
    leaves its cases skipped, with the reason."""
    if shutil.which("rspamd") and os.geteuid() == 0:
        try:
            ENGINES["rspamd"] = FormRspamd().__enter__()
        except RuntimeError as error:
            ENGINES["rspamd-why"] = str(error)[:300]
    if shutil.which("spamd"):
        try:
            ENGINES["spamd"] = Spamd().__enter__()
        except RuntimeError as error:
            ENGINES["spamd-why"] = str(error)[:300]


def tearDownModule():
    for name in ("rspamd", "spamd"):
        if name in ENGINES:
            ENGINES[name].__exit__()


class EngineCase:
    engine = None

    def setUp(self):
        if self.engine not in ENGINES:
            self.skipTest(ENGINES.get(self.engine + "-why", self.engine + " cannot run here"))
        self.server = ENGINES[self.engine]
        self.box = harness.page_sandbox(self)
        self.box.write("words.txt", WORDS)
        self.smtp = harness.CaptureSMTP()
        self.smtp.__enter__()
        self.addCleanup(self.smtp.__exit__)
        address = ("http://127.0.0.1:%d" if self.engine == "rspamd" else "127.0.0.1:%d")
        # The sample site's settings (deploy/site/quillon.ini), with the rules.
        self.box.write_ini("\n".join([
            "smtp 127.0.0.1:%d" % self.smtp.port, "logging errors", "hello_method EHLO",
            "email_CR=LFCR", "standard_headers true", "hello_name www.example.com",
            "use_submitted_variable_for_reply_to Email:", "smtp_timeout 20",
            "spool_folder spool", "success_html_page success.html",
            "failure_html_page failure.html",
            "headerline To: Site Owner <owner@example.com>",
            "headerline From: Contact Form <owner@example.com>",
            "headerline Subject: Message from the contact form",
            "bodycontent_line Someone filled in the contact form:",
            "use_submitted_variable_for_bodycontent Name:",
            "use_submitted_variable_for_bodycontent Email:",
            "use_submitted_variable_for_bodycontent Message:",
            "spam_max_links 2", "spam_words words.txt", "spam_scripts Latin",
            "spam_same_value true", "spam_engine %s %s" % (self.engine, address % self.server.port),
            "spam_timeout 20", "run_deadline 60", "spam_learn true", ""]))

    def post(self, message, env=None):
        body = urllib.parse.urlencode([("Name:", "A Visitor"), ("Email:", "visitor@example.net"),
                                       ("Message:", message)], encoding="utf-8")
        result = self.box.run(body=body, env=dict(env or {}, REMOTE_ADDR=CLIENT),
                             timeout=90)
        lines = [m for m in self.box.log_messages() if m.startswith("outcome: ")]
        return result, lines[-1]

    def test_no_ham_is_quarantined_and_the_spam_is(self):
        for message in HAM:
            with self.subTest(ham=message[:30]):
                _, line = self.post(message)
                self.assertTrue(line.startswith("outcome: sent"), line)
        self.assertEqual(len(self.smtp.messages), len(HAM))
        for message, rule in SPAM:
            with self.subTest(spam=rule, text=message[:30]):
                result, line = self.post(message)
                self.assertRegex(line, r"^outcome: (quarantined|refused) as spam: ")
                if rule == "engine":
                    self.assertIn(self.engine + " ", line)
                    self.assertIn("GTUBE", line)
        self.assertEqual(len(self.smtp.messages), len(HAM))
        self.assertEqual(len(glob.glob(self.box.path("spool", "quarantine", "*.txt"))),
                         len(SPAM))


class RspamdTest(EngineCase, unittest.TestCase):
    engine = "rspamd"

    def test_gtube_is_refused_with_a_copy_kept(self):
        result, line = self.post("Hello " + GTUBE, {"HTTP_ACCEPT": "application/json"})
        self.assertTrue(line.startswith("outcome: refused as spam: rspamd "), line)
        self.assertIn("Status: 403", result.text)
        self.assertIn('"outcome":"spam"', result.text.replace(" ", ""))
        checked = self.box.run(args=["-check"])
        self.assertRegex(checked.text, r"rspamd at \S+ scored GTUBE [\d.]+: refused, in \d+ ms")


class SpamdTest(EngineCase, unittest.TestCase):
    engine = "spamd"

    def test_gtube_is_quarantined_and_a_release_teaches_ham(self):
        _, line = self.post("Hello " + GTUBE)
        self.assertTrue(line.startswith("outcome: quarantined as spam: spamd "), line)
        kept = glob.glob(self.box.path("spool", "quarantine", "*.txt"))
        name = os.path.basename(kept[0])[:-4]
        released = self.box.run(args=["-quarantine", "release", name], timeout=90)
        self.assertEqual(released.code, 0, released.text)
        self.assertIn("the engine learned %s as ham" % name, released.text)
        self.assertEqual(len(self.smtp.messages), 1)
        self.assertRegex(self.server.log(), r"Tell: Setting local for")


if __name__ == "__main__":
    servers.main()
