"""corvane_verify, the Python package, on the verifiers' shared table and on what only Python gets wrong."""
import base64
import json
import os
import re
import sys

import pytest

from conftest import SAMPLE, signed

HERE = os.path.dirname(__file__)
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
import corvane_verify  # noqa: E402

with open(os.path.join(HERE, "..", "vectors", "reports.json"), encoding="utf-8") as vectors_file:
    TABLE = json.load(vectors_file)
EXPECTED = {name: TABLE[name] for name in ("nonce", "origin", "max_age", "now")}
GENUINE = TABLE["vectors"][0]["report"]
KEY = json.loads(GENUINE)["public_key"]
NESTED = GENUINE.replace('"vpn_active":true', '"vpn_active":true,"deep":' + "[" * 16 + "]" * 16)


def row(name, verdict, code, report=GENUINE, expected_key=None):
    return {"name": name, "verdict": verdict, "code": code, "report": report, "expected_key": expected_key}


EXTRA = [
    row("its enrolled key", "valid", None, expected_key=KEY),
    row("another enrolled key", "invalid: public_key is not the expected key", "key-mismatch",
        expected_key=signed(SAMPLE)["public_key"]),
    # Python's json takes NaN and Infinity, and recurses into each level.
    row("NaN", "invalid: not JSON", "malformed", GENUINE.replace('"timestamp":1799999970', '"timestamp":NaN')),
    row("17 levels deep", "invalid: nested deeper than 16 levels", "malformed", NESTED),
]


@pytest.mark.parametrize("vector", TABLE["vectors"] + EXTRA, ids=lambda vector: vector["name"])
def test_each_report_gets_its_verdict_and_code(vector):
    verdict = corvane_verify.verify_report(vector["report"].encode(), expected_key=vector.get("expected_key"),
                                           **EXPECTED)
    assert (str(verdict), verdict.code) == (vector["verdict"], vector["code"])


def test_a_challenge_is_32_random_bytes_in_unpadded_base64url():
    nonces = {corvane_verify.new_challenge() for _ in range(2)}
    assert len(nonces) == 2
    for nonce in nonces:
        assert re.fullmatch(r"[A-Za-z0-9_-]{43}", nonce) and len(base64.urlsafe_b64decode(nonce + "=")) == 32
