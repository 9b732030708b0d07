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

    def nonce(self, session=SESSION):
        return self.portal.challenge(session)["nonce"]

    def report(self, key=KEY, session=SESSION, **changes):
        nonce = changes.pop("nonce", None) or self.nonce(session)
        return answer_to(nonce, key, **{"timestamp": int(self.now), **changes})

    def attest(self, body, session=SESSION):
        with contextlib.suppress(portal.BadReport):
            return self.portal.attest(body, session)

    def spent(self, **change):
        """A genuine report whose nonce an attest of it (changed so) spent first."""
        body = self.report()
        self.attest(served({**json.loads(body), **change}))
        return body

    def enroll(self, key):
        return self.portal.enroll(DEVICE, key if isinstance(key, str) else signed(SAMPLE, key)["public_key"])


@pytest.fixture
def bench(tmp_path):
    return Bench(tmp_path / "portal.sqlite3")


TPM, SYSTEM, ONLY = {"require_tpm": True}, {"require_system_signer": True}, {"enrolled_only": True}
FIRST, PINNED, SPENT = "enrolled from now on", "enrolled key", "already used"
# What makes the body, then the verdict (400: it is no report), its code, and words of its reason.
CASES = [
    (lambda b: (b.attest(b.report()), b.report())[1], True, None, PINNED),
    (lambda b: b.report(nonce=(b.nonce(), setattr(b, "now", b.now + 121))[0]), False, "expired-challenge", "expired"),
    # Replayed, or its nonce spent by an attest that was refused or was no report.
    (lambda b: b.spent(), False, "replayed", SPENT),
    (lambda b: b.spent(vpn_active=False), False, "replayed", SPENT),
    (lambda b: b.spent(timestamp=True), False, "replayed", SPENT),
    # A nonce of another session, one given another expiry; another client's challenges take nothing away.
    (lambda b: b.report(session="another"), False, "unknown-challenge", "to this session"),
    (lambda b: b.report(nonce="B" + b.nonce()[1:]), False, "unknown-challenge", "not issued by this portal"),
    (lambda b: ([b.nonce("one client") for _ in range(2000)], b.report())[1], True, None, FIRST),
    (lambda b: b.report(origin="https://elsewhere.example"), False, "wrong-origin", "origin does not match"),
    # The key pinned across a restart; a report refused by the policy pins nothing.
    (lambda b: (b.attest(b.report()), b.restart().report(OTHER_KEY))[1], False, "key-changed", "device key changed"),
    (lambda b: (b.restart(**SYSTEM).attest(b.report(OTHER_KEY, signer="session")), b.restart().report())[1], True,
     None, FIRST),
    (lambda b: b.restart(**TPM).report(key_storage="tpm"), True, None, FIRST),
    (lambda b: b.restart(**TPM).report(key_storage="file"), False, "needs-tpm", "key is in a file"),
    (lambda b: b.restart(**TPM).report(), False, "needs-tpm", "not said to be in one"),
    (lambda b: b.restart(**SYSTEM).report(signer="system"), True, None, FIRST),
    (lambda b: b.restart(**SYSTEM).report(signer="session"), False, "needs-system-signer", "in the person's session"),
    # --enroll, of this key, of another, of a point off the curve (pins nothing); --forget; --enrolled-only.
    (lambda b: (b.enroll(KEY), b.report())[1], True, None, PINNED),
    (lambda b: (b.enroll(OTHER_KEY), b.report())[1], False, "key-changed", "device key changed"),
    (lambda b: (b.enroll(OFF_CURVE), b.report())[1], True, None, FIRST),
    (lambda b: (b.enroll(OTHER_KEY), b.portal.forget(DEVICE), b.report())[2], True, None, FIRST),
    (lambda b: b.restart(**ONLY).report(), False, "not-enrolled", "--enroll " + DEVICE),
    (lambda b: (b.restart(**ONLY).enroll(KEY), b.report())[1], True, None, PINNED),
    (lambda b: b.report(timestamp=True), 400, "malformed", "timestamp is not an integer"),
    (lambda b: b.report(device_id="x" * 65536), 400, "too-large", "larger than 64 KiB"),
]


@pytest.mark.parametrize("make,verdict,code,reason", CASES)
def test_attest(bench, make, verdict, code, reason):
    body = make(bench)
    try:
        answer = recorded = bench.portal.attest(body, SESSION)
    except portal.BadReport as error:
        recorded = {"trusted": False, "code": error.code, "reason": str(error)}
        answer = {**recorded, "trusted": 400, "device_id": DEVICE}
    assert (answer["trusted"], answer["code"], answer["device_id"]) == (verdict, code, DEVICE), answer
    assert reason in answer["reason"]
    assert bench.portal.session_verdict(SESSION) == {**recorded, "checked_at": int(bench.now)}


def test_concurrent_attests_of_one_report_trust_it_once_and_its_nonce_is_kept_until_it_expires(bench):
    with ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(bench.attest, [bench.report()] * 16))
    assert sorted(answer["trusted"] for answer in answers) == [False] * 15 + [True]
    bench.now += 121
    bench.attest(bench.report())
    with sqlite3.connect(bench.db) as db:
        assert db.execute("SELECT count(*) FROM spent_nonces").fetchone() == (1,)


def test_the_server_binds_challenges_to_sessions_and_bounds_time_and_threads(bench, monkeypatch):
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
