"""A local Postfix as the mail queue (docs/deploy.md): the gateway hands
each message to Postfix on 127.0.0.1, which relays it to the provider.
A submission made while the provider is down gets the success page, waits
in Postfix's queue and arrives once the provider is back."""

import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

import servers

# Beside the services of servers.PostfixServer: Postfix's SMTP client, for
# the relaying, and pickup, whose presence postqueue takes for a running
# mail system.
SERVICES = """\
smtp      unix  -       -       n       -       -       smtp
pickup    unix  n       -       n       60      1       pickup
"""

# Nothing is delivered locally; everything goes to the provider.
RELAY = """\
virtual_mailbox_domains =
relayhost = [127.0.0.1]:{port}
smtp_dns_support_level = disabled
"""

FORM = [("Name:", "Ann Example"), ("Email:", "ann@example.org"),
        ("Message:", "sent while the provider was down")]


def queued_ids(mta):
    """The ids of the messages in the Postfix queue."""
    out = subprocess.run(["postqueue", "-c", mta.etc, "-j"], capture_output=True,
                         text=True, check=True).stdout
    return [line for line in out.splitlines() if line.strip()]


def wait_until(condition, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting: %s" % what)
        time.sleep(0.2)


class LocalQueueTest(unittest.TestCase):
    @unittest.skipUnless(servers.PostfixServer.available(), "postfix is not installed, or not root")
    def test_message_sent_while_the_provider_is_down_arrives_when_it_is_back(self):
        provider_port = servers.free_port()
        site = tempfile.mkdtemp(prefix="quillon-localqueue-")
        self.addCleanup(shutil.rmtree, site, True)
        relay = RELAY.format(port=provider_port)
        with servers.PostfixServer("postfix-relay", extra=relay, services=SERVICES) as mta:
            program = servers.install_site(site, "127.0.0.1:%d" % mta.port)
            code, page = servers.cgi_run(program, urllib.parse.urlencode(FORM))
            self.assertEqual(0, code)
            # The local hand-off succeeded: the visitor is thanked at once.
            self.assertIn(b"Thank you, <span id=\"name\">Ann Example</span>", page)
            wait_until(lambda: "status=deferred" in mta.log(), "Postfix deferring the mail")
            self.assertEqual(1, len(queued_ids(mta)))

            with servers.StoreServer(port=provider_port) as provider:
                subprocess.run(["postqueue", "-c", mta.etc, "-f"], check=True,
                               capture_output=True)
                messages = provider.messages(wait_for=1)
                wait_until(lambda: queued_ids(mta) == [], "Postfix emptying its queue")
        self.assertEqual(1, len(messages), mta.log())
        message = servers.strip_trace(messages[0])
        for line in (b"To: Site Owner <owner@example.com>\r\n",
                     b"From: Contact Form <owner@example.com>\r\n",
                     b"Subject: Message from the contact form\r\n",
                     b" Name: Ann Example\r\n",
                     b" Message: sent while the provider was down\r\n"):
            self.assertIn(line, message)


if __name__ == "__main__":
    servers.main()
