"""The configuration shown in README.md and docs/ works when copied: each
block is marked with the check it passes (an HTML comment on the line
before its fence, `<!-- test: KIND -->`), the check runs the real tool on
it, and a block that looks like configuration but carries no mark fails.
Links between the markdown files lead to files and headings that exist.

Kinds: lighttpd, apache2 (placed in a minimal configuration this test
writes; apache2-uploads alike, and the webservers suite also runs it in
place of deploy/apache2.conf's body limits), postfix-main (main.cf lines), postfix-map (a lookup table source),
logrotate, cron, settings (quillon.ini lines), and `excerpt FILE`: the
block's lines stand in FILE, in that order ("..." skips). Kinds in
CHECKED_ELSEWHERE are run by another suite, which finds the block by its
mark: `fetch-snippet` (a page's fetch() script) by the browser suite,
`altcha-widget` (the proof-of-work widget's page) by the altcha suite."""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import servers

DOCS = [os.path.join(servers.REPO, "README.md")] + sorted(
    glob.glob(os.path.join(servers.REPO, "docs", "*.md")))
MARK = re.compile(r"<!-- test: (.+?) -->\s*$")
FENCE = re.compile(r"^(\s*)```(\S*)\s*$")

# What unmarked configuration gives itself away by.
LOOKS_LIKE = {
    "lighttpd": re.compile(r"^\s*(server\.|\$HTTP\[|alias\.url|cgi\.assign|url\.access-deny)"),
    "apache2": re.compile(r"^\s*(</?Directory|</?FilesMatch|LoadModule |ScriptAlias |"
                          r"RequestReadTimeout |LimitRequestBody |Timeout \d)"),
    "postfix-main": re.compile(r"^[a-z][a-z0-9_]* =( |$)"),
    "postfix-master": re.compile(r"^\S+\s+(inet|unix|unix-dgram|fifo|pass)\s+[-yn]\s"),
    "logrotate": re.compile(r"^\s*(weekly|daily|monthly|copytruncate|rotate \d+)\s*$"),
    "cron": re.compile(r"^([-*/,0-9]+\s+){5}/"),
}

APACHE_FRAME = """\
ServerRoot {root}
ServerName 127.0.0.1
Listen 127.0.0.1:8
PidFile {root}/apache2.pid
ErrorLog {root}/error.log
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule alias_module /usr/lib/apache2/modules/mod_alias.so
LoadModule cgid_module /usr/lib/apache2/modules/mod_cgid.so
LoadModule reqtimeout_module /usr/lib/apache2/modules/mod_reqtimeout.so
"""
LIGHTTPD_FRAME = """\
server.document-root = "{root}"
server.bind = "127.0.0.1"
server.port = 8
server.modules = ( "mod_access" )
"""


def blocks(path):
    """(line number, mark or None, language, text) of each fenced block."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found, i = [], 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        start, indent = i, fence.group(1)
        i += 1
        while i < len(lines) and lines[i].strip() != "```":
            i += 1
        text = "\n".join(line[len(indent):] for line in lines[start + 1:i]) + "\n"
        prev = next((lines[j] for j in range(start - 1, -1, -1) if lines[j].strip()), "")
        mark = MARK.search(prev)
        found.append((start + 1, mark.group(1) if mark else None, fence.group(2), text))
        i += 1
    return found


def settings_keywords():
    """The keywords of the settings reader's table, as it compares them."""
    with open(os.path.join(servers.REPO, "src", "config", "settings_reader.cpp")) as f:
        source = f.read()
    consts = dict(re.findall(r'static const char (\w+)\[\] = "([^"]*)";', source))
    table = source[source.index("kKeywordTests[] = {"):]
    table = table[:table.index("};")]
    return [consts.get(name, text) for text, name in
            re.findall(r'\{(?:"([^"]*)"|(\w+)),', table)]


def run(cmd, **kw):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=60, **kw)
    return proc.returncode, proc.stdout + proc.stderr


class Checker:
    """Runs one kind's check on a block; returns an error text or None."""

    def __init__(self, work):
        self.work = work
        self.keywords = settings_keywords()

    def write(self, name, text):
        path = os.path.join(self.work, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def lighttpd(self, text):
        conf = self.write("lighttpd.conf", LIGHTTPD_FRAME.format(root=self.work) + text)
        rc, out = run(["lighttpd", "-tt", "-f", conf])
        # A misspelt key is only warned about, and ignored.
        return None if rc == 0 and "WARNING" not in out else out

    def apache2(self, text):
        conf = self.write("apache2.conf", APACHE_FRAME.format(root=self.work) + text)
        # The Windows layout loads modules from ServerRoot's modules/.
        link = os.path.join(self.work, "modules")
        if not os.path.exists(link):
            os.symlink("/usr/lib/apache2/modules", link)
        rc, out = run(["apache2", "-t", "-f", conf])
        return None if rc == 0 and "Syntax OK" in out else out

    def postfix_main(self, text):
        self.write("postfix/master.cf", "")
        self.write("postfix/main.cf", text)
        rc, out = run(["postconf", "-c", os.path.join(self.work, "postfix"), "-n"])
        return None if rc == 0 and "warning" not in out else out

    def postfix_map(self, text):
        self.write("postfix/main.cf", "")
        table = self.write("postfix/table", text)
        rc, out = run(["postmap", "-c", os.path.join(self.work, "postfix"), "hash:" + table])
        return None if rc == 0 and "warning" not in out else out

    def logrotate(self, text):
        conf = self.write("logrotate.conf", text)
        rc, out = run(["logrotate", "-d", "-s", os.path.join(self.work, "state"), conf])
        return None if rc == 0 and "error:" not in out else out

    def cron(self, text):
        bad = [line for line in text.splitlines()
               if line.strip() and not LOOKS_LIKE["cron"].match(line)]
        return "not a crontab line with an absolute command: %r" % bad if bad else None

    def settings(self, text):
        bad = [line for line in text.splitlines() if line.strip() and
               not any(line.startswith(k) for k in self.keywords)]
        return "no settings keyword: %r" % bad if bad else None

    def excerpt(self, name, text):
        with open(os.path.join(servers.REPO, name)) as f:
            rest = [line.strip() for line in f]
        for line in text.splitlines():
            if not line.strip() or line.strip() == "...":
                continue
            if line.strip() not in rest:
                return "not in %s (or out of order): %r" % (name, line)
            rest = rest[rest.index(line.strip()) + 1:]
        return None

    # kind: (method, the tool it runs or None)
    KINDS = {"lighttpd": (lighttpd, "lighttpd"), "apache2": (apache2, "apache2"),
             "apache2-uploads": (apache2, "apache2"),
             "postfix-main": (postfix_main, "postconf"),
             "postfix-map": (postfix_map, "postmap"),
             "logrotate": (logrotate, "logrotate"), "cron": (cron, None),
             "settings": (settings, None)}

    # kind: the test that runs such a block
    CHECKED_ELSEWHERE = {"fetch-snippet": "tests/deploy/browser_test.js",
                         "farm-sql": "tests/deploy/test_farm.py",
                         "farm-psql": "tests/deploy/test_farm.py",
                         "rspamd-form": "tests/deploy/test_spam.py",
                         "altcha-widget": "tests/deploy/altcha_browser.js",
                         "farm-keep": "tests/deploy/test_farm.py",
                         "farm-vacuum": "tests/deploy/test_farm.py"}

    def check(self, kind, text):
        """(skip reason, error) for a block of `kind`."""
        if kind in self.CHECKED_ELSEWHERE:
            return None, None
        if kind.startswith("excerpt "):
            return None, self.excerpt(kind.split(" ", 1)[1], text)
        if kind not in self.KINDS:
            return None, "unknown kind %r" % kind
        method, tool = self.KINDS[kind]
        if tool and not shutil.which(tool):
            return tool + " is not installed", None
        return None, method(self, text)


def anchors(path):
    """GitHub's anchors for the headings of a markdown file."""
    with open(path, encoding="utf-8") as f:
        heads = [m.group(1) for m in re.finditer(r"^#+ (.*)$", f.read(), re.M)]
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in heads}


class DocsTest(unittest.TestCase):

    def test_marked_blocks_pass_their_check(self):
        with tempfile.TemporaryDirectory() as work:
            checker = Checker(work)
            for path in DOCS:
                for line, kind, _, text in blocks(path):
                    if kind is None:
                        continue
                    with self.subTest(file=os.path.relpath(path, servers.REPO), line=line):
                        skip, error = checker.check(kind, text)
                        if skip:
                            self.skipTest(skip)
                        self.assertIsNone(error)

    def test_configuration_blocks_are_marked(self):
        keywords = settings_keywords()
        unmarked = []
        for path in DOCS:
            for line, kind, lang, text in blocks(path):
                if kind is not None or lang in ("sh", "bat", "html", "text"):
                    continue
                looks = [k for k, pattern in LOOKS_LIKE.items()
                         if any(pattern.match(l) for l in text.splitlines())]
                if any(l.startswith(k) for l in text.splitlines() for k in keywords):
                    looks.append("settings")
                if looks:
                    unmarked.append("%s:%d (%s)" % (os.path.relpath(path, servers.REPO),
                                                   line, ", ".join(looks)))
        self.assertEqual(unmarked, [])

    def test_links_lead_somewhere(self):
        broken = []
        for path in DOCS + [os.path.join(servers.REPO, "bench", "README.md")]:
            with open(path, encoding="utf-8") as f:
                targets = re.findall(r"\]\(([^)\s]+)\)", f.read())
            for target in targets:
                if re.match(r"[a-z]+:", target):
                    continue
                name, _, anchor = target.partition("#")
                dest = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
                if not os.path.exists(dest) or (
                        anchor and dest.endswith(".md") and anchor not in anchors(dest)):
                    broken.append("%s -> %s" % (os.path.relpath(path, servers.REPO), target))
        self.assertEqual(broken, [])


if __name__ == "__main__":
    servers.main()
