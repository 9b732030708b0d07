"""The served report checked by independent oracles: python-cryptography for the
signature, the derivation of the device ID, and real tunnel devices."""
import json
import os
import stat
import subprocess

import pytest

from conftest import FACTS, KEY, ORIGIN, exchange, expected_device_id, split_answer, verify

NO_TPM_LINE = "No usable TPM, the device key is kept in a file: "


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True)


def test_signed_report_its_file_key_device_id_and_tunnel(start_agent, tmp_path, swtpm):
    agent = start_agent()  # no TPM answers
    nonce = "Q2hhbGxlbmdlQnl0ZXM_-0123456789"
    report, challenged = agent.get_report(), agent.get_report(origin=ORIGIN, target=f"/check?x=1&nonce={nonce}")
    verify(report), verify(challenged)
    assert set(report) == FACTS | {"signature", "public_key"} and report["device_id"] == expected_device_id()
    assert (challenged["nonce"], challenged["origin"], challenged["key_storage"]) == (nonce, ORIGIN, "file")
    assert challenged["public_key"] == report["public_key"]
    assert stat.S_IMODE(os.stat(tmp_path / KEY).st_mode) == 0o600
    assert stat.S_IMODE(os.stat((tmp_path / KEY).parent).st_mode) == 0o700

    # A tunnel counts while it is up with an IPv4 address, as the kernel reports it.
    ip("tuntap", "add", "dev", "tun0", "mode", "tun")
    ip("addr", "add", "10.8.0.1/24", "dev", "tun0")
    assert agent.get_report()["vpn_active"] is False
    ip("link", "set", "tun0", "up")
    assert agent.get_report()["vpn_active"] is True
    # Served on the loopback only, not on the machine's other addresses.
    ip("-6", "addr", "add", "2001:db8::10/64", "dev", "tun0", "nodad")
    for host in ("10.8.0.1", "2001:db8::10"):
        with pytest.raises(ConnectionRefusedError):
            exchange(b"OPTIONS / HTTP/1.1\r\n\r\n", host=host)

    # Why there is no TPM key is said once; a TPM that comes later leaves the file key as it is.
    said = NO_TPM_LINE + "no TPM answers at swtpm:host=127.0.0.1,port=9: tcti:IO failure"
    agent.wait_for_line(said)
    agent.stop()
    assert [line for line in agent.lines if line.startswith(NO_TPM_LINE)] == [said]
    blob = (tmp_path / KEY).read_bytes()
    again = start_agent({"TPM2OPENSSL_TCTI": swtpm.tcti}).get_report(origin=ORIGIN, target=f"/?nonce={nonce}")
    verify(again)
    assert (again["key_storage"], again["public_key"]) == ("file", report["public_key"])
    assert (tmp_path / KEY).read_bytes() == blob


def test_without_the_signer_the_agent_applies_the_policy_file_as_it_changes(start_agent, tmp_path):
    policy = tmp_path / "corvane" / "policy.conf"  # its folder made only later, as an administrator would
    agent = start_agent({"CORVANE_POLICY_FILE": str(policy)})
    request = b"GET / HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n"
    assert exchange(request).startswith(b"HTTP/1.1 200 OK\r\n")
    policy.parent.mkdir()
    policy.write_text("allowed-origins = https://portal.example\n")
    agent.wait_for_line("Policy: Reports only to https://portal.example")
    refusal = "this device's policy does not allow reports to https://evil.example"
    for _ in range(2):
        head, body = split_answer(exchange(request))
        assert head.startswith(b"HTTP/1.1 403 Forbidden\r\n") and json.loads(body) == {"error": refusal}
    assert agent.lines.count("Report refused: " + refusal) == 1  # once an hour at most
