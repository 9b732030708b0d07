"""The endpoint over raw sockets: what reaches the wire, how connections end, and more of them than the agent
has descriptors."""
import os
import re
import signal
import socket
import struct
import time

import pytest

from conftest import PORT, Agent, exchange, read_to_end, wait_until

PREFLIGHT = (b"HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
             b"Access-Control-Allow-Methods: GET, OPTIONS\r\nAccess-Control-Allow-Headers: Content-Type\r\n"
             b"Access-Control-Allow-Private-Network: true\r\nAccess-Control-Max-Age: 86400\r\nConnection: close\r\n\r\n")


def descriptors(agent):
    return len(os.listdir(f"/proc/{agent.proc.pid}/fd"))


def connect(rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        # The request leaves in one segment, so the agent's one read gets all of it.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 18)
    s.settimeout(10)
    s.connect(("127.0.0.1", PORT))
    return s


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def preflight_or_none():
    try:
        return exchange(b"OPTIONS / HTTP/1.1\r\n\r\n", timeout=2)
    except OSError:
        return None


# It starts agents of its own, so it runs before the module's shared agent takes the port.
@pytest.mark.parametrize("limit", [80, 200])
def test_flood_beyond_the_descriptor_limit(start_agent, limit):
    # At 80 descriptors accepting itself runs out; at 200 the agent's own cap holds first.
    agent = start_agent(prefix=["prlimit", f"--nofile={limit}:{limit}", "--"])
    flood = [socket.socket() for _ in range(2 * limit)]
    for s in flood:
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", PORT))
    time.sleep(2)  # past the second for which the kernel holds back clients that send nothing
    spent = cpu_seconds(agent.proc.pid)
    time.sleep(2)
    assert cpu_seconds(agent.proc.pid) - spent < 0.5, "the agent spins while flooded"
    for s in flood:
        s.close()
    wait_until(lambda: preflight_or_none() == PREFLIGHT, "the agent to serve again")


@pytest.fixture(scope="module")
def agent(tmp_path_factory):
    """One agent for the module, with small send buffers so that a large answer is taken in pieces."""
    with open("/proc/sys/net/ipv4/tcp_wmem", "w") as f:
        f.write("4096 4096 4096")
    started = Agent(tmp_path_factory.mktemp("home")).start()
    exchange(b"OPTIONS / HTTP/1.1\r\n\r\n")  # what the agent opens on first use is not per connection
    time.sleep(0.5)
    started.idle_descriptors = descriptors(started)
    yield started
    started.stop()


def let_go(agent):
    wait_until(lambda: descriptors(agent) == agent.idle_descriptors, "the agent to close every connection")


def test_a_request_is_judged_on_its_whole_header(agent):
    pad, preflight = b"a" * 70000, re.escape(PREFLIGHT)
    cases = [
        # The Host line in a second segment is seen: no report for a rebound name.
        ((b"GET / HTTP/1.1\r\n", b"Host: rebound.example:12180\r\n\r\n"), rb"HTTP/1.1 403 Forbidden\r\n.*"),
        # Nor when a long target pushes it beyond the first 64 KiB.
        ((b"GET /?" + pad + b" HTTP/1.1\r\nHost: rebound.example:12180\r\n\r\n",),
         rb"HTTP/1.1 431 Request Header Fields Too Large\r\n.*"),
        # A bare LF ends a header too; a preflight is answered from its first 64 KiB.
        ((b"OPT", b"IONS / HTTP/1.1\n\n"), preflight),
        ((b"OPTIONS / HTTP/1.1\r\nX-Pad: " + pad + b"\r\nOrigin: https://late.example\r\n\r\n",), preflight),
    ]
    assert exchange(b"OPTIONS / HTTP/1.1\r\n\r\n", host="::1") == PREFLIGHT  # IPv6's loopback too
    for segments, expected in cases:
        with connect() as s:
            for segment in segments:
                s.sendall(segment)
                time.sleep(0.3)
            answer = read_to_end(s)
            assert re.fullmatch(expected, answer, re.DOTALL), answer[:200]
            # The agent read what came after its answer instead of resetting the connection.
            assert s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0


def test_clients_that_vanish_or_send_no_text_leave_nothing_behind(agent):
    agent.proc.send_signal(signal.SIGSTOP)
    connect().close()  # gone before the agent reads from it
    agent.proc.send_signal(signal.SIGCONT)
    with connect() as s:  # gone halfway through its header, with a reset
        s.sendall(b"GET / HT")
        time.sleep(0.3)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    assert exchange(b"GET /\xff\xfe HTTP/1.1\r\n\r\n") == b""  # not UTF-8: no answer at all
    let_go(agent)


def test_slow_readers_get_everything_and_stuck_idle_or_endless_clients_are_let_go(agent):
    origin = b"https://" + b"o" * 60000
    request = b"OPTIONS / HTTP/1.1\r\nOrigin: " + origin + b"\r\n\r\n"
    stuck, slow, idle, trickler = connect(rcvbuf=4096), connect(rcvbuf=4096), connect(), connect()
    stuck.sendall(request), slow.sendall(request)
    trickler.sendall(b"OPTIONS / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n")  # a body that never ends
    assert trickler.recv(65536).startswith(b"HTTP/1.1 204")
    received, started = b"", time.monotonic()
    while chunk := slow.recv(1024):  # 60 KB at this pace takes longer than the 5 s deadline
        received += chunk
        trickler.send(b"x")
        time.sleep(0.1)
    assert received == PREFLIGHT.replace(b"*", origin) and time.monotonic() - started > 5.5
    # The one that read nothing was reset once it had made no progress for 5 s.
    with pytest.raises(ConnectionResetError):
        read_to_end(stuck)
    with pytest.raises(OSError):  # the trickler reset once lingering has lasted 30 s, progress or not
        while time.monotonic() - started < 45:
            trickler.send(b"x")
            time.sleep(2)
    assert 29 <= time.monotonic() - started < 40
    idle.settimeout(15)  # sent nothing at all
    assert read_to_end(idle) == b""
    assert 29 <= time.monotonic() - started < 40
    for s in (stuck, slow, idle, trickler):
        s.close()
    let_go(agent)
    assert exchange(b"OPTIONS / HTTP/1.1\r\n\r\n") == PREFLIGHT
