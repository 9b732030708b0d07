#!/usr/bin/python3
"""A reference portal for the Corvane agent: it hands out challenges, checks
the signed report a page brings back, and pins each device's key.

Debian's Python 3 and python3-cryptography only. Copy this folder and
web/corvane-verify.js (next to this file) to start your own.

    portal.py [--port 8080] [--db FILE] [--origin https://portal.example] [--require-tpm]
    portal.py --forget DEVICE_ID    # re-enroll a device whose key changed
"""
import argparse
import base64
import contextlib
import http.server
import json
import os
import re
import secrets
import sqlite3
import sys
import time
import traceback
import urllib.parse
from pathlib import Path

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec

NONCE_LIFETIME = 120  # seconds a challenge may take from issue to attest
MAX_CLOCK_SKEW = 120  # seconds a report's timestamp may differ from this server's clock
KEEP_SPENT = 24 * 3600  # spent and expired nonces are kept this long, to name them in refusals
MAX_BODY = 64 * 1024
# Challenges issued and neither spent nor expired; beyond this /api/challenge answers 429.
MAX_OPEN_CHALLENGES = 1000
# Every member a report must carry, and its JSON type.
MEMBERS = {"timestamp": int, "device_id": str, "connected_network": dict, "nearby_networks": list,
           "vpn_active": bool, "nonce": str, "origin": str, "signature": str, "public_key": str}
TYPE_NAMES = {int: "an integer", str: "a string", dict: "an object", list: "an array", bool: "a boolean"}
# Standard, padded Base64; with the re-encoding below, in its one spelling only.
BASE64 = re.compile(r"(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?")

HERE = Path(__file__).resolve().parent
# Next to this file in a copy; in the source tree, the agent's web/ folder.
MODULE = next((p for p in (HERE / "corvane-verify.js", HERE.parent.parent / "web" / "corvane-verify.js")
               if p.exists()), HERE / "corvane-verify.js")
STATIC = {
    "/": (HERE / "index.html", "text/html; charset=utf-8"),
    "/page.js": (HERE / "page.js", "text/javascript; charset=utf-8"),
    "/page.css": (HERE / "page.css", "text/css; charset=utf-8"),
    "/corvane-verify.js": (MODULE, "text/javascript; charset=utf-8"),
}
# The page talks to this portal and to the agent, and to nothing else.
PAGE_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
               "connect-src 'self' http://127.0.0.1:12180; base-uri 'none'; form-action 'none'; "
               "frame-ancestors 'none'")


class BadReport(Exception):
    """The body is not a report: a 400 (the nonce it names is spent all the same)."""


def load_report(body):
    if len(body) > MAX_BODY:
        raise BadReport("the report is larger than 64 KiB")
    try:
        report = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise BadReport("not JSON") from None
    if not isinstance(report, dict):
        raise BadReport("not a JSON object")
    return report


def member_problem(report):
    for name, kind in MEMBERS.items():
        if name not in report:
            return f"no {name}"
        # JSON's true is not a number, and 1.0 is not an integer.
        if not isinstance(report[name], kind) or (kind is int and isinstance(report[name], bool)):
            return f"{name} is not {TYPE_NAMES[kind]}"
    if not isinstance(report.get("key_storage", ""), str):
        return "key_storage is not a string"
    try:
        json.dumps(report, ensure_ascii=False).encode()
    except UnicodeEncodeError:
        # json.loads takes "\ud800", which no UTF-8 text, and so no agent, holds.
        return "not JSON"
    return None


def canonical(report):
    """The bytes the agent signs: every member but the signature's two, compact,
    keys sorted at every level, non-ASCII as itself, each "/" written as "\\/"."""
    data = {k: v for k, v in report.items() if k not in ("signature", "public_key")}
    return json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=False).replace("/", "\\/").encode()


def strict_base64(text):
    if not BASE64.fullmatch(text):
        return None
    data = base64.b64decode(text)
    return data if base64.b64encode(data).decode() == text else None


def signature_problem(report):
    signature, point = strict_base64(report["signature"]), strict_base64(report["public_key"])
    if signature is None or point is None:
        return "signature or public_key is not Base64"
    # The form the agent writes; from_encoded_point would take a compressed point too.
    if len(point) != 65 or point[0] != 4:
        return "public_key is not a 65-byte uncompressed point"
    try:
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
    except ValueError:
        return "public_key is not a point on P-256"
    try:
        key.verify(signature, canonical(report), ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        return "signature does not verify"
    return None


class Portal:
    """The portal's rules over its SQLite database; clock() gives seconds since 1970."""

    def __init__(self, db_path, origin, clock=time.time, require_tpm=False):
        self.db_path, self.origin, self.clock, self.require_tpm = str(db_path), origin, clock, require_tpm
        with self._transaction() as db:
            db.execute("CREATE TABLE IF NOT EXISTS nonces (nonce TEXT PRIMARY KEY, expires_at REAL NOT NULL, "
                       "spent_at REAL)")
            # The purge and the count of open challenges read these, not the whole table.
            db.execute("CREATE INDEX IF NOT EXISTS nonces_by_expiry ON nonces (expires_at)")
            db.execute("CREATE INDEX IF NOT EXISTS open_nonces ON nonces (expires_at) WHERE spent_at IS NULL")
            db.execute("CREATE TABLE IF NOT EXISTS devices (device_id TEXT PRIMARY KEY, public_key TEXT NOT NULL, "
                       "enrolled_at REAL NOT NULL)")
            # Databases from before reports said how their key is kept.
            if "key_storage" not in {column[1] for column in db.execute("PRAGMA table_info(devices)")}:
                db.execute("ALTER TABLE devices ADD COLUMN key_storage TEXT")

    @contextlib.contextmanager
    def _transaction(self):
        # One connection per call, so threads share nothing; IMMEDIATE takes the
        # write lock at once, so two attests of one nonce cannot both see it unspent.
        db = sqlite3.connect(self.db_path, timeout=30, isolation_level=None)
        try:
            db.execute("BEGIN IMMEDIATE")
            yield db
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        finally:
            db.close()

    def challenge(self):
        """A fresh challenge, or None while MAX_OPEN_CHALLENGES others are open."""
        nonce, now = secrets.token_urlsafe(32), self.clock()
        with self._transaction() as db:
            db.execute("DELETE FROM nonces WHERE expires_at < ?", (now - KEEP_SPENT,))
            if db.execute("SELECT count(*) FROM nonces WHERE spent_at IS NULL AND expires_at >= ?",
                          (now,)).fetchone()[0] >= MAX_OPEN_CHALLENGES:
                return None
            db.execute("INSERT INTO nonces (nonce, expires_at) VALUES (?, ?)", (nonce, now + NONCE_LIFETIME))
        return {"nonce": nonce, "expires_in": NONCE_LIFETIME}

    def attest(self, body):
        """The verdict on a report's text; raises BadReport when it is not a report."""
        report = load_report(body)
        malformed, nonce, now = member_problem(report), report.get("nonce"), self.clock()
        with self._transaction() as db:
            row = None
            # Spent by its first attest, whatever the verdict, a malformed report too. Every
            # nonce this portal issues is ASCII, and SQLite cannot take a lone surrogate.
            if isinstance(nonce, str) and nonce.isascii():
                row = db.execute("SELECT expires_at, spent_at FROM nonces WHERE nonce = ?", (nonce,)).fetchone()
                db.execute("UPDATE nonces SET spent_at = ? WHERE nonce = ? AND spent_at IS NULL", (now, nonce))
            if malformed is None:
                problem = (signature_problem(report) or self._nonce_problem(row, now) or self._origin_problem(report)
                           or self._time_problem(report, now) or self._storage_problem(report))
                trusted, reason = (False, problem) if problem else self._pin(db, report, now)
        if malformed is not None:
            raise BadReport(malformed)
        return {"trusted": trusted, "reason": reason, "device_id": report["device_id"],
                "key_storage": report.get("key_storage")}

    def forget(self, device_id):
        """Unpins a device, so its next trusted report enrolls its key again."""
        with self._transaction() as db:
            return db.execute("DELETE FROM devices WHERE device_id = ?", (device_id,)).rowcount > 0

    @staticmethod
    def _nonce_problem(row, now):
        if row is None:
            return "the nonce was not issued by this portal"
        expires_at, spent_at = row
        if spent_at is not None:
            return "the nonce was already used (a replayed report)"
        if now > expires_at:
            return f"the nonce expired {now - expires_at:.0f} s ago"
        return None

    def _origin_problem(self, report):
        if report["origin"] != self.origin:
            return f"the report was asked for by {json.dumps(report['origin'])}, not by this portal ({self.origin})"
        return None

    @staticmethod
    def _time_problem(report, now):
        # Whole seconds: a JSON integer may be far too large for a float.
        skew = report["timestamp"] - int(now)
        if abs(skew) > MAX_CLOCK_SKEW:
            return f"the timestamp is {abs(skew)} s {'ahead of' if skew > 0 else 'behind'} the portal's clock"
        return None

    def _storage_problem(self, report):
        # The agent's own statement: signed, but not proven by the TPM itself.
        storage = report.get("key_storage")
        if self.require_tpm and storage != "tpm":
            return ("this portal requires a device key kept in a TPM, and this device's key is "
                    + ("in a file" if storage == "file" else "not said to be in one"))
        return None

    @staticmethod
    def _pin(db, report, now):
        """(trusted, reason) for a report that passed every other rule."""
        device_id, key, storage = report["device_id"], report["public_key"], report.get("key_storage")
        if db.execute("INSERT OR IGNORE INTO devices (device_id, public_key, enrolled_at, key_storage) "
                      "VALUES (?, ?, ?, ?)", (device_id, key, now, storage)).rowcount:
            return True, "first report of this device: its key is enrolled from now on"
        pinned, = db.execute("SELECT public_key FROM devices WHERE device_id = ?", (device_id,)).fetchone()
        if pinned != key:
            return False, (f"the device key changed: {device_id} is enrolled with another key "
                           f"(if the device was reset on purpose, re-enroll it with portal.py --forget {device_id})")
        db.execute("UPDATE devices SET key_storage = ? WHERE device_id = ?", (storage, device_id))
        return True, "signed by the device's enrolled key, for this portal's fresh challenge"


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "corvane-portal"
    sys_version = ""
    timeout = 30  # a client that stalls mid-request loses its thread after this

    def do_GET(self):
        static = STATIC.get(urllib.parse.urlsplit(self.path).path)
        if static is None:
            return self._json(404, {"error": "not found"})
        path, content_type = static
        try:
            body = path.read_bytes()
        except OSError as error:
            return self._json(500, {"error": f"cannot read {path.name}: {error.strerror}"})
        self._send(200, body, content_type, {"Content-Security-Policy": PAGE_POLICY})

    def do_POST(self):
        try:
            self._post(urllib.parse.urlsplit(self.path).path, self.server.portal)
        except TimeoutError:
            self._json(408, {"error": "the request did not arrive in time"})
        except Exception:  # a bug or a broken database still gets an answer
            self.log_error("%s", traceback.format_exc())
            self._json(500, {"error": "the portal failed; see its log"})

    def _post(self, path, portal):
        if path == "/api/challenge":
            challenge = portal.challenge()
            if challenge is None:
                return self._json(429, {"error": "too many open challenges; try again shortly"}, {"Retry-After": "10"})
            return self._json(200, challenge)
        if path != "/api/attest":
            return self._json(404, {"error": "not found"})
        length = self.headers.get("Content-Length", "")
        if not length.isascii() or not length.isdigit():
            return self._json(400, {"error": "the request needs a Content-Length"})
        if int(length) > MAX_BODY:
            return self._json(400, {"error": "the report is larger than 64 KiB"})
        body = self.rfile.read(int(length))
        try:
            return self._json(200, portal.attest(body))
        except BadReport as error:
            return self._json(400, {"error": str(error)})

    def _json(self, status, document, headers=None):
        self._send(status, json.dumps(document).encode(), "application/json",
                   {"Cache-Control": "no-store", **(headers or {})})

    def _send(self, status, body, content_type, headers):
        self.send_response(status)
        for name, value in {"Content-Type": content_type, "Content-Length": str(len(body)),
                            "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer", **headers}.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


def default_db():
    state = os.environ.get("XDG_STATE_HOME", "")
    base = Path(state) if os.path.isabs(state) else Path.home() / ".local" / "state"
    return base / "corvane-portal" / "portal.sqlite3"


def origin_argument(text):
    parts = urllib.parse.urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.netloc or parts.path or parts.query or parts.fragment:
        raise argparse.ArgumentTypeError("an origin is scheme://host[:port], e.g. https://portal.example")
    return text


def main(argv=None):
    parser = argparse.ArgumentParser(description="A reference portal that checks Corvane agent reports.")
    parser.add_argument("--port", type=int, default=8080, help="port on 127.0.0.1 (default 8080; 0 picks one)")
    parser.add_argument("--db", type=Path, metavar="FILE",
                        help="SQLite database (default $XDG_STATE_HOME/corvane-portal/portal.sqlite3)")
    parser.add_argument("--origin", type=origin_argument,
                        help="the origin the page is served from, when behind a proxy "
                             "(default http://127.0.0.1:PORT)")
    parser.add_argument("--require-tpm", action="store_true",
                        help="trust only devices whose reports say their key is kept in a TPM")
    parser.add_argument("--forget", metavar="DEVICE_ID",
                        help="unpin a device's key, so its next trusted report enrolls it again, and exit")
    args = parser.parse_args(argv)

    db_path = args.db or default_db()
    db_path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
    if args.forget is not None:
        forgotten = Portal(db_path, origin=None).forget(args.forget)
        print(f"{args.forget}: {'forgotten; its next report enrolls it again' if forgotten else 'not enrolled'}")
        return 0 if forgotten else 1

    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    except OSError as error:
        print(f"portal.py: cannot listen on 127.0.0.1:{args.port}: {error.strerror}", file=sys.stderr)
        return 2
    url = f"http://127.0.0.1:{server.server_address[1]}"
    server.portal = Portal(db_path, args.origin or url, require_tpm=args.require_tpm)
    print(f"Corvane portal on {url} (origin {server.portal.origin}, database {db_path})", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
