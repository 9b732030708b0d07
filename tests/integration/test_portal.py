"""The reference portal's rules, in process, with a fake clock and a throwaway database."""
import contextlib
import http.client
import http.server
import json
import os
import sys
import threading
import types
from concurrent.futures import ThreadPoolExecutor

import pytest
from cryptography.hazmat.primitives.asymmetric import ec

from conftest import ORIGIN, SAMPLE, answer_to, served

HERE = os.path.dirname(__file__)
sys.path.insert(0, os.path.join(HERE, "..", "..", "examples", "portal"))
import portal  # noqa: E402

with open(os.path.join(HERE, "..", "vectors", "reports.json"), encoding="utf-8") as vectors_file:
    VECTORS = json.load(vectors_file)
KEY = ec.generate_private_key(ec.SECP256R1())


class Bench:
    """A portal on one database, its clock, and reports that answer its challenges."""

    def __init__(self, db):
        self.db, self.now = db, 1_800_000_000.0
        self.restart()

    def restart(self, require_tpm=False):
        self.portal = portal.Portal(self.db, ORIGIN, clock=lambda: self.now, require_tpm=require_tpm)

    def report(self, key=KEY, **changes):
        return answer_to(self.portal.challenge()["nonce"], key, **{"timestamp": int(self.now), **changes})

    def after(self, seconds, body):
        self.now += seconds
        return body


def surrogate(body, member=b"device_id"):
    return body.replace(b'"%s": "' % member, b'"%s": "\\ud800' % member)


def spent_by(change):
    """A genuine report whose nonce an attest of a changed copy of it spent first."""
    def make(bench):
        body = bench.report()
        with contextlib.suppress(portal.BadReport):
            bench.portal.attest(change(body))
        return body
    return make


def restarted_with_another_key(bench):
    bench.portal.attest(bench.report())
    body = bench.report(key=ec.generate_private_key(ec.SECP256R1()))
    bench.restart()
    return body


def requiring_tpm(**storage):
    return lambda b: (b.restart(require_tpm=True), b.report(**storage))[1]


@pytest.mark.parametrize("make,verdict,reason", [
    pytest.param(lambda b: (b.portal.attest(b.report()), b.report())[1], True, "enrolled key", id="trusted again"),
    pytest.param(lambda b: b.after(121, b.report(timestamp=int(b.now) + 121)), False, "expired", id="expired nonce"),
    pytest.param(lambda b: (body := b.report(), b.portal.attest(body))[0], False, "already used", id="replay"),
    pytest.param(spent_by(lambda body: served(dict(json.loads(body), vpn_active=False))), False, "already used",
                 id="spent by a refused attest"),
    pytest.param(spent_by(surrogate), False, "already used", id="spent by a malformed attest"),
    pytest.param(restarted_with_another_key, False, "device key changed", id="another key after a restart"),
    pytest.param(requiring_tpm(key_storage="tpm"), True, "enrolled from now on", id="--require-tpm, a TPM key"),
    pytest.param(requiring_tpm(key_storage="file"), False, "key is in a file", id="--require-tpm, a file key"),
    pytest.param(requiring_tpm(), False, "key is not said to be in one", id="--require-tpm, no key_storage"),
    pytest.param(lambda b: surrogate(b.report(), b"nonce"), 400, "not JSON", id="a lone surrogate in the nonce"),
    pytest.param(lambda b: b.report(timestamp=True), 400, "timestamp is not an integer", id="wrong type"),
    pytest.param(lambda b: b.report(device_id="x" * 65536), 400, "larger than 64 KiB", id="over 64 KiB"),
])
def test_attest(tmp_path, make, verdict, reason):
    bench = Bench(tmp_path / "portal.sqlite3")
    body = make(bench)
    try:
        answer = bench.portal.attest(body)
    except portal.BadReport as error:
        answer = {"trusted": 400, "reason": str(error), "device_id": SAMPLE["device_id"]}
    assert (answer["trusted"], answer["device_id"]) == (verdict, SAMPLE["device_id"]) and reason in answer["reason"]


@pytest.mark.parametrize("vector", VECTORS["vectors"], ids=lambda vector: vector["name"])
def test_each_report_vector_gets_its_verdict(tmp_path, monkeypatch, vector):
    monkeypatch.setattr(portal, "secrets", types.SimpleNamespace(token_urlsafe=lambda size: VECTORS["nonce"]))
    checker = portal.Portal(tmp_path / "portal.sqlite3", VECTORS["origin"], clock=lambda: float(VECTORS["now"]))
    checker.challenge()
    try:
        trusted = checker.attest(vector["report"].encode())["trusted"]
    except portal.BadReport:
        trusted = False
    assert trusted == (vector["verdict"] == "valid")


def test_concurrent_attests_of_one_report_trust_it_once(tmp_path):
    bench = Bench(tmp_path / "portal.sqlite3")
    with ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(bench.portal.attest, [bench.report()] * 16))
    assert sorted(answer["trusted"] for answer in answers) == [False] * 15 + [True]


def test_open_challenges_are_bounded_and_every_post_gets_json(tmp_path, monkeypatch):
    monkeypatch.setattr(portal, "MAX_OPEN_CHALLENGES", 1)
    bench = Bench(tmp_path / "portal.sqlite3")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), portal.Handler)
    server.portal = bench.portal
    threading.Thread(target=server.serve_forever, daemon=True).start()

    def post(path, body=b""):
        connection = http.client.HTTPConnection(*server.server_address, timeout=10)
        connection.request("POST", path, body)
        answer = connection.getresponse()
        return answer.status, json.loads(answer.read())

    try:
        status, challenge = post("/api/challenge")
        assert (status, post("/api/challenge")[0]) == (200, 429)
        body = surrogate(answer_to(challenge["nonce"], timestamp=int(bench.now)))
        assert post("/api/attest", body) == (400, {"error": "not JSON"})
        assert post("/api/challenge")[0] == 200  # the spent one is open no more
        bench.now += 121
        assert post("/api/challenge")[0] == 200  # nor is an expired one
    finally:
        server.shutdown()
        server.server_close()
