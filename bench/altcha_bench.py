#!/usr/bin/python3
"""What the proof-of-work CAPTCHA (`captcha altcha`) costs the server and
the visitor.

    bench/altcha_bench.py [--quillon build/quillon] [--runs 40] [--costs 1000 5000 20000]
                          [--no-browser]

Challenge: the CPU time (user + system) of a CGI run answering
`GET ?altcha` at each altcha_cost, beside a GET the program refuses (405):
the difference is the one key derivation a challenge costs.

Verify: whole CGI runs with the typical form (bench/whole_run.py's
settings and SMTP responder, logging errors) at the default cost, each
with a fresh challenge solved here, against the same run without
`captcha`, in alternating turns. The program's own challenges carry the
key's signature, so a check is one HMAC, not a derivation (goal: under 2 ms
of CPU beyond the plain run).

Browser: the widget of npm's `altcha` (tests/deploy's pinned copy) in
headless Chromium, on the page tests/deploy/altcha_browser.js serves with
deploy/serve.sh and lighttpd, solving challenges of each cost: the median
of the solve times the widget reports. Needs node, tests/deploy's npm
packages, chromium and lighttpd. Prints figures; asserts nothing about
them."""

import argparse
import base64
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import whole_run  # noqa: E402

DEFAULT_COST = 50000  # the program's default


def solve(challenge):
    """The widget's answer to a v2 challenge, as the `altcha` field."""
    parameters = challenge["parameters"]
    nonce = bytes.fromhex(parameters["nonce"])
    salt = bytes.fromhex(parameters["salt"])
    for counter in range(1000000):
        key = hashlib.pbkdf2_hmac("sha256", nonce + counter.to_bytes(4, "big"), salt,
                                  parameters["cost"], parameters["keyLength"]).hex()
        if key.startswith(parameters["keyPrefix"]):
            answer = {"challenge": challenge,
                      "solution": {"counter": counter, "derivedKey": key, "time": 1}}
            return base64.b64encode(json.dumps(answer).encode()).decode()
    sys.exit("no counter solves the challenge")


def challenge_of(program, cwd):
    got = subprocess.run([program], cwd=cwd, capture_output=True, check=True, env={
        "PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
        "QUERY_STRING": "altcha"}).stdout.decode()
    head, _, body = got.partition("\n\n")
    if "200 OK" not in head:
        sys.exit("no challenge: " + got)
    return json.loads(body)


def cpu_ms(rows):
    return [(r[1] + r[2]) / 1000 for r in rows]


def challenge_rows(bench, work, quillon, key, costs, runs):
    """{cost: CPU ms of each challenge run}, and the refused GET's."""
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "altcha", "GATEWAY_INTERFACE": "CGI/1.1"}
    port = bench.responder.port
    plain, plain_cwd = whole_run.site(work, "get-plain", quillon,
                                      whole_run.typical_settings(port, "errors"))
    refused = cpu_ms(bench.measure([plain], "", env=get, cwd=plain_cwd, delivers=False))
    out = {}
    for cost in costs:
        program, cwd = whole_run.site(work, "get-%d" % cost, quillon, whole_run.typical_settings(
            port, "errors", ["captcha altcha", "altcha_key_file " + key, "altcha_cost %d" % cost]))
        bench.runs = runs
        out[cost] = cpu_ms(bench.measure([program], "", env=get, cwd=cwd, delivers=False))
    return out, refused


def verify_rows(bench, work, quillon, key, runs):
    """CPU ms of runs with a fresh solution each, and of plain runs."""
    port = bench.responder.port
    checked, checked_cwd = whole_run.site(work, "post-altcha", quillon, whole_run.typical_settings(
        port, "errors", ["captcha altcha", "altcha_key_file " + key,
                         "altcha_cost %d" % DEFAULT_COST]))
    plain, plain_cwd = whole_run.site(work, "post-plain", quillon,
                                      whole_run.typical_settings(port, "errors"))
    env = {"REMOTE_ADDR": "127.0.0.1", "REQUEST_METHOD": "POST", "GATEWAY_INTERFACE": "CGI/1.1"}
    bench.runs = 1
    with_check, without = [], []
    for _ in range(runs):
        payload = solve(challenge_of(checked, checked_cwd))
        body = whole_run.TYPICAL_FORM + "&" + urllib.parse.urlencode({"altcha": payload})
        with_check += cpu_ms(bench.measure([checked], body, env=env, cwd=checked_cwd))
        without += cpu_ms(bench.measure([plain], whole_run.TYPICAL_FORM, env=env, cwd=plain_cwd))
    return with_check, without


def browser_solves(quillon, key, costs):
    """The widget's solve times as altcha_browser.js prints them; None when
    it cannot run here."""
    script = os.path.join(REPO, "tests", "deploy", "altcha_browser.js")
    if not os.path.isdir(os.path.join(REPO, "tests", "deploy", "node_modules", "altcha")):
        return None
    run = tempfile.mkdtemp(prefix="quillon-altcha-bench-")
    os.chmod(run, 0o711)
    serve = os.path.join(REPO, "deploy", "serve.sh")
    try:
        subprocess.run([serve, "start", run, "--bin", quillon, "--set", "captcha altcha",
                        "--set", "altcha_key_file " + key], check=True, capture_output=True)
        env = dict(os.environ, QUILLON_RUN=os.path.realpath(run))
        got = subprocess.run(["node", script, "--cost"] + [str(c) for c in costs], env=env,
                             capture_output=True, text=True)
        return got.stdout.strip()
    finally:
        subprocess.run([serve, "stop", run], capture_output=True)
        subprocess.run(["rm", "-rf", run])


def row(name, times):
    print("%-24s CPU median %6.2f ms   p90 %6.2f ms"
          % (name, statistics.median(times), sorted(times)[int(0.9 * (len(times) - 1))]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quillon", default=os.path.join(REPO, "build", "quillon"))
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--costs", type=int, nargs="+", default=[1000, 5000, 20000])
    parser.add_argument("--no-browser", action="store_true")
    args = parser.parse_args()
    quillon = os.path.abspath(args.quillon)
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o711)
        key = os.path.join(work, "altcha.key")
        with open(key, "w") as f:
            f.write(os.urandom(32).hex() + "\n")
        os.chmod(key, 0o644)  # the web server's user reads it in the browser rows
        bench = whole_run.Bench(work, args.runs)
        challenges, refused = challenge_rows(bench, work, quillon, key, args.costs, args.runs)
        with_check, without = verify_rows(bench, work, quillon, key, args.runs)
        solves = None if args.no_browser else browser_solves(quillon, key, args.costs)
    print("challenge runs (GET ?altcha), %d runs each, logging errors" % args.runs)
    row("refused GET (405)", refused)
    for cost, times in challenges.items():
        row("altcha_cost %d" % cost, times)
        print("%-24s one derivation: %.2f ms" % ("", statistics.median(times)
                                                 - statistics.median(refused)))
    print("whole runs, typical form, altcha_cost %d, %d runs each" % (DEFAULT_COST, args.runs))
    row("without captcha", without)
    row("with a valid solution", with_check)
    print("added by the check: %.2f ms of CPU (goal: under 2 ms)"
          % (statistics.median(with_check) - statistics.median(without)))
    if solves is None:
        print("browser: not run (--no-browser, or tests/deploy has no npm packages)")
    else:
        print("widget in headless Chromium (PBKDF2/SHA-256):")
        print(solves)
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
