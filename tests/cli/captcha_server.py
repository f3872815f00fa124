"""A CAPTCHA verification service on 127.0.0.1 for the tests: HTTPS with a
test CA of its own (tls_fixture), answering each POST in the shape of one
mode, and keeping every request it received.

    with CaptchaServer() as server:        # skip the test if not tls_fixture.available()
        url = server.url("recaptcha")      # https://127.0.0.1:PORT/recaptcha/siteverify
        ... point captcha_verify_url at url, captcha_ca_file at server.ca ...
        server.requests[0]["fields"]["secret"]

The mode is the first part of the path, so one server serves every mode:
  turnstile, hcaptcha  success with `hostname` (server.hostname)
  recaptcha            success with hostname, score 0.9 and action "contact"
  chunked              the turnstile answer in chunks, with an extension and a trailer
  slow                 the turnstile answer after server.delay seconds
  error500             status 500 with a JSON body
  invalid_json         status 200, an HTML body
  refuse               success false, error codes invalid-input-response and
                       timeout-or-duplicate
  wrong_hostname       success for the host evil.test
  low_score            success, score 0.3
  huge                 a JSON answer over 64 KB

Run as a program, it prints "port=N ca=PATH" on one line, then serves until
stdin closes, and writes the requests as JSON lines to --log when given.
"""

import argparse
import http.server
import json
import os
import ssl
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tls_fixture  # noqa: E402

MODES = ("turnstile", "hcaptcha", "recaptcha", "chunked", "slow", "error500",
         "invalid_json", "refuse", "wrong_hostname", "low_score", "huge")


def _answer(mode, hostname):
    """(status, body bytes) of one mode."""
    passed = {"success": True, "challenge_ts": "2026-01-01T00:00:00Z",
              "hostname": hostname, "error-codes": []}
    if mode == "turnstile":
        passed.update(action="", cdata="", metadata={"interactive": False})
    elif mode == "hcaptcha":
        passed.update(credit=False)
    elif mode == "recaptcha":
        passed.update(score=0.9, action="contact")
    elif mode == "error500":
        return 500, b'{"success": false, "error-codes": ["internal-error"]}'
    elif mode == "invalid_json":
        return 200, b"<html><body>Service busy</body></html>"
    elif mode == "refuse":
        passed.update(success=False, hostname="",
                      **{"error-codes": ["invalid-input-response", "timeout-or-duplicate"]})
    elif mode == "wrong_hostname":
        passed.update(hostname="evil.test")
    elif mode == "low_score":
        passed.update(score=0.3, action="contact")
    elif mode == "huge":
        passed.update(padding="x" * (65 * 1024))
    return 200, json.dumps(passed).encode()


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        began = time.monotonic()
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        parts = self.path.strip("/").split("/")
        mode = parts[0] if parts[0] in MODES else self.server.owner.mode
        self.server.owner._record({
            "method": self.command, "path": self.path, "mode": mode,
            "request_line": self.requestline,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": raw.decode("latin-1"),
            "fields": {k: v[0] for k, v in
                       urllib.parse.parse_qs(raw.decode("latin-1"), keep_blank_values=True).items()},
        })
        if mode == "slow":
            time.sleep(self.server.owner.delay)
        status, body = _answer(mode, self.server.owner.hostname)
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Connection", "close")
        if mode == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            half = len(body) // 2
            self.wfile.write(b"%x;part=one\r\n%s\r\n" % (half, body[:half]))
            self.wfile.write(b"%X\r\n%s\r\n" % (len(body) - half, body[half:]))
            self.wfile.write(b"0\r\nX-Checked: yes\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        self.wfile.flush()
        self.close_connection = True
        self.server.owner.handling_ms.append((time.monotonic() - began) * 1000)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, client_address):
        # The handshake runs in the request's own thread, so a client that
        # stalls in it holds up no other.
        request.settimeout(30)
        began = time.monotonic()
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.owner.handshake_errors.append(str(e))
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass
            self.owner.connection_ms.append((time.monotonic() - began) * 1000)

    def handle_error(self, request, client_address):
        pass  # a client that went away (the slow mode's) is no test failure


class CaptchaServer:
    def __init__(self, mode="turnstile", hostname="www.example.com", delay=3.0, tls=None):
        self.mode = mode
        self.hostname = hostname
        self.delay = delay
        self.requests = []
        self.handling_ms = []    # per request: read to answer written
        self.connection_ms = []  # per connection: handshake to close
        self.handshake_errors = []
        self.log_path = None
        self._lock = threading.Lock()
        self._own_tls = tls is None
        self.tls = tls or tls_fixture.TlsFiles()
        self.ca = self.tls.ca
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        self._server.context = self.tls.server_context()
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def url(self, mode=None):
        return "https://127.0.0.1:%d/%s/siteverify" % (self.port, mode or self.mode)

    def _record(self, request):
        with self._lock:
            self.requests.append(request)
            if self.log_path:
                with open(self.log_path, "a") as log:
                    log.write(json.dumps(request) + "\n")

    def close(self):
        self._server.shutdown()
        self._server.server_close()
        if self._own_tls:
            self.tls.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", default="turnstile", choices=MODES)
    parser.add_argument("--hostname", default="www.example.com")
    parser.add_argument("--delay", type=float, default=3.0)
    parser.add_argument("--log", help="append each request as a JSON line")
    args = parser.parse_args()
    server = CaptchaServer(args.mode, args.hostname, args.delay)
    server.log_path = args.log
    try:
        print("port=%d ca=%s" % (server.port, server.ca), flush=True)
        sys.stdin.read()
    finally:
        server.close()


if __name__ == "__main__":
    main()
