"""The system signer as the process of an account of its own, its socket and key in a folder of the test's:
the agent of another account relays it, a program of that account can neither use its key nor change a
fact, and the signer keeps serving whatever its callers do."""
import base64
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

from conftest import (KEY, ORIGIN, OTHER_USERS, SIGNER, Agent, as_user, exchange, expected_device_id, report_of,
                      signer, split_answer, verify)

SIGNER_UID, PERSON_UID = 4242, 4343
NONCE = "Q2hhbGxlbmdlQnl0ZXM_-0123456789"
pytestmark = pytest.mark.skipif(not OTHER_USERS, reason="two accounts need a namespace with every user ID (root)")


@pytest.fixture
def folder():
    """A folder every account may pass through, unlike pytest's own."""
    path = tempfile.mkdtemp(prefix="corvane-signer-")
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path)


def challenged(process, nonce=NONCE):
    return process.get_report(origin=ORIGIN, target=f"/?nonce={nonce}")


def test_reports_come_from_the_signer_whose_key_the_person_cannot_use(folder, start_agent, swtpm):
    system = start_agent(process=signer(f"{folder}/signer", {"TPM2OPENSSL_TCTI": swtpm.tcti}, uid=SIGNER_UID))
    agent = start_agent(process=Agent(f"{folder}/person", {"CORVANE_SIGNER_SOCKET": system.socket}, uid=PERSON_UID))
    report = challenged(agent)
    verify(report)
    assert (report["signer"], report["key_storage"], report["origin"]) == ("system", "tpm", ORIGIN)
    plain = agent.get_report()
    assert "signer" not in plain and plain["public_key"] == report["public_key"]
    system.wait_for_line(f"Request from user {PERSON_UID}: challenge-bound report for {ORIGIN}")

    shown = subprocess.run([*as_user(PERSON_UID), SIGNER, "--show-key", "--json", "--socket", system.socket],
                           capture_output=True, text=True, check=True).stdout
    assert json.loads(shown) == {"device_id": report["device_id"], "public_key": report["public_key"],
                                 "key_storage": "tpm",
                                 "fingerprint": hashlib.sha256(base64.b64decode(report["public_key"])).hexdigest()}
    key = f"{folder}/signer/state/{os.path.basename(KEY)}"
    assert os.path.exists(key) and not os.path.exists(f"{folder}/person/{KEY}")
    assert subprocess.run([*as_user(PERSON_UID), "cat", key], capture_output=True).returncode == 1

    # Stalled, then gone: unsigned reports saying why, and still no key of the session's own.
    for stop, why in ((signal.SIGSTOP, "no answer within 5 s"), (signal.SIGKILL, "connect: Connection refused")):
        system.proc.send_signal(stop)
        if stop == signal.SIGKILL:
            system.proc.wait(10)
        assert "signature" not in challenged(agent, NONCE + str(stop))
        agent.wait_for_line(f"System signer failed: {why}; the report goes out unsigned")
        system.proc.send_signal(signal.SIGCONT)
    assert not os.path.exists(f"{folder}/person/{KEY}")
    start_agent(process=signer(f"{folder}/signer", {"TPM2OPENSSL_TCTI": swtpm.tcti}, uid=SIGNER_UID))
    again = challenged(agent)
    verify(again)
    assert again["public_key"] == report["public_key"]


def test_a_caller_chooses_no_fact_and_odd_callers_cost_nothing(folder, start_agent):
    system = start_agent(process=signer(f"{folder}/signer", uid=SIGNER_UID))
    url = f"http://localhost/?nonce={NONCE}&timestamp=1&device_id=forged&vpn_active=true"
    for extra in ([], ["-H", "Timestamp: 1", "-H", "Device-ID: forged"], ["--data", '{"vpn_active": true}']):
        answer = subprocess.run([*as_user(PERSON_UID), "curl", "-si", "--unix-socket", system.socket, *extra, url],
                                capture_output=True, check=True).stdout
        report = report_of(answer)
        assert (report["device_id"], report["vpn_active"], report["nearby_networks"]) == (expected_device_id(),
                                                                                          False, [])
        assert abs(report["timestamp"] - time.time()) < 10

    # Garbage, a header that never ends, one that never comes, one that vanishes: none holds up the next.
    slow, vanishing = socket.socket(socket.AF_UNIX), socket.socket(socket.AF_UNIX)
    slow.connect(system.socket), vanishing.connect(system.socket)
    slow.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n")
    vanishing.sendall(b"GET /?nonce="), vanishing.close()
    assert exchange(b"\xff\xfe\r\n\r\n", host=system.socket) == b""
    assert exchange(b"GET /?" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n", host=system.socket).startswith(b"HTTP/1.1 431 ")
    verify(challenged(system))
    slow.close()


def test_the_signer_applies_the_administrators_policy_and_reads_it_again_at_sighup(folder, start_agent):
    policy, refused = f"{folder}/policy.conf", "this device's policy does not allow reports to "
    phases = [
        ("# the portals of this organisation\nallowed-origins = https://*.corp.example\nallow-without-origin = false\n",
         [("https://a.b.corp.example", NONCE, 200, None), ("https://corp.example", None, 403, refused +
          "https://corp.example"), (None, NONCE, 403, refused + "callers without an Origin")]),
        ("allowed-origins = *\nrequire-challenge = true\n",
         [("https://evil.example", None, 400, "this device's policy allows only challenge-bound reports (?nonce=...)"),
          ("https://evil.example", NONCE, 200, None)]),
    ]
    with open(policy, "w") as f:
        f.write(phases[0][0])
    system = start_agent(process=signer(f"{folder}/signer", {"CORVANE_POLICY_FILE": policy}, uid=SIGNER_UID))
    # The session's own policy allows everything: what is refused, the signer refused.
    start_agent(process=Agent(f"{folder}/person", {"CORVANE_SIGNER_SOCKET": system.socket, "CORVANE_POLICY_FILE": f"{folder}/none"},
                  uid=PERSON_UID))
    for number, (text, cases) in enumerate(phases):
        if number:
            with open(policy, "w") as f:
                f.write(text)
            system.proc.send_signal(signal.SIGHUP)
            system.wait_for_line("Policy: Reports to any web page")
        for origin, nonce, status, error in cases:
            request = f"GET /{'?nonce=' + nonce if nonce else ''} HTTP/1.1\r\n" + (f"Origin: {origin}\r\n" if origin else "")
            head, body = split_answer(exchange(request.encode() + b"\r\n"))
            assert head.startswith(f"HTTP/1.1 {status} ".encode()), head
            # Readable by the page that asked: the refusal, and no fact.
            assert f"\r\nAccess-Control-Allow-Origin: {origin or '*'}\r\n".encode() in head
            assert json.loads(body) == {"error": error} if error else verify(json.loads(body)) is None
    system.wait_for_line(f"Report refused: {refused}https://corp.example")
