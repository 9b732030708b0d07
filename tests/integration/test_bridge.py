"""The HTTP endpoint as a client sees it, over raw sockets."""
import json
import socket
import subprocess
import time

import pytest

from conftest import PORT, READY_LINE, exchange, read_to_end, split_answer

PREFLIGHT_ANY_ORIGIN = (
    b"HTTP/1.1 204 No Content\r\n"
    b"Access-Control-Allow-Origin: *\r\n"
    b"Access-Control-Allow-Methods: GET, OPTIONS\r\n"
    b"Access-Control-Allow-Headers: Content-Type\r\n"
    b"Access-Control-Allow-Private-Network: true\r\n"
    b"Access-Control-Max-Age: 86400\r\n"
    b"Connection: close\r\n"
    b"\r\n"
)

REPORT_MEMBERS = {"connected_network", "device_id", "nearby_networks", "timestamp", "vpn_active"}


def assert_report_answer(answer, origin=b"*"):
    head, body = split_answer(answer)
    assert head == (
        b"HTTP/1.1 200 OK\r\n"
        b"Content-Type: application/json\r\n"
        b"Access-Control-Allow-Origin: " + origin + b"\r\n"
        b"Access-Control-Allow-Methods: GET, OPTIONS\r\n"
        b"Access-Control-Allow-Private-Network: true\r\n"
        b"Content-Length: " + str(len(body)).encode() + b"\r\n"
        b"Connection: close\r\n")
    report = json.loads(body)
    assert REPORT_MEMBERS <= set(report)
    return report


def test_preflight_bytes_and_origin_echo(agent):
    answer = exchange(b"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n")
    assert answer == PREFLIGHT_ANY_ORIGIN
    assert len(answer) == 241

    # Bare LF ends no line: the method is still the first word, but no
    # Origin line is found.
    answer = exchange(b"OPTIONS / HTTP/1.1\nOrigin: https://lf.example\n\n")
    assert answer == PREFLIGHT_ANY_ORIGIN

    origin = "https://Portal.Example:8443"
    answer = exchange(b"OPTIONS /status HTTP/1.1\r\norIGin: \t" + origin.encode() + b" \r\n\r\n")
    assert answer == PREFLIGHT_ANY_ORIGIN.replace(b"*", origin.encode())


def test_status_report_answer(agent):
    report = assert_report_answer(exchange(b"GET /any?path HTTP/1.1\r\nOrigin: https://a.example\r\n\r\n"),
                                  origin=b"https://a.example")
    assert isinstance(report["timestamp"], int) and abs(report["timestamp"] - time.time()) < 60
    assert isinstance(report["vpn_active"], bool)
    assert isinstance(report["nearby_networks"], list)
    assert set(report["connected_network"]) == {"ssid", "bssid"}


@pytest.mark.parametrize("request_bytes", [
    b"options / HTTP/1.1\r\n\r\n",
    b"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}",
    b"HEAD / HTTP/1.1\r\n\r\n",
    b" OPTIONS / HTTP/1.1\r\n\r\n",
    b"GET / HTTP/1.1\nOrigin: https://lf.example\n\n",
    b"\x00\x01garbage",
])
def test_everything_but_OPTIONS_is_a_status_request(agent, request_bytes):
    assert_report_answer(exchange(request_bytes))


def test_only_the_first_piece_of_a_request_counts(agent):
    with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
        s.sendall(b"OPT")
        time.sleep(0.3)
        try:
            s.sendall(b"IONS / HTTP/1.1\r\nOrigin: https://late.example\r\n\r\n")
        except OSError:
            pass  # the agent may have answered and closed already
        answer = read_to_end(s)
    assert_report_answer(answer)  # "OPT" is not OPTIONS


def test_request_longer_than_64KiB(agent):
    request = (b"OPTIONS / HTTP/1.1\r\nX-Pad: " + b"a" * 70000 +
               b"\r\nOrigin: https://beyond.example\r\n\r\n")
    assert exchange(request) == PREFLIGHT_ANY_ORIGIN


def test_dropped_connections_get_no_answer(agent):
    time.sleep(0.3)  # let the start-up lines come out first
    lines_before = agent.lines
    for data in (b"GET / HTTP/1.1\r\n\xff\xfe\r\n\r\n", b"\xc0\xaf"):
        started = time.monotonic()
        assert exchange(data) == b""
        assert time.monotonic() - started < 5, "closed at once, not after the idle time-out"
    # A client that connects and leaves says nothing and changes nothing.
    socket.create_connection(("127.0.0.1", PORT), timeout=5).close()
    time.sleep(0.2)
    assert agent.lines == lines_before
    assert exchange(b"OPTIONS / HTTP/1.1\r\n\r\n") == PREFLIGHT_ANY_ORIGIN


def test_header_injection_through_origin_is_refused(agent):
    answer = exchange(b"OPTIONS / HTTP/1.1\r\nOrigin: https://a.example\nSet-Cookie: owned=1\r\n\r\n")
    assert answer == PREFLIGHT_ANY_ORIGIN
    head, _ = split_answer(exchange(b"GET / HTTP/1.1\r\nOrigin: x\rLocation: evil\r\n\r\n"))
    assert b"Access-Control-Allow-Origin: *\r\n" in head
    assert b"Location" not in head


def test_two_clients_at_once(agent):
    a = socket.create_connection(("127.0.0.1", PORT), timeout=10)
    b = socket.create_connection(("127.0.0.1", PORT), timeout=10)
    with a, b:
        a.sendall(b"GET / HTTP/1.1\r\n\r\n")
        b.sendall(b"OPTIONS / HTTP/1.1\r\n\r\n")
        assert read_to_end(b) == PREFLIGHT_ANY_ORIGIN
        assert_report_answer(read_to_end(a))


def test_served_on_ipv6_loopback_too(agent):
    if not socket.has_ipv6:
        pytest.skip("no IPv6 here")
    try:
        answer = exchange(b"OPTIONS / HTTP/1.1\r\n\r\n", host="::1")
    except OSError as error:
        pytest.skip(f"::1 unusable here: {error}")
    assert answer == PREFLIGHT_ANY_ORIGIN
    assert agent.lines.count(READY_LINE) == 1


def test_not_reachable_from_other_addresses(agent):
    subprocess.run(["ip", "tuntap", "add", "dev", "corvane0", "mode", "tun"], check=True)
    try:
        subprocess.run(["ip", "addr", "add", "192.0.2.10/24", "dev", "corvane0"], check=True)
        subprocess.run(["ip", "link", "set", "corvane0", "up"], check=True)
        with pytest.raises(ConnectionRefusedError):
            exchange(b"GET / HTTP/1.1\r\n\r\n", host="192.0.2.10", timeout=5)
    finally:
        subprocess.run(["ip", "link", "del", "corvane0"], check=False)


@pytest.mark.parametrize("family,address", [(socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")])
def test_taken_port_is_reported_and_the_agent_lives_on(start_agent, family, address):
    with socket.socket(family, socket.SOCK_STREAM) as squatter:
        squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            squatter.bind((address, PORT))
        except OSError as error:
            pytest.skip(f"{address} unusable here: {error}")
        squatter.listen()
        agent = start_agent(wait_ready=False)
        agent.wait_for_line("Bridge failed: The bound address is already in use", timeout=10)
        time.sleep(0.5)
        assert agent.alive()
        assert READY_LINE not in agent.lines
        assert [line for line in agent.lines if line.startswith("Bridge failed: ")] == [
            "Bridge failed: The bound address is already in use"]


def test_idle_connection_is_closed_after_30_seconds(agent):
    with socket.create_connection(("127.0.0.1", PORT), timeout=45) as s:
        started = time.monotonic()
        assert read_to_end(s) == b""
        waited = time.monotonic() - started
    assert 29 <= waited < 40
