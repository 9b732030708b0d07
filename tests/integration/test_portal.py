"""The reference portal's rules, in process, with a fake clock and a throwaway database; then its server."""
import base64
import contextlib
import http.client
import json
import os
import secrets
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
SESSION = "the person's session"
DEVICE = SAMPLE["device_id"]


class Bench:
    """A portal on one database, its clock, and reports that answer its challenges."""

    def __init__(self, db):
        self.db, self.now = db, 1_800_000_000.0
        self.restart()

    def restart(self, **options):
        self.portal = portal.Portal(self.db, ORIGIN, clock=lambda: self.now, **options)

    def report(self, key=KEY, session=SESSION, **changes):
        return answer_to(self.portal.challenge(session)["nonce"], key, **{"timestamp": int(self.now), **changes})

    def after(self, seconds, body):
        self.now += seconds
        return body


def key_text(key, flip=0):
    """The Base64 public key, with its last bit flipped when asked: a point off the curve."""
    point = bytearray(base64.b64decode(signed(SAMPLE, key)["public_key"]))
    point[-1] ^= flip
    return base64.b64encode(point).decode()


def nonce_changed(change):
    """A report of a challenge whose bytes were changed after it was issued."""
    def make(bench):
        raw = base64.urlsafe_b64decode(bench.portal.challenge(SESSION)["nonce"] + "=")
        return answer_to(base64.urlsafe_b64encode(change(raw)).rstrip(b"=").decode(), KEY, timestamp=int(bench.now))
    return make


def spent_by(change):
    """A genuine report whose nonce an attest of a changed copy of it spent first."""
    def make(bench):
        body = bench.report()
        with contextlib.suppress(portal.BadReport):
            bench.portal.attest(served(dict(json.loads(body), **change)), SESSION)
        return body
    return make


def restarted_with_another_key(bench):
    bench.portal.attest(bench.report(), SESSION)
    body = bench.report(key=OTHER_KEY)
    bench.restart()
    return body


def refused_then_another_key(bench):
    """A report refused by one rule, then the device's real key in a portal without that rule."""
    bench.restart(require_system_signer=True)
    bench.portal.attest(bench.report(key=OTHER_KEY, signer="session"), SESSION)
    bench.restart()
    return bench.report()


def requiring(options, **changes):
    return lambda b: (b.restart(**options), b.report(**changes))[1]


def enrolled(key, options={}, forget=False):
    """A report after an administrator enrolled key for the device (and maybe forgot it again)."""
    def make(bench):
        bench.restart(**options)
        bench.portal.enroll(DEVICE, key)
        if forget:
            bench.portal.forget(DEVICE)
        return bench.report()
    return make


TPM, SYSTEM = {"require_tpm": True}, {"require_system_signer": True}


@pytest.mark.parametrize("make,verdict,code,reason", [
    pytest.param(lambda b: (b.portal.attest(b.report(), SESSION), b.report())[1], True, None, "enrolled key",
                 id="trusted again"),
    pytest.param(lambda b: b.after(121, b.report(timestamp=int(b.now) + 121)), False, "expired-challenge", "expired",
                 id="expired nonce"),
    pytest.param(lambda b: (body := b.report(), b.portal.attest(body, SESSION))[0], False, "replayed", "already used",
                 id="replay"),
    pytest.param(spent_by({"vpn_active": False}), False, "replayed", "already used", id="spent by a refused attest"),
    pytest.param(spent_by({"timestamp": True}), False, "replayed", "already used", id="spent by a malformed attest"),
    pytest.param(lambda b: b.report(session="another session"), False, "unknown-challenge", "to this session",
                 id="a nonce of another session"),
    pytest.param(lambda b: answer_to(secrets.token_urlsafe(56), KEY, timestamp=int(b.now)), False,
                 "unknown-challenge", "not issued by this portal", id="a forged nonce"),
    pytest.param(nonce_changed(lambda raw: (int.from_bytes(raw[:8], "big") + 600).to_bytes(8, "big") + raw[8:]),
                 False, "unknown-challenge", "not issued by this portal", id="a nonce given a later expiry"),
    pytest.param(lambda b: ([b.portal.challenge("one client") for _ in range(2000)], b.report())[1], True, None,
                 "enrolled from now on", id="another client's 2,000 challenges"),
    pytest.param(lambda b: b.report(origin="https://elsewhere.example"), False, "wrong-origin", "origin does not match",
                 id="another page's report"),
    pytest.param(lambda b: b.report(timestamp=int(b.now) - 121), False, "stale", "older than 120 s", id="stale"),
    pytest.param(restarted_with_another_key, False, "key-changed", "device key changed",
                 id="another key after a restart"),
    pytest.param(refused_then_another_key, True, None, "enrolled from now on", id="a refused report enrols nothing"),
    pytest.param(requiring(TPM, key_storage="tpm"), True, None, "enrolled from now on", id="--require-tpm, a TPM key"),
    pytest.param(requiring(TPM, key_storage="file"), False, "needs-tpm", "key is in a file",
                 id="--require-tpm, a file key"),
    pytest.param(requiring(TPM), False, "needs-tpm", "key is not said to be in one", id="--require-tpm, no key_storage"),
    pytest.param(requiring(SYSTEM, signer="system"), True, None, "enrolled from now on",
                 id="--require-system-signer, the system signer"),
    pytest.param(requiring(SYSTEM, signer="session"), False, "needs-system-signer", "signed in the person's session",
                 id="--require-system-signer, the session"),
    pytest.param(requiring(SYSTEM), False, "needs-system-signer", "does not say", id="--require-system-signer, no signer"),
    pytest.param(enrolled(key_text(KEY)), True, None, "enrolled key", id="--enroll, then its key"),
    pytest.param(enrolled(key_text(OTHER_KEY)), False, "key-changed", "device key changed",
                 id="--enroll, then another key"),
    pytest.param(enrolled(key_text(OTHER_KEY, flip=1)), True, None, "enrolled from now on",
                 id="--enroll of a point off the curve pins nothing"),
    pytest.param(enrolled(key_text(OTHER_KEY), forget=True), True, None, "enrolled from now on",
                 id="--enroll, --forget, then a new key"),
    pytest.param(requiring({"enrolled_only": True}), False, "not-enrolled", "--enroll " + DEVICE,
                 id="--enrolled-only, an unknown device"),
    pytest.param(enrolled(key_text(KEY), {"enrolled_only": True}), True, None, "enrolled key",
                 id="--enrolled-only, an enrolled device"),
    pytest.param(lambda b: b.report().replace(b'"nonce": "', b'"nonce": "\\ud800'), 400, "malformed", "not JSON", id="a lone surrogate in the nonce"),
    pytest.param(lambda b: b.report(timestamp=True), 400, "malformed", "timestamp is not an integer", id="wrong type"),
    pytest.param(lambda b: b.report(device_id="x" * 65536), 400, "too-large", "larger than 64 KiB", id="over 64 KiB"),
])
def test_attest(tmp_path, make, verdict, code, reason):
    bench = Bench(tmp_path / "portal.sqlite3")
    body = make(bench)
    try:
        answer = bench.portal.attest(body, SESSION)
        recorded = answer
    except portal.BadReport as error:
        answer = {"trusted": 400, "code": error.code, "reason": str(error), "device_id": DEVICE}
        recorded = {"trusted": False, "code": error.code, "reason": str(error)}
    assert (answer["trusted"], answer["code"], answer["device_id"]) == (verdict, code, DEVICE), answer
    assert reason in answer["reason"]
    assert bench.portal.session_verdict(SESSION) == {**recorded, "checked_at": int(bench.now)}


def test_a_spent_nonce_is_kept_until_it_would_have_expired(tmp_path):
    bench = Bench(tmp_path / "portal.sqlite3")
    bodies = [bench.report() for _ in range(3)]
    assert [bench.portal.attest(body, SESSION)["trusted"] for body in bodies] == [True] * 3
    bench.now += 121
    bench.portal.attest(bench.report(), SESSION)
    with sqlite3.connect(bench.db) as db:
        assert db.execute("SELECT count(*) FROM spent_nonces").fetchone() == (1,)


def test_concurrent_attests_of_one_report_trust_it_once(tmp_path):
    bench = Bench(tmp_path / "portal.sqlite3")
    with ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(lambda body: bench.portal.attest(body, SESSION), [bench.report()] * 16))
    assert sorted(answer["trusted"] for answer in answers) == [False] * 15 + [True]


def test_the_server_binds_challenges_to_sessions_and_bounds_time_and_threads(tmp_path, monkeypatch):
    bench = Bench(tmp_path / "portal.sqlite3")
    server = portal.PortalServer(("127.0.0.1", 0), bench.portal, max_handlers=2)
    threading.Thread(target=server.serve_forever, daemon=True).start()

    def call(method, path, body=None, cookie=None):
        connection = http.client.HTTPConnection(*server.server_address, timeout=10)
        connection.request(method, path, body, {"Cookie": cookie} if cookie else {})
        answer = connection.getresponse()
        data = answer.read()
        return answer.status, answer.headers, json.loads(data) if answer.headers["Content-Type"] == "application/json" else data

    def connect(data=b""):
        connection = socket.create_connection(server.server_address, timeout=10)
        connection.sendall(data)
        return connection

    try:
        status, headers, _ = call("GET", "/")
        cookie = headers["Set-Cookie"]
        assert status == 200 and "Content-Security-Policy" in headers and "; HttpOnly; SameSite=Strict" in cookie
        session = cookie.split(";")[0]
        nonce = call("POST", "/api/challenge", cookie=session)[2]["nonce"]
        body = answer_to(nonce, KEY, timestamp=int(bench.now))
        assert call("POST", "/api/attest", body)[2]["code"] == "unknown-challenge"  # a session of its own
        assert call("POST", "/api/attest", body, session)[2]["trusted"] is True
        assert call("GET", "/api/session", cookie=session)[2]["verdict"]["trusted"] is True
        assert call("GET", "/api/session")[2] == {"verdict": None}
        assert call("POST", "/api/attest", b"{")[:3:2] == (400, {"error": "not JSON", "code": "malformed"})

        # A body that trickles in gets its deadline all the same.
        monkeypatch.setattr(portal, "REQUEST_DEADLINE", 1)
        trickled = connect(b"POST /api/attest HTTP/1.0\r\nContent-Length: 60\r\n\r\n")
        for _ in range(60):
            if select.select([trickled], [], [], 0.05)[0]:
                break
            trickled.sendall(b" ")
        assert trickled.recv(100).startswith(b"HTTP/1.0 408 ")
        monkeypatch.setattr(portal, "REQUEST_DEADLINE", 30)

        # Two handlers busy with clients that send nothing: a third is told to come back.
        holders = [connect(b"GET / HTTP/1.0\r\n") for _ in range(2)]
        refused = connect().recv(1000)
        assert refused.startswith(b"HTTP/1.0 503 ") and b"\r\nRetry-After: 5\r\n" in refused
        for holder in holders:
            holder.close()
        wait_until(lambda: call("GET", "/api/session")[0] == 200, "a free handler")
    finally:
        server.shutdown()
        server.server_close()
