"""corvane-verify: the command-line check of a served report's signature."""
import base64
import importlib.util
import json
import os
import subprocess

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

from conftest import BUILD_DIR

TOOL = os.path.join(BUILD_DIR, "tools", "corvane-verify", "corvane-verify")

# The browser tests' independent signer: its facts need every kind of escape,
# and its payload rule is the one Python verifiers use.
_spec = importlib.util.spec_from_file_location(
    "sign_report", os.path.join(os.path.dirname(__file__), "..", "browser", "sign-report.py"))
sign_report = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sign_report)
FACTS = sign_report.FACTS


def b64(data):
    return base64.b64encode(data).decode()


def payload(facts):
    return sign_report.canonical(facts).encode()


def point(key):
    return key.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


def signed(facts, key=None, public_key=None):
    key = key or ec.generate_private_key(ec.SECP256R1())
    signature = key.sign(payload(facts), ec.ECDSA(hashes.SHA256()))
    return dict(facts, signature=b64(signature), public_key=b64(point(public_key or key)))


def served(document):
    """The document as the agent writes it: indented, sorted, slashes escaped."""
    return json.dumps(document, sort_keys=True, indent=2, ensure_ascii=False).replace("/", "\\/").encode()


def run(*args, stdin=b""):
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=30)


def assert_verdict(result, stdout, status):
    assert (result.stdout.decode(), result.returncode) == (stdout, status), result.stderr


def test_accepts_a_signed_report_from_a_file_stdin_and_an_http_answer(tmp_path):
    text = served(signed(FACTS))
    path = tmp_path / "report.json"
    path.write_bytes(text)
    http = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
            + str(len(text)).encode() + b"\r\nConnection: close\r\n\r\n" + text)

    assert_verdict(run(str(path)), "valid\n", 0)
    assert_verdict(run(stdin=text), "valid\n", 0)
    assert_verdict(run("-", stdin=http), "valid\n", 0)
    compact = json.dumps(signed(FACTS), ensure_ascii=True).encode()
    assert_verdict(run(stdin=compact), "valid\n", 0)


def change_each_fact():
    yield "timestamp", lambda d: d.update(timestamp=d["timestamp"] + 1)
    yield "device_id", lambda d: d.update(device_id=d["device_id"].lower())
    yield "connected_network", lambda d: d["connected_network"].update(ssid="Café/Bar")
    yield "nearby_networks", lambda d: d["nearby_networks"].reverse()
    yield "vpn_active", lambda d: d.update(vpn_active=False)
    yield "added member", lambda d: d.update(extra=0)


@pytest.mark.parametrize("name,change", list(change_each_fact()))
def test_a_changed_fact_does_not_verify(name, change):
    document = signed(FACTS)
    change(document)
    assert_verdict(run(stdin=served(document)), "invalid: signature does not verify\n", 1)


def test_another_key_and_every_flipped_signature_bit_do_not_verify():
    other = ec.generate_private_key(ec.SECP256R1())
    assert_verdict(run(stdin=served(signed(FACTS, public_key=other))), "invalid: signature does not verify\n", 1)

    document = signed(FACTS)
    der = base64.b64decode(document["signature"])
    for index in range(len(der)):
        flipped = bytearray(der)
        flipped[index] ^= 1 << (index % 8)
        result = run(stdin=served(dict(document, signature=b64(flipped))))
        assert result.returncode == 1, (index, result.stdout)
        assert result.stdout.decode() in ("invalid: signature does not verify\n",
                                          "invalid: signature is not a DER ECDSA signature\n"), index


def garbage():
    good = signed(FACTS)
    key_point = base64.b64decode(good["public_key"])
    der = base64.b64decode(good["signature"])
    off_curve = key_point[:-1] + bytes([key_point[-1] ^ 1])
    compressed = ec.generate_private_key(ec.SECP256R1()).public_key().public_bytes(
        serialization.Encoding.X962, serialization.PublicFormat.CompressedPoint)
    without = lambda key: {k: v for k, v in good.items() if k != key}  # noqa: E731

    yield b"", "not JSON"
    yield b"{\"timestamp\": 1", "not JSON"
    yield b"{\"device_id\": \"\xff\"}", "not JSON"
    yield b"[]", "not a JSON object"
    yield served(without("signature")), "no signature"
    yield served(without("public_key")), "no public_key"
    yield served(dict(good, signature=5)), "signature is not a string"
    yield served(dict(good, public_key=None)), "public_key is not a string"
    yield served(dict(good, signature="MEUC!===")), "signature is not Base64"
    yield served(dict(good, signature=good["signature"] + "\n")), "signature is not Base64"
    yield served(dict(good, signature=good["signature"][:-1])), "signature is not Base64"
    yield served(dict(good, public_key="")), "public_key is not Base64"
    # Same bytes to a lenient decoder: the last character differs only in unused bits.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    last = alphabet[alphabet.index(good["public_key"][-2]) ^ 1]
    yield served(dict(good, public_key=good["public_key"][:-2] + last + "=")), "public_key is not Base64"
    yield served(dict(good, public_key=b64(key_point[1:]))), "public_key is not a 65-byte uncompressed point"
    yield served(dict(good, public_key=b64(compressed))), "public_key is not a 65-byte uncompressed point"
    yield served(dict(good, public_key=b64(off_curve))), "public_key is not a point on P-256"
    yield served(dict(good, signature=b64(b"\x30\x00"))), "signature is not a DER ECDSA signature"
    # BER's long length form is not DER.
    yield (served(dict(good, signature=b64(b"\x30\x81" + der[1:]))),
           "signature is not a DER ECDSA signature")
    yield b"HTTP/1.1 500 Internal Server Error\r\n\r\n", \
        "the answer is not \"200 OK\" but \"HTTP/1.1 500 Internal Server Error\""


GARBAGE = list(garbage())


@pytest.mark.parametrize("text,reason", GARBAGE, ids=[f"{i}: {reason}" for i, (_, reason) in enumerate(GARBAGE)])
def test_garbage_is_invalid_with_its_reason(text, reason):
    assert_verdict(run(stdin=text), f"invalid: {reason}\n", 1)


@pytest.mark.parametrize("args", [("a", "b"), ("--verbose",)])
def test_usage_errors_exit_2_with_the_usage_line(args):
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, b"")
    assert b"usage: corvane-verify [FILE | - | --fetch]" in result.stderr


def test_an_unreadable_file_or_no_agent_is_trouble_not_a_verdict(tmp_path):
    result = run(str(tmp_path / "missing.json"))
    assert (result.returncode, result.stdout) == (2, b"")
    assert b"missing.json" in result.stderr

    # No agent runs in this test's namespace.
    result = run("--fetch")
    assert (result.returncode, result.stdout) == (2, b"")
    assert b"cannot connect to 127.0.0.1:12180" in result.stderr


def test_reports_of_the_running_agent(agent, tmp_path):
    assert_verdict(run("--fetch"), "valid\n", 0)

    report = agent.get_report()
    assert_verdict(run(stdin=served(report)), "valid\n", 0)
    report["vpn_active"] = not report["vpn_active"]
    assert_verdict(run(stdin=served(report)), "invalid: signature does not verify\n", 1)
