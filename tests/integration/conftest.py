"""Runs the real agent binary inside the test's private network namespace.

Every test file runs under run-in-namespace, so port 12180 is free here and
nothing reaches the host's network. Each agent gets a throwaway HOME and
XDG folders, and bus addresses that lead nowhere unless a test brings its own
fake services.
"""
import json
import os
import signal
import socket
import subprocess
import threading
import time

import pytest

AGENT = os.environ.get("CORVANE_AGENT", "")
BUILD_DIR = os.environ.get("CORVANE_BUILD_DIR", "")
PORT = 12180
READY_LINE = "Corvane Bridge active on localhost:12180"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


class Agent:
    """One running corvane-agent, its output lines and its environment."""

    def __init__(self, home, env=None, binary=None, prefix=()):
        self.home = home
        self.binary = binary or AGENT
        self.prefix = list(prefix)  # e.g. a prlimit command the agent runs under
        self.env = agent_environment(home)
        self.env.update(env or {})
        self.proc = None
        self._lines = []
        self._stderr = []
        self._cond = threading.Condition()

    def start(self, wait_ready=True, timeout=10):
        self.proc = subprocess.Popen(
            [*self.prefix, self.binary], env=self.env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        threading.Thread(target=self._pump, args=(self.proc.stdout, self._lines), daemon=True).start()
        threading.Thread(target=self._pump, args=(self.proc.stderr, self._stderr), daemon=True).start()
        if wait_ready:
            self.wait_for_line(READY_LINE, timeout)
        return self

    def _pump(self, stream, sink):
        for raw in stream:
            with self._cond:
                sink.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._cond.notify_all()

    @property
    def lines(self):
        with self._cond:
            return list(self._lines)

    @property
    def stderr(self):
        with self._cond:
            return "\n".join(self._stderr)

    def wait_for_line(self, text, timeout=10, start=0):
        """Waits for a stdout line equal to text (from index start on); returns its index."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(self._lines)):
                    if self._lines[i] == text:
                        return i
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.proc.poll() is not None and not self._cond.wait(0.2)):
                    raise AssertionError(
                        f"no line {text!r} within {timeout}s; stdout: {self._lines!r}; stderr: {self.stderr}")
                self._cond.wait(min(remaining, 0.2))

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

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
        status = self.proc.returncode
        for marker in SANITIZER_MARKERS:
            assert marker not in self.stderr, self.stderr
        return status

    # --- talking to it -------------------------------------------------

    def exchange(self, data, host="127.0.0.1", timeout=10):
        return exchange(data, host=host, timeout=timeout)

    def get_report(self, origin=None):
        request = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n"
        if origin is not None:
            request += b"Origin: " + origin.encode() + b"\r\n"
        head, body = split_answer(self.exchange(request + b"\r\n"))
        assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
        return json.loads(body)


def agent_environment(home):
    home = str(home)
    for sub in ("data", "config", "cache", "runtime"):
        os.makedirs(os.path.join(home, sub), mode=0o700, exist_ok=True)
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "LANG": "C.UTF-8",
        "HOME": home,
        "XDG_DATA_HOME": os.path.join(home, "data"),
        "XDG_CONFIG_HOME": os.path.join(home, "config"),
        "XDG_CACHE_HOME": os.path.join(home, "cache"),
        "XDG_RUNTIME_DIR": os.path.join(home, "runtime"),
        # No real NetworkManager or desktop unless a test brings a fake one.
        "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(home, "runtime", "no-system-bus"),
        "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(home, "runtime", "no-session-bus"),
        "QT_QPA_PLATFORM": "offscreen",
        "ASAN_OPTIONS": "detect_leaks=0",
        "UBSAN_OPTIONS": "print_stacktrace=1",
    }
    return env


def exchange(data, host="127.0.0.1", timeout=10, port=PORT):
    """Sends data on a fresh connection and reads until the agent closes it."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect((host, port))
        if data:
            s.sendall(data)
        return read_to_end(s)


def read_to_end(s):
    chunks = []
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def split_answer(answer):
    head, sep, body = answer.partition(b"\r\n\r\n")
    assert sep, answer
    return head + b"\r\n", body


@pytest.fixture
def home(tmp_path):
    path = tmp_path / "home"
    path.mkdir()
    return path


@pytest.fixture
def start_agent(home):
    """Starts agents on demand and stops every one of them after the test."""
    started = []

    def start(env=None, wait_ready=True, binary=None, agent_home=None, prefix=()):
        agent = Agent(agent_home or home, env=env, binary=binary, prefix=prefix)
        started.append(agent)
        return agent.start(wait_ready=wait_ready)

    yield start
    for agent in started:
        agent.stop()


@pytest.fixture
def agent(start_agent):
    return start_agent()
