"""corvane_verify, the Python package, on the verifiers' shared table and on what only Python's json takes."""
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
GENUINE = TABLE["vectors"][0]["report"]
DEEP = TABLE["deep"]
ROWS = [(row["name"], row["verdict"], row["code"], row["report"], None) for row in TABLE["vectors"]] + [
    (DEEP["name"], DEEP["verdict"], DEEP["code"], DEEP["before"] + "[" * DEEP["depth"] + "]" * DEEP["depth"]
     + DEEP["after"], None),
    ("its enrolled key", "valid", None, GENUINE, json.loads(GENUINE)["public_key"]),
    ("another enrolled key", "invalid: public_key is not the expected key", "key-mismatch", GENUINE,
     signed(SAMPLE)["public_key"]),
]


@pytest.mark.parametrize("name,verdict,code,report,key", ROWS, ids=[row[0] for row in ROWS])
def test_each_report_gets_its_verdict_and_code(name, verdict, code, report, key):
    checked = corvane_verify.verify_report(report.encode(), nonce=TABLE["nonce"], origin=TABLE["origin"],
                                           max_age=TABLE["max_age"], now=TABLE["now"], expected_key=key)
    assert (str(checked), checked.code) == (verdict, code)


def test_a_challenge_is_32_random_bytes_in_unpadded_base64url():
    nonces = {corvane_verify.new_challenge() for _ in range(2)}
    assert len(nonces) == 2 and all(re.fullmatch(r"[A-Za-z0-9_-]{43}", nonce) for nonce in nonces)
