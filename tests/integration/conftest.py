# Runs the real agent binary inside the test's private network namespace.
#
# Every test file runs under run-in-namespace, so port 12180 is free here and
# nothing reaches the host's network. Each agent gets a throwaway HOME and XDG
# folders, and bus addresses that lead nowhere unless a test brings its own
# fake services. The payload rule and the signer below are the independent
# oracle: Python's json and python-cryptography, not the agent's code.
import base64
import hashlib
import hmac
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import uuid

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

AGENT = os.environ.get("CORVANE_AGENT", "")
BUILD_DIR = os.environ.get("CORVANE_BUILD_DIR", "")
SIGNER = os.path.join(BUILD_DIR, "src", "signer", "corvane-signer")
PORT = 12180
READY_LINE = "Corvane Bridge active on localhost:12180"
with open(os.path.join(os.path.dirname(__file__), "facts.json"), encoding="utf-8") as facts_file:
    SAMPLE = json.load(facts_file)  # a report's facts in awkward text, for the verifiers
FACTS = set(SAMPLE)
ORIGIN = "https://portal.example"
KEY = "data/corvane/com.corvane.compliance.agent.device-key.signingKey.pem"  # under the agent's home
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
# The tpm2 provider's connection where nothing listens: no agent reaches the machine's own TPM.
NO_TPM = "swtpm:host=127.0.0.1,port=9"


def canonical(document):
    """The signed bytes of a report: every member but the signature's two."""
    data = {k: v for k, v in document.items() if k not in ("signature", "public_key")}
    text = json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return text.replace("/", "\\/").encode()


def verify(report):
    """Raises InvalidSignature unless the report's key signed its payload."""
    point = base64.b64decode(report["public_key"], validate=True)
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
    key.verify(base64.b64decode(report["signature"], validate=True), canonical(report), ec.ECDSA(hashes.SHA256()))


def signed(facts, key=None):
    """facts signed the way the agent signs, with a fresh key unless one is given."""
    key = key or ec.generate_private_key(ec.SECP256R1())
    point = key.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    signature = key.sign(canonical(facts), ec.ECDSA(hashes.SHA256()))
    return dict(facts, signature=base64.b64encode(signature).decode(), public_key=base64.b64encode(point).decode())


def answer_to(nonce, key=None, **facts):
    """A served report of SAMPLE, with facts changed, that answers a challenge from ORIGIN."""
    return served(signed({**SAMPLE, "nonce": nonce, "origin": ORIGIN, **facts}, key))


def served(document):
    """A document as the agent writes it: indented, sorted, slashes escaped."""
    return json.dumps(document, sort_keys=True, indent=2, ensure_ascii=False).replace("/", "\\/").encode()


# The agent's fixed application ID: device IDs must never change across versions.
APP_ID = bytes.fromhex("f5786f5d1ff64823a3c526c5621924ab")


def expected_device_id():
    """The machine ID's app-specific UUID, as systemd derives it, or "Unknown" without a usable one."""
    try:
        raw = open("/etc/machine-id", encoding="ascii").read().strip()
    except (OSError, UnicodeDecodeError):
        return "Unknown"
    if not re.fullmatch(r"[0-9a-f]{32}", raw) or raw == "0" * 32:
        return "Unknown"
    # A version 4 UUID of the HMAC's first half, as sd_id128_get_machine_app_specific makes it.
    return str(uuid.UUID(bytes=hmac.new(bytes.fromhex(raw), APP_ID, hashlib.sha256).digest()[:16], version=4)).upper()


def wait_until(predicate, what, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def as_user(uid):
    """The prefix that runs a command under another user ID."""
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--"]


# Outside a user namespace of one ID (the tests run as root), processes can run as other accounts.
OTHER_USERS = subprocess.run([*as_user(1), "true"], capture_output=True).returncode == 0


class Agent:
    """One running corvane-agent (or another program of ours), its output lines and its environment."""

    def __init__(self, home, env=None, prefix=(), command=None, ready=READY_LINE, uid=None):
        """env adds to the usual environment; a value None removes the variable. uid: the account it runs as."""
        self.home, self.proc, self.ready, self.address = home, None, ready, "127.0.0.1"
        self.command = command or [AGENT]
        self.prefix = [*(as_user(uid) if uid is not None else ()), *prefix]  # e.g. prlimit the agent runs under
        data, config, runtime = (os.path.join(home, sub) for sub in ("data", "config", "runtime"))
        for sub in (data, config, runtime):
            os.makedirs(sub, mode=0o700, exist_ok=True)
            if uid is not None:
                os.chown(sub, uid, uid)
        # No NetworkManager or desktop unless a test brings a fake one.
        self.env = {k: v for k, v in {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8", "QT_QPA_PLATFORM": "offscreen",
            "HOME": str(home), "XDG_DATA_HOME": data, "XDG_CONFIG_HOME": config, "XDG_RUNTIME_DIR": runtime,
            "DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={runtime}/no-system-bus", "TPM2OPENSSL_TCTI": NO_TPM,
            "DBUS_SESSION_BUS_ADDRESS": f"unix:path={runtime}/no-session-bus", "ASAN_OPTIONS": "detect_leaks=0",
            "UBSAN_OPTIONS": "print_stacktrace=1", **(env or {})}.items() if v is not None}
        self.lines, self._stderr = [], []
        self.reading, self.hung_up = threading.Event(), False  # stdout is read while reading is set
        self.reading.set()

    def start(self, wait_ready=True):
        self.proc = subprocess.Popen([*self.prefix, *self.command], env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for stream, sink in ((self.proc.stdout, self.lines), (self.proc.stderr, self._stderr)):
            threading.Thread(target=self._collect, args=(stream, sink), daemon=True).start()
        if wait_ready:
            try:
                self.wait_for_line(self.ready)
            except AssertionError:
                self.stop()  # never leave an agent behind that did not come up
                raise
        return self

    def _collect(self, stream, sink):
        for raw in stream:
            if sink is self.lines:
                self.reading.wait()
                if self.hung_up:  # closes stdout for good at the next line
                    break
            sink.append(raw.decode(errors="replace").rstrip("\n"))
        stream.close()

    @property
    def stderr(self):
        return "\n".join(self._stderr)

    def wait_for_line(self, text, timeout=10, start=0):
        """Waits for a stdout line equal to text (from index start on); returns its index."""
        try:
            wait_until(lambda: text in self.lines[start:] or self.proc.poll() is not None, f"line {text!r}", timeout)
        finally:
            assert text in self.lines[start:], f"no line {text!r}; stdout: {self.lines}; stderr: {self.stderr}"
        return self.lines.index(text, start)

    def stop(self, sig=signal.SIGTERM):
        """Ends the agent; returns its exit status. Fails on any sanitizer report."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        time.sleep(0.05)
        for marker in SANITIZER_MARKERS:
            assert marker not in self.stderr, self.stderr
        return self.proc.returncode

    def get_report(self, origin=None, target="/"):
        request = f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n".encode()
        if origin is not None:
            request += b"Origin: " + origin.encode() + b"\r\n"
        return report_of(exchange(request + b"\r\n", host=self.address))


def signer(folder, env=None, uid=None):
    """corvane-signer with its socket and state folder in folder (made here), not yet started."""
    os.makedirs(folder, mode=0o755, exist_ok=True)
    if uid is not None:
        os.chown(folder, uid, uid)
    process = Agent(os.path.join(folder, "home"), env, uid=uid, ready=f"Corvane signer serving on {folder}/signer.sock",
                    command=[SIGNER, "--socket", f"{folder}/signer.sock", "--state-directory", f"{folder}/state"])
    process.socket = process.address = f"{folder}/signer.sock"
    return process


def exchange(data, host="127.0.0.1", timeout=10):
    """Sends data on a fresh connection (to the port, or to a Unix socket's path) and reads until it closes."""
    family = socket.AF_UNIX if host.startswith("/") else socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(host if family == socket.AF_UNIX else (host, PORT))
        s.sendall(data)
        return read_to_end(s)


def read_to_end(s):
    return b"".join(iter(lambda: s.recv(65536), b""))


def split_answer(answer):
    head, sep, body = answer.partition(b"\r\n\r\n")
    assert sep, answer
    return head + b"\r\n", body


def report_of(answer):
    head, body = split_answer(answer)
    assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
    return json.loads(body)


class Swtpm:
    """A software TPM on a port of the namespace's loopback; its state folder outlives restarts."""

    def __init__(self, state, port=2321):
        self.state, self.port, self.proc = state, port, None
        self.tcti = f"swtpm:host=127.0.0.1,port={port}"

    def start(self):
        self.proc = subprocess.Popen(
            ["swtpm", "socket", "--tpm2", "--tpmstate", f"dir={self.state}", "--flags", "not-need-init,startup-clear",
             "--server", f"type=tcp,port={self.port},bindaddr=127.0.0.1",
             "--ctrl", f"type=tcp,port={self.port + 1},bindaddr=127.0.0.1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", self.port + 1)) == 0, "swtpm")
        return self

    def stop(self):
        self.proc.send_signal(signal.SIGCONT)
        self.proc.kill()
        self.proc.wait(10)


@pytest.fixture(scope="module")
def swtpm(tmp_path_factory):
    tpm = Swtpm(tmp_path_factory.mktemp("swtpm")).start()
    yield tpm
    tpm.stop()


@pytest.fixture
def start_agent(tmp_path):
    """Starts agents (in tmp_path, or process: one made elsewhere, the signer say) on demand and stops
    every one of them after the test."""
    started = []

    def start(env=None, wait_ready=True, prefix=(), process=None):
        started.append(process or Agent(tmp_path, env=env, prefix=prefix))
        return started[-1].start(wait_ready=wait_ready)

    yield start
    for agent in started:
        agent.stop()


@pytest.fixture
def agent(start_agent):
    return start_agent()
