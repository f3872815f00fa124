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


def _der(data, at):
    """The tag, the content's start and its end of the DER item at `at`."""
    tag, length, at = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, at = int.from_bytes(data[at:at + count], "big"), at + count
    return tag, at, at + length


def _full_length_signature(pem_path):
    """Whether both integers of the certificate's ECDSA signature take all
    32 bytes of P-256 (no leading zero byte in r or s)."""
    with open(pem_path) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    _, at, _ = _der(der, 0)                # Certificate
    _, _, at = _der(der, at)               # tbsCertificate
    _, _, at = _der(der, at)               # signatureAlgorithm
    _, at, _ = _der(der, at)               # signatureValue (BIT STRING)
    _, at, _ = _der(der, at + 1)           # its SEQUENCE, past the unused-bits byte
    for _ in range(2):
        _, start, end = _der(der, at)
        value = der[start:end].lstrip(b"\0")
        if len(value) < 32:
            return False
        at = end
    return True


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
                self._make(self._path(name + ".key"), self._path(name + ".pem"),
                           "/CN=quillon-test-%s-%s" % (name, tag), config, "ca")
            self._make(self.key, self.cert, "/CN=" + (names[0] if names else ips[0]),
                       config, "leaf", "-CA", self.ca, "-CAkey", self._path("ca.key"))
        except BaseException:
            self.cleanup()
            raise

    def _make(self, key, cert, subject, config, extensions, *signer):
        # Wine's certificate check refuses an ECDSA signature whose r or s
        # is shorter than 32 bytes (0x80096004), about one signature in 128:
        # such a certificate is made again, so that no run fails by chance.
        for _ in range(20):
            self._openssl("req", "-x509", *_KEY, "-days", "2", "-keyout", key, "-out", cert,
                          "-subj", subject, *signer, "-config", config,
                          "-extensions", extensions)
            if _full_length_signature(cert):
                return
        raise RuntimeError("no certificate with a full-length signature in 20 tries")

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
