"""Test certificates for the TLS black-box tests, made with the openssl
command in a temporary folder: a test CA, a server certificate it signed
(for localhost and 127.0.0.1 unless told otherwise), and a second CA that
signed nothing, for runs that must refuse the server.

    tls = TlsFiles()                      # skip the test if not available()
    Controller(handler, ..., tls_context=tls.server_context())   # STARTTLS
    Controller(handler, ..., ssl_context=tls.server_context())   # port 465
    ... point the program's CA file setting at tls.ca (or tls.other_ca) ...
    tls.cleanup()
"""

import os
import shutil
import ssl
import subprocess
import tempfile

_CONFIG = """[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
[leaf]
basicConstraints = critical,CA:FALSE
subjectAltName = {san}
"""

_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]


def available():
    return shutil.which("openssl") is not None


class TlsFiles:
    def __init__(self, names=("localhost",), ips=("127.0.0.1",)):
        self.dir = tempfile.mkdtemp(prefix="quillon-tls-")
        self.ca = self._path("ca.pem")
        self.other_ca = self._path("other_ca.pem")
        self.cert = self._path("server.pem")
        self.key = self._path("server.key")
        san = ",".join(["DNS:" + n for n in names] + ["IP:" + i for i in ips])
        config = self._path("openssl.cnf")
        with open(config, "w") as f:
            f.write(_CONFIG.format(san=san))
        # A name of this run's own: a root store that kept a test CA of an
        # earlier run (Wine's does) must not offer it for this run's chain.
        tag = os.urandom(6).hex()
        try:
            for name in ("ca", "other_ca"):
                self._openssl("req", "-x509", *_KEY, "-days", "2",
                              "-keyout", self._path(name + ".key"),
                              "-out", self._path(name + ".pem"),
                              "-subj", "/CN=quillon-test-%s-%s" % (name, tag),
                              "-config", config, "-extensions", "ca")
            self._openssl("req", "-x509", *_KEY, "-days", "2",
                          "-keyout", self.key, "-out", self.cert,
                          "-subj", "/CN=" + (names[0] if names else ips[0]),
                          "-CA", self.ca, "-CAkey", self._path("ca.key"),
                          "-config", config, "-extensions", "leaf")
        except BaseException:
            self.cleanup()
            raise

    def server_context(self):
        """A server-side context holding the certificate and its key."""
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(self.cert, self.key)
        return context

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def _path(self, name):
        return os.path.join(self.dir, name)

    def _openssl(self, *args):
        done = subprocess.run(["openssl", *args], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("openssl %s failed:\n%s" % (args[0], done.stderr))
