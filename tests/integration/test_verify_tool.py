"""corvane-verify: the command-line check of a served report."""
import base64
import json
import os
import subprocess
import time

import pytest

from conftest import BUILD_DIR, served, signed

TOOL = os.path.join(BUILD_DIR, "tools", "corvane-verify", "corvane-verify")
# Strings that need every kind of escape; the browser's module test signs them too.
with open(os.path.join(os.path.dirname(__file__), "facts.json"), encoding="utf-8") as facts_file:
    FACTS = json.load(facts_file)
GOOD = signed(FACTS)
POINT, DER, KEY = base64.b64decode(GOOD["public_key"]), base64.b64decode(GOOD["signature"]), GOOD["public_key"]
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
NONCE, ORIGIN, NOW = "Q2hhbGxlbmdl-_0123", "https://portal.example", int(time.time())


def b64(data):
    return base64.b64encode(data).decode()


def run(*args, stdin=b""):
    """stdin: the bytes to send, or a path to read it from."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": os.open(stdin, os.O_RDONLY)}
    try:
        result = subprocess.run([TOOL, *args], capture_output=True, timeout=30, **feed)
    finally:
        if "stdin" in feed:
            os.close(feed["stdin"])
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def challenged(**changes):
    facts = {**FACTS, "nonce": NONCE, "origin": ORIGIN, "timestamp": NOW, **changes}
    return served(signed({k: v for k, v in facts.items() if v is not None}))


@pytest.mark.parametrize("document,verdict", [
    (served(GOOD), "valid"), (json.dumps(GOOD).encode(), "valid"),
    (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" + served(GOOD), "valid"),
    (b"{\"timestamp\": 1", "not JSON"), (b"{\"device_id\": \"\xff\"}", "not JSON"), (b"[]", "not a JSON object"),
    (served({k: v for k, v in GOOD.items() if k != "signature"}), "no signature"),
    (served(dict(GOOD, public_key=None)), "public_key is not a string"),
    (served(dict(GOOD, signature=GOOD["signature"] + "\n")), "signature is not Base64"),
    # Same bytes to a lenient decoder: the last character differs only in unused bits.
    (served(dict(GOOD, public_key=KEY[:-2] + ALPHABET[ALPHABET.index(KEY[-2]) ^ 1] + "=")), "public_key is not Base64"),
    (served(dict(GOOD, public_key=b64(b"\x02" + POINT[1:33]))), "public_key is not a 65-byte uncompressed point"),
    (served(dict(GOOD, public_key=b64(POINT[:-1] + bytes([POINT[-1] ^ 1])))), "public_key is not a point on P-256"),
    # BER's long length form is not DER.
    (served(dict(GOOD, signature=b64(b"\x30\x81" + DER[1:]))), "signature is not a DER ECDSA signature"),
    (served(dict(GOOD, vpn_active=False)), "signature does not verify"),
    (served(dict(GOOD, extra=0)), "signature does not verify"),
    (served(dict(GOOD, public_key=signed(FACTS)["public_key"])), "signature does not verify"),
    (b"HTTP/1.1 500 Oops\r\n\r\n", "the answer is not \"200 OK\" but \"HTTP/1.1 500 Oops\""),
])
def test_each_report_gets_its_verdict(document, verdict):
    assert run(stdin=document)[:2] == ((0, "valid\n") if verdict == "valid" else (1, f"invalid: {verdict}\n"))


@pytest.mark.parametrize("args,document,verdict", [
    (["--nonce", NONCE, "--origin", ORIGIN, "--max-age", "120"], challenged(), "valid"),
    (["--nonce", NONCE[:-1] + "4"], challenged(), "invalid: nonce does not match"),
    (["--nonce", NONCE], challenged(nonce=None), "invalid: no nonce"),
    (["--origin", ORIGIN], challenged(origin="*"), "invalid: origin does not match"),
    (["--max-age", "120"], challenged(timestamp=NOW - 300), "invalid: timestamp is older than 120 s"),
    (["--max-age", "120"], challenged(timestamp=NOW + 300), "invalid: timestamp is more than 60 s ahead"),
    (["--max-age", "120"], challenged(timestamp=float(NOW)), "invalid: timestamp is not an integer"),
])
def test_challenge_checks(args, document, verdict):
    assert run(*args, stdin=document)[1] == verdict + "\n"


@pytest.mark.parametrize("args,stdin,message", [
    (["a", "b"], b"", "too many arguments"), (["--verbose"], b"", "unknown option --verbose"),
    (["--origin"], b"", "needs a value"), (["--nonce", NONCE + "\r\n"], b"", "--nonce takes"),
    (["--max-age", "1e3"], b"", "--max-age takes"),
    (["missing.json"], b"", "cannot read missing.json: No such file or directory"),
    (["."], b"", "cannot read .: Is a directory"), (["-"], ".", "cannot read standard input: Is a directory"),
    (["--fetch"], b"", "cannot connect to 127.0.0.1:12180"),  # no agent runs in this test's namespace
])
def test_trouble_exits_2_without_a_verdict(args, stdin, message):
    status, stdout, stderr = run(*args, stdin=stdin)
    assert (status, stdout) == (2, "") and message in stderr


def test_reports_of_the_running_agent(agent, tmp_path):
    (tmp_path / "report.json").write_bytes(served(agent.get_report()))
    assert run(str(tmp_path / "report.json"))[:2] == (0, "valid\n")
    assert run("--fetch")[:2] == (0, "valid\n")
    assert run("--fetch", "--nonce", NONCE, "--origin", "*", "--max-age", "60")[:2] == (0, "valid\n")
