"""The device key in a TPM: a software TPM started here (never the machine's own), reports checked with
python-cryptography, and the TPM stalled with SIGSTOP or taken away while reports wait for it."""
import json
import select
import signal
import socket
import time

import pytest
from cryptography.hazmat.primitives import serialization

from conftest import KEY, ORIGIN, PORT, exchange, read_to_end, report_of, split_answer, verify, wait_until


def target(nonce):
    return f"/?nonce={nonce:016d}"


def challenged(agent, nonce=0):
    return agent.get_report(origin=ORIGIN, target=target(nonce))


def test_a_key_in_the_tpm(start_agent, tmp_path, swtpm):
    agent = start_agent({"TPM2OPENSSL_TCTI": swtpm.tcti})
    report = challenged(agent)
    verify(report)
    assert report["key_storage"] == "tpm"
    blob = (tmp_path / KEY).read_bytes()
    assert blob.startswith(b"-----BEGIN TSS2 PRIVATE KEY-----\n")
    with pytest.raises(ValueError):  # the TPM's wrapped blob, no private key a program could copy
        serialization.load_pem_private_key(blob, None)

    # A TPM that stalls: two plain reports alike and fifteen with a challenge wait; more are refused at once,
    # and preflights are answered meanwhile.
    swtpm.proc.send_signal(signal.SIGSTOP)
    while time.time() % 1 > 0.5:  # both plain reports within one second: the same bytes
        time.sleep(0.05)
    connections = [socket.create_connection(("127.0.0.1", PORT), timeout=10) for _ in range(17)]
    for connection, path in zip(connections, ["/", "/", *(target(n) for n in range(1, 16))]):  # in this order
        connection.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: {ORIGIN}\r\n\r\n".encode())
    assert exchange(f"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: {ORIGIN}\r\n\r\n".encode()).startswith(
        b"HTTP/1.1 204 No Content\r\n")
    head, body = split_answer(exchange(f"GET {target(99)} HTTP/1.1\r\nOrigin: {ORIGIN}\r\n\r\n".encode()))
    assert head.startswith(b"HTTP/1.1 503 Service Unavailable\r\n") and b"\r\nRetry-After: 1\r\n" in head
    assert f"\r\nAccess-Control-Allow-Origin: {ORIGIN}\r\n".encode() in head and set(json.loads(body)) == {"error"}
    assert select.select(connections, [], [], 0)[0] == []
    swtpm.proc.send_signal(signal.SIGCONT)
    reports = [report_of(read_to_end(connection)) for connection in connections]
    for each in reports:
        verify(each)
    assert reports[0]["signature"] == reports[1]["signature"]  # one signature for both: ECDSA's are never alike
    assert {each["public_key"] for each in reports} == {report["public_key"]}

    # A TPM that does not answer in time: a report waiting for its signature goes out unsigned, and so does
    # one waiting for the key after a restart (quitting does not wait for the TPM); once it answers, the key signs.
    swtpm.proc.send_signal(signal.SIGSTOP)
    started = time.monotonic()
    late = challenged(agent, 100)
    assert "signature" not in late and "public_key" not in late and time.monotonic() - started < 7
    agent.wait_for_line("Signing error: the TPM did not answer within 5 s")
    assert agent.stop() == 0
    agent = start_agent({"TPM2OPENSSL_TCTI": swtpm.tcti})
    assert "signature" not in challenged(agent, 101)
    agent.wait_for_line(f"Key lookup error: {tmp_path / KEY}: the TPM did not answer within 5 s")
    swtpm.proc.send_signal(signal.SIGCONT)
    restarted = challenged(agent, 102)
    verify(restarted)
    assert restarted["public_key"] == report["public_key"]

    # The TPM gone: reports go out unsigned, saying why, and the key file stays as it was.
    swtpm.stop()
    for nonce in (103, 104):
        assert "signature" not in challenged(agent, nonce)
    for reason in ("Signing error: ", f"Key lookup error: {tmp_path / KEY}: "):
        wait_until(lambda: any(line.startswith(reason) for line in agent.lines), reason)
    assert (tmp_path / KEY).read_bytes() == blob
