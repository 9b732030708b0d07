"""corvane-verify: the command-line tool around the checks (tests/vectors holds the checks' table)."""
import os
import subprocess
import time

import pytest

from conftest import BUILD_DIR, ORIGIN, SAMPLE, answer_to, served, signed

TOOL = os.path.join(BUILD_DIR, "tools", "corvane-verify", "corvane-verify")
GOOD = signed(SAMPLE)
NONCE, NOW = "Q2hhbGxlbmdl-_0123", int(time.time())


def run(*args, stdin=b""):
    """stdin: the bytes to send, or a descriptor to read from."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    result = subprocess.run([TOOL, *args], capture_output=True, timeout=30, **feed)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def challenged(**changes):
    return answer_to(NONCE, **{"timestamp": NOW, **changes})


@pytest.mark.parametrize("args,document,verdict", [
    (["--public-key", GOOD["public_key"]], served(GOOD), "valid"),
    ([], b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" + served(GOOD), "valid"),
    ([], b"HTTP/1.1 500 Oops\r\n\r\n", "invalid: the answer is not \"200 OK\" but \"HTTP/1.1 500 Oops\""),
    ([], b"{\"device_id\": \"\xff\"}", "invalid: not JSON"),  # bytes that are not UTF-8, which no vector holds
    # Each option reaches its check, against this machine's clock.
    (["--nonce", NONCE, "--origin", ORIGIN, "--max-age", "120"], challenged(), "valid"),
    (["--nonce", NONCE[:-1] + "4"], challenged(), "invalid: nonce does not match"),
    (["--origin", ORIGIN], challenged(origin="*"), "invalid: origin does not match"),
    (["--max-age", "120"], challenged(timestamp=NOW - 300), "invalid: timestamp is older than 120 s"),
    (["--public-key", GOOD["public_key"]], challenged(), "invalid: public_key is not the expected key"),
])
def test_each_report_gets_its_verdict(args, document, verdict):
    assert run(*args, stdin=document)[:2] == (0 if verdict == "valid" else 1, verdict + "\n")


@pytest.mark.parametrize("args,stdin,message", [
    (["a", "b"], b"", "too many arguments"), (["--verbose"], b"", "unknown option --verbose"),
    (["--origin"], b"", "needs a value"), (["--nonce", NONCE + "\r\n"], b"", "--nonce takes"),
    (["--max-age", "1e3"], b"", "--max-age takes"),
    (["missing.json"], b"", "cannot read missing.json: No such file or directory"),
    (["."], b"", "cannot read .: Is a directory"),
    (["-"], os.open(".", os.O_RDONLY), "cannot read standard input: Is a directory"),
    (["--fetch"], b"", "cannot connect to 127.0.0.1:12180"),  # no agent runs in this test's namespace
])
def test_trouble_exits_2_without_a_verdict(args, stdin, message):
    status, stdout, stderr = run(*args, stdin=stdin)
    assert (status, stdout) == (2, "") and message in stderr


def test_reports_of_the_running_agent(agent, tmp_path):
    (tmp_path / "report.json").write_bytes(served(agent.get_report()))
    assert run(str(tmp_path / "report.json"))[:2] == (0, "valid\n")
    assert run("--fetch")[:2] == (0, "valid\n")
    assert run("--fetch", "--nonce", NONCE, "--origin", "*", "--max-age", "60")[:2] == (0, "valid\n")
