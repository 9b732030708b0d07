"""Checks a Corvane agent's signed report on a server, by the same rule as the
agent's `corvane-verify` tool and its browser module.

    from corvane_verify import new_challenge, verify_report

    nonce = new_challenge()          # hand to the page, which asks the agent with ?nonce=
    verdict = verify_report(text, nonce=nonce, origin="https://portal.example")
    if not verdict.verified:
        refuse(verdict.code, verdict.reason)

The first check that fails gives the verdict; `code` names its kind for programs
and `reason` says it in words. Nothing here raises on any document.
"""
import base64
import dataclasses
import json
import math
import re
import secrets
import time
from typing import Any, Optional, Union

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec

__all__ = ["Verdict", "verify_report", "new_challenge", "public_key_problem", "MAX_SECONDS_AHEAD",
           "MALFORMED", "BAD_SIGNATURE", "WRONG_NONCE", "WRONG_ORIGIN", "KEY_MISMATCH", "STALE", "FROM_THE_FUTURE"]

MALFORMED = "malformed"
BAD_SIGNATURE = "bad-signature"
WRONG_NONCE = "wrong-nonce"
WRONG_ORIGIN = "wrong-origin"
KEY_MISMATCH = "key-mismatch"
STALE = "stale"
FROM_THE_FUTURE = "from-the-future"

MAX_SECONDS_AHEAD = 60  # clocks drift; a report may come from at most this far ahead
MAX_DEPTH = 16  # a real report is 3 deep
MAX_SAFE_INTEGER = 2**53 - 1  # what every verifier's number type holds exactly

REQUIRED = (("timestamp", int), ("device_id", str), ("connected_network", dict), ("nearby_networks", list),
            ("vpn_active", bool), ("signature", str), ("public_key", str))
OPTIONAL = ("nonce", "origin", "key_storage", "signer")
TYPE_NAMES = {int: "an integer", str: "a string", dict: "an object", list: "an array", bool: "a boolean"}

# Outside strings: a string (to its closing quote, or the end), a bracket, or a run of number characters.
TOKEN = re.compile(r'"(?:[^"\\]|\\.)*(?:"|\\?\Z)|[{\[]|[}\]]|[-+.eE0-9]+', re.S)
INTEGER = re.compile(r"-?(?:0|[1-9][0-9]*)")
BASE64 = re.compile(r"(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?")


@dataclasses.dataclass(frozen=True)
class Verdict:
    verified: bool
    code: Optional[str]  # None when verified
    reason: Optional[str]  # None when verified
    report: Optional[dict]  # the parsed report whenever the text is a JSON object

    def __str__(self):
        return "valid" if self.verified else f"invalid: {self.reason}"


def new_challenge() -> str:
    """A nonce for one report: 32 random bytes, base64url without padding."""
    return secrets.token_urlsafe(32)


def verify_report(document: Union[str, bytes], *, nonce: Optional[str] = None, origin: Optional[str] = None,
                  max_age: Optional[int] = 120, now: Optional[float] = None,
                  expected_key: Optional[str] = None) -> Verdict:
    """The verdict on a served report's text (str, or UTF-8 bytes).

    nonce, origin: when given, the report's signed member must equal it.
    max_age: seconds the timestamp may lie behind now (None: no freshness check);
    it may lie at most MAX_SECONDS_AHEAD ahead. now: seconds since 1970 (default: this clock).
    expected_key: the Base64 public key a pinned device must sign with."""
    if isinstance(document, (bytearray, memoryview)):
        document = bytes(document)
    if not isinstance(document, (str, bytes)):
        raise TypeError("document must be str or bytes")
    problem = _scan(document)
    if problem:
        return _invalid(MALFORMED, problem)
    try:
        report = _parse(document)
    except (UnicodeError, ValueError):
        return _invalid(MALFORMED, "not JSON")
    if not isinstance(report, dict):
        return _invalid(MALFORMED, "not a JSON object")
    for check in (_member_problem, _signature_problem, lambda r: _expected_problem(r, "nonce", nonce),
                  lambda r: _expected_problem(r, "origin", origin), lambda r: _key_problem(r, expected_key),
                  lambda r: _freshness_problem(r, max_age, now)):
        problem = check(report)
        if problem:
            return _invalid(*problem, report)
    return Verdict(True, None, None, report)


def public_key_problem(text: Any) -> Optional[str]:
    """Why text is not a device's public key (Base64 of an uncompressed P-256 point), or None."""
    return _load_key(text)[1]


def _invalid(code, reason, report=None):
    return Verdict(False, code, reason, report)


def _scan(document):
    """Depth and numbers, read off the text without parsing it: no parser recursion, no huge integers."""
    text = document.decode("latin-1") if isinstance(document, bytes) else document  # only ASCII matters here
    depth = 0
    for token in TOKEN.finditer(text):
        first = token.group()[0]
        if first in "{[":
            depth += 1
            if depth > MAX_DEPTH:
                return f"nested deeper than {MAX_DEPTH} levels"
        elif first in "}]":
            depth -= 1
        elif first == "-" or first.isdigit():
            number = token.group()
            digits = number.lstrip("-")
            if not INTEGER.fullmatch(number) or number == "-0" or len(digits) > 16 \
                    or int(digits) > MAX_SAFE_INTEGER:
                return "a number is not an integer between -(2^53-1) and 2^53-1"
    return None


def _parse(document):
    """The parsed value; raises ValueError or UnicodeError unless the document is JSON in UTF-8."""
    def constant(name):
        raise ValueError(name)  # NaN and Infinity are not JSON

    value = json.loads(document.decode("utf-8") if isinstance(document, bytes) else document,
                       parse_constant=constant)
    # An escaped lone surrogate parses, but no UTF-8 text (and so no agent) holds one.
    json.dumps(value, ensure_ascii=False).encode("utf-8")
    return value


def _member_problem(report):
    for name, kind in REQUIRED:
        if name not in report:
            return MALFORMED, f"no {name}"
        # JSON's true is no integer.
        if not isinstance(report[name], kind) or (kind is int and isinstance(report[name], bool)):
            return MALFORMED, f"{name} is not {TYPE_NAMES[kind]}"
    for name in OPTIONAL:
        if name in report and not isinstance(report[name], str):
            return MALFORMED, f"{name} is not a string"
    return None


def _strict_base64(text):
    """The bytes of standard padded Base64 in its one spelling, or None."""
    if not BASE64.fullmatch(text):
        return None
    data = base64.b64decode(text)
    return data if base64.b64encode(data).decode("ascii") == text else None


def _load_key(text):
    """(key, None) or (None, why not)."""
    point = _strict_base64(text) if isinstance(text, str) else None
    if point is None:
        return None, "public_key is not Base64"
    # The form the agent writes; from_encoded_point would take a compressed point too.
    if len(point) != 65 or point[0] != 4:
        return None, "public_key is not a 65-byte uncompressed point"
    try:
        return ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point), None
    except ValueError:
        return None, "public_key is not a point on P-256"


def _signature_problem(report):
    signature = _strict_base64(report["signature"])
    if signature is None:
        return MALFORMED, "signature is not Base64"
    key, problem = _load_key(report["public_key"])
    if problem:
        return MALFORMED, problem
    if not _is_der_signature(signature):
        return MALFORMED, "signature is not a DER ECDSA signature"
    try:
        key.verify(signature, signed_payload(report), ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        return BAD_SIGNATURE, "signature does not verify"
    return None


def signed_payload(report: dict) -> bytes:
    """The bytes the agent signs: every member but the signature's two, compact,
    keys sorted at every level, non-ASCII as itself, each "/" written as "\\/"."""
    data = {k: v for k, v in report.items() if k not in ("signature", "public_key")}
    text = json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return text.replace("/", "\\/").encode("utf-8")


def _der_length(der, at):
    """(length, offset after it) of the DER length at der[at], or None unless in its shortest form."""
    if at >= len(der):
        return None
    first = der[at]
    if first < 0x80:
        return first, at + 1
    size = first & 0x7F
    if size == 0 or size > 4 or at + 1 + size > len(der) or der[at + 1] == 0:
        return None
    length = int.from_bytes(der[at + 1:at + 1 + size], "big")
    return (length, at + 1 + size) if length >= 0x80 else None


def _is_der_signature(der):
    """A SEQUENCE of two minimal positive INTEGERs and nothing after: one encoding per signature."""
    if len(der) < 2 or der[0] != 0x30:
        return False
    sequence = _der_length(der, 1)
    if sequence is None or sum(sequence) != len(der):
        return False
    at = sequence[1]
    for _ in range(2):
        if at >= len(der) or der[at] != 0x02:
            return False
        integer = _der_length(der, at + 1)
        if integer is None or integer[0] == 0 or sum(integer) > len(der):
            return False
        value = der[integer[1]:sum(integer)]
        negative, padded = value[0] & 0x80, len(value) > 1 and value[0] == 0 and not value[1] & 0x80
        if negative or padded or not any(value):
            return False
        at = sum(integer)
    return at == len(der)


def _expected_problem(report, name, wanted):
    code = WRONG_NONCE if name == "nonce" else WRONG_ORIGIN
    if wanted is None:
        return None
    if name not in report:
        return code, f"no {name}"
    return None if report[name] == wanted else (code, f"{name} does not match")


def _key_problem(report, expected_key):
    if expected_key is None or report["public_key"] == expected_key:
        return None
    return KEY_MISMATCH, "public_key is not the expected key"


def _freshness_problem(report, max_age, now):
    """The one freshness rule: at most max_age s behind this clock and MAX_SECONDS_AHEAD ahead."""
    if max_age is None:
        return None
    now = math.floor(time.time() if now is None else now)
    if report["timestamp"] < now - max_age:
        return STALE, f"timestamp is older than {max_age} s"
    if report["timestamp"] > now + MAX_SECONDS_AHEAD:
        return FROM_THE_FUTURE, f"timestamp is more than {MAX_SECONDS_AHEAD} s ahead"
    return None
