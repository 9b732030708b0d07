#!/usr/bin/python3
"""A reference portal for the Corvane agent: it hands each page session its
challenges, checks the signed report the page brings back with corvane_verify,
pins each device's key and keeps the verdict on the session.

Debian's Python 3 and python3-cryptography, and corvane_verify (installed, or
the source tree's python/ folder). Copy this folder and web/corvane-verify.js
(next to this file) to start your own.

    portal.py [--port 8080] [--db FILE] [--origin https://portal.example]
              [--require-tpm] [--require-system-signer] [--enrolled-only]
    portal.py [--db FILE] --enroll DEVICE_ID PUBLIC_KEY  # as corvane-signer --show-key prints them
    portal.py [--db FILE] --forget DEVICE_ID             # unpin a device whose key changed
"""
import argparse
import base64
import contextlib
import hashlib
import hmac
import http.server
import io
import json
import os
import re
import secrets
import sqlite3
import sys
import threading
import time
import traceback
import urllib.parse
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Run from the source tree, the package beside it; in a copy, the installed one.
if (HERE.parent.parent / "python" / "corvane_verify").is_dir():
    sys.path.insert(0, str(HERE.parent.parent / "python"))
try:
    import corvane_verify
except ImportError:
    sys.exit("portal.py needs corvane_verify: install python3-corvane-verify, "
             "or pip install the agent's python/ folder")

NONCE_LIFETIME = 120  # seconds a challenge may take from issue to attest; also the reports' maximum age
MAX_BODY = 64 * 1024
TOO_LARGE_REASON = "the report is larger than 64 KiB"
REQUEST_DEADLINE = 30  # seconds for a whole request, however slowly it arrives
MAX_HANDLERS = 64  # requests handled at once; one more is answered 503 at once
RETRY_AFTER = "5"
KEEP_VERDICT = 3600  # seconds a session's last verdict is kept
SESSION_COOKIE = "corvane_portal_session"
SESSION_ID = re.compile(r"[A-Za-z0-9_-]{43}")  # what secrets.token_urlsafe(32) gives
# A challenge: its expiry (8 bytes), 16 random bytes, and an HMAC over both and the session.
CHALLENGE = re.compile(r"[A-Za-z0-9_-]{75}")

# The portal's own outcomes, beside the package's codes.
TOO_LARGE = "too-large"
UNKNOWN_CHALLENGE = "unknown-challenge"
EXPIRED_CHALLENGE = "expired-challenge"
REPLAYED = "replayed"
NEEDS_SYSTEM_SIGNER = "needs-system-signer"
NEEDS_TPM = "needs-tpm"
NOT_ENROLLED = "not-enrolled"
KEY_CHANGED = "key-changed"
# Answered 400, not with a verdict: the body is no report.
NOT_A_REPORT = (corvane_verify.MALFORMED, TOO_LARGE)

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
    """The body is not a report: a 400 (the challenge it names is spent all the same)."""

    def __init__(self, reason, code):
        super().__init__(reason)
        self.code = code


class Portal:
    """The portal's rules over its SQLite database; clock() gives seconds since 1970.
    A session is whatever string identifies the person's session (here, a cookie)."""

    def __init__(self, db_path, origin, clock=time.time, *, require_tpm=False, require_system_signer=False,
                 enrolled_only=False):
        self.db_path, self.origin, self.clock = str(db_path), origin, clock
        self.require_tpm, self.require_system_signer, self.enrolled_only = \
            require_tpm, require_system_signer, enrolled_only
        with self._transaction() as db:
            # Challenges are not stored when issued; a spent one is kept until it would have expired.
            db.execute("DROP TABLE IF EXISTS nonces")  # the issued challenges of older versions
            db.execute("CREATE TABLE IF NOT EXISTS spent_nonces (nonce TEXT PRIMARY KEY, expires_at REAL NOT NULL)")
            db.execute("CREATE INDEX IF NOT EXISTS spent_by_expiry ON spent_nonces (expires_at)")
            db.execute("CREATE TABLE IF NOT EXISTS portal_keys (name TEXT PRIMARY KEY, key BLOB NOT NULL)")
            db.execute("INSERT OR IGNORE INTO portal_keys VALUES ('challenge', ?)", (secrets.token_bytes(32),))
            self._key, = db.execute("SELECT key FROM portal_keys WHERE name = 'challenge'").fetchone()
            db.execute("CREATE TABLE IF NOT EXISTS sessions (session TEXT PRIMARY KEY, verdict TEXT NOT NULL, "
                       "checked_at REAL NOT NULL)")
            db.execute("CREATE INDEX IF NOT EXISTS sessions_by_time ON sessions (checked_at)")
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

    def _mac(self, session, issued):
        return hmac.new(self._key, session.encode() + b"\0" + issued, hashlib.sha256).digest()

    def challenge(self, session):
        """A fresh challenge for this session; nothing is stored until it comes back."""
        issued = (int(self.clock()) + NONCE_LIFETIME).to_bytes(8, "big") + secrets.token_bytes(16)
        nonce = base64.urlsafe_b64encode(issued + self._mac(session, issued)).rstrip(b"=").decode()
        return {"nonce": nonce, "expires_in": NONCE_LIFETIME}

    def attest(self, body, session):
        """The verdict on a report's text, kept as the session's last; raises BadReport when it is no report."""
        now = self.clock()
        if len(body) > MAX_BODY:
            checked = corvane_verify.Verdict(False, TOO_LARGE, TOO_LARGE_REASON, None)
        else:
            checked = corvane_verify.verify_report(body, origin=self.origin, max_age=NONCE_LIFETIME, now=now)
        report = checked.report or {}
        with self._transaction() as db:
            # Spent by its first attest in its session whatever the verdict, a malformed report's too.
            unusable = self._spend(db, report.get("nonce"), session, now)
            if checked.code in NOT_A_REPORT:
                verdict = {"trusted": False, "code": checked.code, "reason": checked.reason}
            else:
                refusal = ((checked.code, checked.reason) if not checked.verified else
                           unusable or self._policy_problem(report))
                trusted, code, reason = (False, *refusal) if refusal else self._pin(db, report, now)
                verdict = {"trusted": trusted, "code": code, "reason": reason, "device_id": report["device_id"],
                           "key_storage": report.get("key_storage"), "signer": report.get("signer")}
            db.execute("DELETE FROM sessions WHERE checked_at < ?", (now - KEEP_VERDICT,))
            db.execute("INSERT OR REPLACE INTO sessions VALUES (?, ?, ?)", (session, json.dumps(verdict), now))
        if checked.code in NOT_A_REPORT:
            raise BadReport(checked.reason, checked.code)
        return verdict

    def session_verdict(self, session):
        """The session's last verdict with the time it was given, or None."""
        with self._transaction() as db:
            row = db.execute("SELECT verdict, checked_at FROM sessions WHERE session = ? AND checked_at >= ?",
                             (session, self.clock() - KEEP_VERDICT)).fetchone()
        return None if row is None else {**json.loads(row[0]), "checked_at": int(row[1])}

    def enroll(self, device_id, public_key):
        """Pins a key an administrator vouches for: (done, message)."""
        problem = corvane_verify.public_key_problem(public_key)
        if problem:
            return False, problem.replace("public_key", "the key", 1)
        with self._transaction() as db:
            row = db.execute("SELECT public_key FROM devices WHERE device_id = ?", (device_id,)).fetchone()
            if row is None:
                db.execute("INSERT INTO devices (device_id, public_key, enrolled_at) VALUES (?, ?, ?)",
                           (device_id, public_key, self.clock()))
        if row is not None and row[0] != public_key:
            return False, f"enrolled with another key; if that is wrong, portal.py --forget {device_id} first"
        fingerprint = hashlib.sha256(base64.b64decode(public_key)).hexdigest()
        return True, ("already enrolled with this key" if row else "enrolled") + \
            f" (fingerprint SHA-256 {' '.join(re.findall('.{4}', fingerprint))})"

    def forget(self, device_id):
        """Unpins a device, so its next trusted report (or --enroll) enrolls its key again."""
        with self._transaction() as db:
            return db.execute("DELETE FROM devices WHERE device_id = ?", (device_id,)).rowcount > 0

    def _spend(self, db, nonce, session, now):
        """None when nonce is a live challenge of this session, which it then spends; else (code, reason)."""
        if not isinstance(nonce, str):
            return UNKNOWN_CHALLENGE, "the report answers no challenge (it carries no nonce)"
        raw = base64.urlsafe_b64decode(nonce + "=") if CHALLENGE.fullmatch(nonce) else b""
        # One spelling per challenge, or a replay could pass as another nonce.
        if base64.urlsafe_b64encode(raw).rstrip(b"=").decode() != nonce \
                or not hmac.compare_digest(raw[24:], self._mac(session, raw[:24])):
            return UNKNOWN_CHALLENGE, "the nonce was not issued by this portal to this session"
        expires_at = int.from_bytes(raw[:8], "big")
        if now > expires_at:
            return EXPIRED_CHALLENGE, f"the nonce expired {now - expires_at:.0f} s ago"
        db.execute("DELETE FROM spent_nonces WHERE expires_at < ?", (now,))
        if not db.execute("INSERT OR IGNORE INTO spent_nonces VALUES (?, ?)", (nonce, expires_at)).rowcount:
            return REPLAYED, "the nonce was already used (a replayed report)"
        return None

    def _policy_problem(self, report):
        # The report's own statements: signed, but not proven by the TPM or the system itself.
        signer, storage = report.get("signer"), report.get("key_storage")
        if self.require_system_signer and signer != "system":
            return NEEDS_SYSTEM_SIGNER, ("this portal requires reports signed by the system signer, and this one "
                                         + ("was signed in the person's session" if signer == "session"
                                            else "does not say who signed it"))
        if self.require_tpm and storage != "tpm":
            return NEEDS_TPM, ("this portal requires a device key kept in a TPM, and this device's key is "
                               + ("in a file" if storage == "file" else "not said to be in one"))
        return None

    def _pin(self, db, report, now):
        """(trusted, code, reason) for a report that passed every other rule; the last step, so that
        no refused report enrols its key."""
        device_id, key, storage = report["device_id"], report["public_key"], report.get("key_storage")
        row = db.execute("SELECT public_key FROM devices WHERE device_id = ?", (device_id,)).fetchone()
        if row is None and self.enrolled_only:
            return False, NOT_ENROLLED, (f"this device is not enrolled; an administrator enrols it with "
                                         f"portal.py --enroll {device_id} PUBLIC_KEY "
                                         "(corvane-signer --show-key prints both)")
        if row is None:
            db.execute("INSERT INTO devices (device_id, public_key, enrolled_at, key_storage) VALUES (?, ?, ?, ?)",
                       (device_id, key, now, storage))
            return True, None, "first report of this device: its key is enrolled from now on"
        if row[0] != key:
            return False, KEY_CHANGED, (f"the device key changed: {device_id} is enrolled with another key (if "
                                        "the device was reset on purpose, re-enroll it with portal.py --forget "
                                        f"{device_id})")
        db.execute("UPDATE devices SET key_storage = ? WHERE device_id = ?", (storage, device_id))
        return True, None, "signed by the device's enrolled key, for this portal's fresh challenge"


class DeadlineReader(io.RawIOBase):
    """A connection's input that fails once its deadline has passed, however slowly bytes come."""

    def __init__(self, connection, deadline):
        super().__init__()
        self.connection, self.deadline = connection, deadline

    def readable(self):
        return True

    def readinto(self, buffer):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request did not arrive in time")
        self.connection.settimeout(left)
        return self.connection.recv_into(buffer)


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "corvane-portal"
    sys_version = ""

    def setup(self):
        super().setup()
        # One request per connection (HTTP/1.0), so this is the request's deadline.
        self.deadline = time.monotonic() + REQUEST_DEADLINE
        self.rfile.close()
        self.rfile = io.BufferedReader(DeadlineReader(self.connection, self.deadline))
        self.session, self.new_session = None, False

    def _take_session(self):
        """The session its cookie names, or a new one the answer sets."""
        for part in ";".join(self.headers.get_all("Cookie", [])).split(";"):
            name, _, value = part.strip().partition("=")
            if name == SESSION_COOKIE and SESSION_ID.fullmatch(value):
                self.session = value
                return
        self.session, self.new_session = secrets.token_urlsafe(32), True

    def do_GET(self):
        self._take_session()
        path = urllib.parse.urlsplit(self.path).path
        if path == "/api/session":
            return self._json(200, {"verdict": self.server.portal.session_verdict(self.session)})
        static = STATIC.get(path)
        if static is None:
            return self._json(404, {"error": "not found"})
        file, content_type = static
        try:
            body = file.read_bytes()
        except OSError as error:
            return self._json(500, {"error": f"cannot read {file.name}: {error.strerror}"})
        self._send(200, body, content_type, {"Content-Security-Policy": PAGE_POLICY})

    def do_POST(self):
        self._take_session()
        try:
            self._post(urllib.parse.urlsplit(self.path).path, self.server.portal)
        except TimeoutError:
            self._json(408, {"error": "the request did not arrive in time"})
        except Exception:  # a bug or a broken database still gets an answer
            self.log_error("%s", traceback.format_exc())
            self._json(500, {"error": "the portal failed; see its log"})

    def _post(self, path, portal):
        if path == "/api/challenge":
            return self._json(200, portal.challenge(self.session))
        if path != "/api/attest":
            return self._json(404, {"error": "not found"})
        length = self.headers.get("Content-Length", "")
        if not length.isascii() or not length.isdigit():
            return self._json(400, {"error": "the request needs a Content-Length"})
        if int(length) > MAX_BODY:
            return self._json(400, {"error": TOO_LARGE_REASON, "code": TOO_LARGE})
        try:
            return self._json(200, portal.attest(self.rfile.read(int(length)), self.session))
        except BadReport as error:
            return self._json(400, {"error": str(error), "code": error.code})

    def _json(self, status, document, headers=None):
        self._send(status, json.dumps(document).encode(), "application/json",
                   {"Cache-Control": "no-store", **(headers or {})})

    def _send(self, status, body, content_type, headers):
        if self.new_session:
            secure = "; Secure" if self.server.portal.origin.startswith("https:") else ""
            headers = {**headers, "Set-Cookie": f"{SESSION_COOKIE}={self.session}; Path=/; HttpOnly; "
                                                f"SameSite=Strict{secure}"}
        # A client that does not read its answer has what is left of the deadline, and a second.
        self.connection.settimeout(max(self.deadline - time.monotonic(), 1))
        self.send_response(status)
        for name, value in {"Content-Type": content_type, "Content-Length": str(len(body)),
                            "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer", **headers}.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


class PortalServer(http.server.ThreadingHTTPServer):
    """A thread per request, at most max_handlers at once: one more is told 503 and to retry."""
    block_on_close = False
    request_queue_size = 128

    def __init__(self, address, portal, max_handlers=MAX_HANDLERS):
        super().__init__(address, Handler)
        self.portal, self._slots = portal, threading.BoundedSemaphore(max_handlers)

    def process_request(self, request, client_address):
        if not self._slots.acquire(blocking=False):
            return self._refuse(request)
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def _refuse(self, request):
        # On the accepting thread, so nothing here waits: a short answer into an empty send buffer,
        # and what the client sent so far read away so that closing does not reset the connection.
        body = json.dumps({"error": "the portal is busy; try again shortly"}).encode()
        head = ("HTTP/1.0 503 Service Unavailable\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
                f"Retry-After: {RETRY_AFTER}\r\nContent-Length: {len(body)}\r\n\r\n").encode()
        with contextlib.suppress(OSError):
            request.setblocking(False)
            request.send(head + body)
            request.recv(MAX_BODY)
        self.shutdown_request(request)


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
    parser.add_argument("--require-system-signer", action="store_true",
                        help="trust only reports signed by the system signer (\"signer\": \"system\")")
    parser.add_argument("--enrolled-only", action="store_true",
                        help="trust only devices enrolled with --enroll, none on first use")
    once = parser.add_mutually_exclusive_group()
    once.add_argument("--enroll", nargs=2, metavar=("DEVICE_ID", "PUBLIC_KEY"),
                      help="pin a device's key, as corvane-signer --show-key prints it, and exit")
    once.add_argument("--forget", metavar="DEVICE_ID",
                      help="unpin a device's key, so its next trusted report enrolls it again, and exit")
    args = parser.parse_args(argv)

    db_path = args.db or default_db()
    db_path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
    if args.enroll is not None:
        done, message = Portal(db_path, origin=None).enroll(*args.enroll)
        print(f"{args.enroll[0]}: {message}", file=sys.stdout if done else sys.stderr)
        return 0 if done else 1
    if args.forget is not None:
        forgotten = Portal(db_path, origin=None).forget(args.forget)
        print(f"{args.forget}: {'forgotten; its next report enrolls it again' if forgotten else 'not enrolled'}")
        return 0 if forgotten else 1

    try:
        server = PortalServer(("127.0.0.1", args.port), None)
    except OSError as error:
        print(f"portal.py: cannot listen on 127.0.0.1:{args.port}: {error.strerror}", file=sys.stderr)
        return 2
    url = f"http://127.0.0.1:{server.server_address[1]}"
    server.portal = Portal(db_path, args.origin or url, require_tpm=args.require_tpm,
                           require_system_signer=args.require_system_signer, enrolled_only=args.enrolled_only)
    print(f"Corvane portal on {url} (origin {server.portal.origin}, database {db_path})", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
