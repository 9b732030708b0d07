"""The reference portal's rules, in process, with a fake clock and a throwaway database."""
import json
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from cryptography.hazmat.primitives.asymmetric import ec

from conftest import served, signed

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "portal"))
import portal  # noqa: E402

ORIGIN = "https://portal.example"
with open(os.path.join(os.path.dirname(__file__), "facts.json"), encoding="utf-8") as facts_file:
    FACTS = json.load(facts_file)
KEY = ec.generate_private_key(ec.SECP256R1())


class Bench:
    """A portal on one database, its clock, and reports that answer its challenges."""

    def __init__(self, db):
        self.db, self.now = db, 1_800_000_000.0
        self.restart()

    def restart(self):
        self.portal = portal.Portal(self.db, ORIGIN, clock=lambda: self.now)

    def report(self, key=KEY, **changes):
        nonce = self.portal.challenge()["nonce"]
        return served(signed({**FACTS, "nonce": nonce, "origin": ORIGIN, "timestamp": int(self.now), **changes}, key))

    def after(self, seconds, body):
        self.now += seconds
        return body


def tampered(body):
    return served(dict(json.loads(body), vpn_active=False))


def restarted_with_another_key(bench):
    bench.portal.attest(bench.report())
    body = bench.report(key=ec.generate_private_key(ec.SECP256R1()))
    bench.restart()
    return body


@pytest.mark.parametrize("make,verdict,reason", [
    pytest.param(lambda b: b.report(), True, "enrolled from now on", id="trusted, enrolled"),
    pytest.param(lambda b: (b.portal.attest(b.report()), b.report())[1], True, "enrolled key", id="trusted again"),
    pytest.param(lambda b: b.report(origin="http://127.0.0.1:9"), False, "http://127.0.0.1:9", id="wrong origin"),
    pytest.param(lambda b: b.after(121, b.report(timestamp=int(b.now) + 121)), False, "expired", id="expired nonce"),
    pytest.param(lambda b: b.report(timestamp=int(b.now) - 121), False, "121 s behind", id="old timestamp"),
    pytest.param(lambda b: b.report(timestamp=10**400), False, "ahead of", id="timestamp beyond any float"),
    pytest.param(lambda b: b.report(nonce="A" * 43), False, "not issued", id="unknown nonce"),
    pytest.param(lambda b: (body := b.report(), b.portal.attest(body))[0], False, "already used", id="replay"),
    pytest.param(lambda b: (body := b.report(), b.portal.attest(tampered(body)))[0], False, "already used",
                 id="spent by a refused attest"),
    pytest.param(lambda b: tampered(b.report()), False, "signature does not verify", id="tampered member"),
    pytest.param(restarted_with_another_key, False, "device key changed", id="another key after a restart"),
    pytest.param(lambda b: b"{\"nonce\": ", 400, "not JSON", id="not JSON"),
    pytest.param(lambda b: served({k: v for k, v in json.loads(b.report()).items() if k != "origin"}), 400,
                 "no origin", id="missing member"),
    pytest.param(lambda b: b.report(timestamp=True), 400, "timestamp is not an integer", id="wrong type"),
    pytest.param(lambda b: b.report(device_id="x" * 65536), 400, "larger than 64 KiB", id="over 64 KiB"),
])
def test_attest(tmp_path, make, verdict, reason):
    bench = Bench(tmp_path / "portal.sqlite3")
    body = make(bench)
    try:
        answer = bench.portal.attest(body)
    except portal.BadReport as error:
        answer = {"trusted": 400, "reason": str(error), "device_id": FACTS["device_id"]}
    assert (answer["trusted"], answer["device_id"]) == (verdict, FACTS["device_id"]) and reason in answer["reason"]


def test_concurrent_attests_of_one_report_trust_it_once(tmp_path):
    bench = Bench(tmp_path / "portal.sqlite3")
    with ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(bench.portal.attest, [bench.report()] * 16))
    assert sorted(answer["trusted"] for answer in answers) == [False] * 15 + [True]
