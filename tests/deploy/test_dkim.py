"""DKIM through the local queue, set up as docs/deploy.md says: the
OpenDKIM settings and the Postfix lines are taken from the blocks the docs
mark, OpenDKIM and a private Postfix run on 127.0.0.1, the sample site
posts through them to an aiosmtpd "provider", and a DKIM verifier accepts
what arrives, given the public key directly rather than from DNS."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse

import servers

DOCS = os.path.join(servers.REPO, "docs", "deploy.md")

# As in the localqueue test: Postfix's SMTP client relays everything.
SERVICES = "smtp      unix  -       -       n       -       -       smtp\n"
RELAY = """\
virtual_mailbox_domains =
relayhost = [127.0.0.1]:{port}
smtp_dns_support_level = disabled
"""

# Only here: the key lives in a temporary folder, and OpenDKIM asks no DNS.
TEST_ONLY = "RequireSafeKeys no\nNameservers 127.0.0.1\n"

FORM = [("Name:", "Ann Example"), ("Email:", "ann@example.org"),
        ("Message:", "Signed on its way, Grüße.")]


def docs_block(name):
    """The fenced block after the docs' "<!-- dkim-test: NAME -->" line."""
    with open(DOCS, encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"<!-- dkim-test: %s -->\n(?:<!-- test: [^>]* -->\n)?```\n(.*?)```\n" % re.escape(name), text, re.S)
    if m is None:
        raise AssertionError("docs/deploy.md has no block marked dkim-test: %s" % name)
    return m.group(1)


def txt_record(path):
    """The text of the DNS record in opendkim-genkey's .txt file."""
    with open(path) as f:
        return "".join(re.findall(r'"([^"]*)"', f.read())).encode()


def wait_for_port(port, proc, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        if proc.poll() is not None:
            raise RuntimeError("%s exited with %d" % (what, proc.returncode))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError("%s does not listen on %d" % (what, port))
            time.sleep(0.1)


def tools_missing():
    for tool in ("opendkim", "opendkim-genkey"):
        if shutil.which(tool) is None:
            return tool + " is not installed"
    try:
        import dkim  # noqa: F401
    except ImportError:
        return "python3-dkim is not installed"
    if not servers.PostfixServer.available():
        return "postfix is not installed, or not root"
    return None


class DkimTest(unittest.TestCase):
    @unittest.skipIf(tools_missing(), tools_missing())
    def test_mail_relayed_through_opendkim_arrives_with_a_valid_signature(self):
        import dkim

        work = tempfile.mkdtemp(prefix="quillon-dkim-")
        self.addCleanup(shutil.rmtree, work, True)
        os.chmod(work, 0o755)
        keys = os.path.join(work, "keys")
        os.mkdir(keys)
        subprocess.run(["opendkim-genkey", "-D", keys, "-d", "example.com", "-s", "s1"],
                       check=True, capture_output=True)
        shutil.chown(keys, "opendkim", "opendkim")
        for name in os.listdir(keys):
            shutil.chown(os.path.join(keys, name), "opendkim", "opendkim")

        milter_port = servers.free_port()
        conf = docs_block("opendkim.conf")
        conf = conf.replace("/etc/opendkim/keys/s1.private", os.path.join(keys, "s1.private"))
        conf = conf.replace("inet:8891@127.0.0.1", "inet:%d@127.0.0.1" % milter_port)
        with open(os.path.join(work, "opendkim.conf"), "w") as f:
            f.write(conf + TEST_ONLY)
        milter = subprocess.Popen(["opendkim", "-f", "-x", os.path.join(work, "opendkim.conf")],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, start_new_session=True)
        self.addCleanup(milter.stderr.close)
        self.addCleanup(servers.stop_process, milter)
        wait_for_port(milter_port, milter, "opendkim")

        postfix_lines = docs_block("main.cf").replace("inet:127.0.0.1:8891",
                                                      "inet:127.0.0.1:%d" % milter_port)
        site = os.path.join(work, "site")
        with servers.StoreServer() as provider:
            relay = RELAY.format(port=provider.port) + postfix_lines
            with servers.PostfixServer("postfix-dkim", extra=relay, services=SERVICES) as mta:
                program = servers.install_site(site, "127.0.0.1:%d" % mta.port)
                code, page = servers.cgi_run(program, urllib.parse.urlencode(FORM))
                self.assertEqual(0, code, page)
                messages = provider.messages(wait_for=1)
                log = mta.log()
        self.assertEqual(1, len(messages), log)
        message = messages[0]
        self.assertIn(b"\r\nDKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.com;",
                      b"\r\n" + message)
        record = txt_record(os.path.join(keys, "s1.txt"))
        looked_up = []

        def dns(name, timeout=5):
            looked_up.append(name)
            return record if name == b"s1._domainkey.example.com." else None

        self.assertTrue(dkim.verify(message, dnsfunc=dns))
        self.assertEqual([b"s1._domainkey.example.com."], looked_up)


if __name__ == "__main__":
    servers.main()
