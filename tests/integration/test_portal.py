"""The reference portal's rules, in process, with a fake clock and a throwaway database; then its server."""
import base64
import contextlib
import http.client
import json
import os
import select
import socket
import sqlite3
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from cryptography.hazmat.primitives.asymmetric import ec

from conftest import ORIGIN, SAMPLE, answer_to, served, signed, wait_until

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "portal"))
import portal  # noqa: E402

KEY, OTHER_KEY = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
SESSION, DEVICE = "the person's session", SAMPLE["device_id"]
OFF_CURVE = base64.b64encode(bytes([4] + [0] * 64)).decode()


class Bench:
    """A portal on one database, its clock, and reports that answer its challenges."""

    def __init__(self, db):
        self.db, self.now = db, 1_800_000_000.0
        self.restart()

    def restart(self, **options):
        self.portal = portal.Portal(self.db, ORIGIN, clock=lambda: self.now, **options)
        return self

    def report(self, key=KEY, session=SESSION, **changes):
        nonce = changes.pop("nonce", None) or self.portal.challenge(session)["nonce"]
        return answer_to(nonce, key, **{"timestamp": int(self.now), **changes})

    def attest(self, body, session=SESSION):
        with contextlib.suppress(portal.BadReport):
            return self.portal.attest(body, session)

    def enroll(self, key):
        return self.portal.enroll(DEVICE, key if isinstance(key, str) else signed(SAMPLE, key)["public_key"])


def spent_by(**change):
    """A genuine report whose nonce an attest of a changed copy of it spent first."""
    return lambda b: (body := b.report(), b.attest(served({**json.loads(body), **change})))[0]


TPM, SYSTEM = {"require_tpm": True}, {"require_system_signer": True}


@pytest.mark.parametrize("make,verdict,code,reason", [
    pytest.param(lambda b: (b.attest(b.report()), b.report())[1], True, None, "enrolled key", id="trusted again"),
    pytest.param(lambda b: (b.report(timestamp=int(b.now) + 121), setattr(b, "now", b.now + 121))[0], False,
                 "expired-challenge", "expired", id="expired nonce"),
    pytest.param(lambda b: (body := b.report(), b.attest(body))[0], False, "replayed", "already used", id="replay"),
    pytest.param(spent_by(vpn_active=False), False, "replayed", "already used", id="spent by a refused attest"),
    pytest.param(spent_by(timestamp=True), False, "replayed", "already used", id="spent by a malformed attest"),
    pytest.param(lambda b: b.report(session="another session"), False, "unknown-challenge", "to this session",
                 id="a nonce of another session"),
    pytest.param(lambda b: b.report(nonce="B" + b.portal.challenge(SESSION)["nonce"][1:]), False, "unknown-challenge",
                 "not issued by this portal", id="a nonce given another expiry"),
    pytest.param(lambda b: ([b.portal.challenge("one client") for _ in range(2000)], b.report())[1], True, None,
                 "enrolled from now on", id="another client's 2,000 challenges"),
    pytest.param(lambda b: b.report(origin="https://elsewhere.example"), False, "wrong-origin", "origin does not match",
                 id="another page's report"),
    pytest.param(lambda b: (b.attest(b.report()), b.restart().report(OTHER_KEY))[1], False, "key-changed",
                 "device key changed", id="another key after a restart"),
    pytest.param(lambda b: (b.restart(**SYSTEM).attest(b.report(OTHER_KEY, signer="session")), b.restart().report())[1],
                 True, None, "enrolled from now on", id="a refused report enrols nothing"),
    pytest.param(lambda b: b.restart(**TPM).report(key_storage="tpm"), True, None, "enrolled from now on",
                 id="--require-tpm, a TPM key"),
    pytest.param(lambda b: b.restart(**TPM).report(key_storage="file"), False, "needs-tpm", "key is in a file",
                 id="--require-tpm, a file key"),
    pytest.param(lambda b: b.restart(**TPM).report(), False, "needs-tpm", "not said to be in one",
                 id="--require-tpm, no key_storage"),
    pytest.param(lambda b: b.restart(**SYSTEM).report(signer="system"), True, None, "enrolled from now on",
                 id="--require-system-signer, the system signer"),
    pytest.param(lambda b: b.restart(**SYSTEM).report(signer="session"), False, "needs-system-signer",
                 "signed in the person's session", id="--require-system-signer, the session"),
    pytest.param(lambda b: (b.enroll(KEY), b.report())[1], True, None, "enrolled key", id="--enroll, then its key"),
    pytest.param(lambda b: (b.enroll(OTHER_KEY), b.report())[1], False, "key-changed", "device key changed",
                 id="--enroll, then another key"),
    pytest.param(lambda b: (b.enroll(OFF_CURVE), b.report())[1], True, None, "enrolled from now on",
                 id="--enroll of a point off the curve pins nothing"),
    pytest.param(lambda b: (b.enroll(OTHER_KEY), b.portal.forget(DEVICE), b.report())[2], True, None,
                 "enrolled from now on", id="--enroll, --forget, then a new key"),
    pytest.param(lambda b: b.restart(enrolled_only=True).report(), False, "not-enrolled", "--enroll " + DEVICE,
                 id="--enrolled-only, an unknown device"),
    pytest.param(lambda b: (b.restart(enrolled_only=True).enroll(KEY), b.report())[1], True, None, "enrolled key",
                 id="--enrolled-only, an enrolled device"),
    pytest.param(lambda b: b.report().replace(b'"nonce": "', b'"nonce": "\\ud800'), 400, "malformed", "not JSON",
                 id="a lone surrogate in the nonce"),
    pytest.param(lambda b: b.report(timestamp=True), 400, "malformed", "timestamp is not an integer", id="wrong type"),
    pytest.param(lambda b: b.report(device_id="x" * 65536), 400, "too-large", "larger than 64 KiB", id="over 64 KiB"),
])
def test_attest(tmp_path, make, verdict, code, reason):
    bench = Bench(tmp_path / "portal.sqlite3")
    body = make(bench)
    try:
        answer = recorded = bench.portal.attest(body, SESSION)
    except portal.BadReport as error:
        recorded = {"trusted": False, "code": error.code, "reason": str(error)}
        answer = {**recorded, "trusted": 400, "device_id": DEVICE}
    assert (answer["trusted"], answer["code"], answer["device_id"]) == (verdict, code, DEVICE), answer
    assert reason in answer["reason"]
    assert bench.portal.session_verdict(SESSION) == {**recorded, "checked_at": int(bench.now)}


def test_concurrent_attests_of_one_report_trust_it_once_and_its_nonce_is_kept_until_it_expires(tmp_path):
    bench = Bench(tmp_path / "portal.sqlite3")
    with ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(bench.attest, [bench.report()] * 16))
    assert sorted(answer["trusted"] for answer in answers) == [False] * 15 + [True]
    bench.now += 121
    bench.attest(bench.report())
    with sqlite3.connect(bench.db) as db:
        assert db.execute("SELECT count(*) FROM spent_nonces").fetchone() == (1,)


def test_the_server_binds_challenges_to_sessions_and_bounds_time_and_threads(tmp_path, monkeypatch):
    bench = Bench(tmp_path / "portal.sqlite3")
    server = portal.PortalServer(("127.0.0.1", 0), bench.portal, max_handlers=2)
    threading.Thread(target=server.serve_forever, daemon=True).start()

    def call(method, path, body=None, cookie=None):
        connection = http.client.HTTPConnection(*server.server_address, timeout=10)
        connection.request(method, path, body, {"Cookie": cookie} if cookie else {})
        answer = connection.getresponse()
        data = answer.read()
        return answer.status, answer.headers, json.loads(data) if "json" in answer.headers["Content-Type"] else data

    def connect(data=b""):
        connection = socket.create_connection(server.server_address, timeout=10)
        connection.sendall(data)
        return connection

    try:
        status, headers, _ = call("GET", "/")
        cookie = headers["Set-Cookie"]
        assert status == 200 and "Content-Security-Policy" in headers and "; HttpOnly; SameSite=Strict" in cookie
        session = cookie.split(";")[0]
        body = answer_to(call("POST", "/api/challenge", cookie=session)[2]["nonce"], KEY, timestamp=int(bench.now))
        assert call("POST", "/api/attest", body)[2]["code"] == "unknown-challenge"  # a session of its own
        assert call("POST", "/api/attest", body, session)[2]["trusted"] is True
        assert call("GET", "/api/session", cookie=session)[2]["verdict"]["trusted"] is True
        assert call("GET", "/api/session")[2] == {"verdict": None}
        assert call("POST", "/api/attest", b"{")[:3:2] == (400, {"error": "not JSON", "code": "malformed"})

        # A body that trickles in has its deadline all the same.
        monkeypatch.setattr(portal, "REQUEST_DEADLINE", 1)
        trickled = connect(b"POST /api/attest HTTP/1.0\r\nContent-Length: 60\r\n\r\n")
        for _ in range(60):
            if select.select([trickled], [], [], 0.05)[0]:
                break
            trickled.sendall(b" ")
        assert trickled.recv(100).startswith(b"HTTP/1.0 408 ")
        monkeypatch.setattr(portal, "REQUEST_DEADLINE", 30)

        # Both handlers busy with clients that send nothing: a third is told to come back.
        holders = [connect(b"GET / HTTP/1.0\r\n") for _ in range(2)]
        refused = connect().recv(1000)
        assert refused.startswith(b"HTTP/1.0 503 ") and b"\r\nRetry-After: 5\r\n" in refused
        for holder in holders:
            holder.close()
        wait_until(lambda: call("GET", "/api/session")[0] == 200, "a free handler")
    finally:
        server.shutdown()
        server.server_close()
