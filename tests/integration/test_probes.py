"""The device ID and VPN probe of the real agent, with real tunnel devices.

Devices are made in the test's private network namespace; a tun device with
no process attached stays NO-CARRIER but can still be set administratively up,
which is the state the probe looks at.
"""
import hashlib
import hmac
import os
import re
import shlex
import subprocess

import pytest

from conftest import AGENT

MACHINE_ID = "/etc/machine-id"
# The agent's fixed application ID; the device ID must never change across versions.
APP_ID = bytes.fromhex("f5786f5d1ff64823a3c526c5621924ab")
UUID_FORM = re.compile(r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True)


@pytest.fixture
def device():
    """Makes tun/tap devices for one test and removes them afterwards."""
    made = []

    def make(name, mode="tun", ipv4=None, ipv6=None, up=True):
        ip("tuntap", "add", "dev", name, "mode", mode)
        made.append(name)
        if ipv4:
            ip("addr", "add", ipv4, "dev", name)
        if up:
            ip("link", "set", name, "up")
        if ipv6:  # needs the link up
            ip("-6", "addr", "add", ipv6, "dev", name, "nodad")
        return name

    yield make
    for name in made:
        subprocess.run(["ip", "link", "del", name], capture_output=True)


def vpn_active(agent):
    value = agent.get_report()["vpn_active"]
    assert isinstance(value, bool)
    return value


def test_utun_names_with_ipv4_and_up(agent, device):
    assert vpn_active(agent) is False
    device("utun0", ipv4="10.8.0.1/24")
    assert vpn_active(agent) is False

    device("utun3", ipv6="fd00:3::1/64")
    assert vpn_active(agent) is False
    ip("addr", "add", "10.8.3.1/24", "dev", "utun3")
    assert vpn_active(agent) is True

    # The address stays on a downed device; only the state changes.
    ip("link", "set", "utun3", "down")
    assert vpn_active(agent) is False
    ip("link", "set", "utun3", "up")
    assert vpn_active(agent) is True


def test_point_to_point_tunnel(agent, device):
    device("tun0", ipv6="fd00:4::1/64")
    assert vpn_active(agent) is False
    ip("addr", "add", "10.8.4.1/24", "dev", "tun0")
    assert vpn_active(agent) is True
    ip("link", "set", "tun0", "down")
    assert vpn_active(agent) is False


@pytest.mark.parametrize("name, expected", [
    ("tap0", True),
    ("ppp0", True),
    ("en0", False),
    ("bridge0", False),
    ("tap\udcff", False),  # not UTF-8: skipped
])
def test_name_rule_on_ethernet_like_devices(agent, device, name, expected):
    # tap devices are not point-to-point, so only the name can make them count.
    device(os.fsencode(name), mode="tap", ipv4="10.8.5.1/24")
    assert vpn_active(agent) is expected


def machine_id():
    try:
        with open(MACHINE_ID, encoding="ascii") as f:
            text = f.read().strip()
    except (OSError, UnicodeDecodeError):
        return None
    return text if re.fullmatch(r"[0-9a-f]{32}", text) and text != "0" * 32 else None


def expected_device_id(raw):
    digest = bytearray(hmac.new(bytes.fromhex(raw), APP_ID, hashlib.sha256).digest()[:16])
    digest[6] = (digest[6] & 0x0F) | 0x40  # random-UUID version and variant bits
    digest[8] = (digest[8] & 0x3F) | 0x80
    h = digest.hex().upper()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def test_device_id_is_stable_and_not_the_machine_id(start_agent, home):
    first = start_agent()
    ids = [first.get_report()["device_id"], first.get_report()["device_id"]]
    first.stop()
    ids.append(start_agent().get_report()["device_id"])
    assert len(set(ids)) == 1

    raw = machine_id()
    if raw is None:
        assert ids[0] == "Unknown"
        return
    device_id = ids[0]
    assert UUID_FORM.match(device_id), device_id
    plain = device_id.replace("-", "").lower()
    assert raw not in plain and raw[:16] not in plain and raw[16:] not in plain
    assert device_id == expected_device_id(raw)


@pytest.mark.skipif(not os.path.exists(MACHINE_ID), reason="no machine ID to hide")
@pytest.mark.parametrize("content", [b"", b"uninitialized\n", b"0" * 32 + b"\n", b"not a machine id\n"])
def test_without_machine_id_the_device_id_is_unknown(start_agent, tmp_path, content):
    stand_in = tmp_path / "machine-id"
    stand_in.write_bytes(content)
    # The agent runs in a child mount namespace where the stand-in hides the real file.
    wrapper = tmp_path / "agent-without-machine-id"
    wrapper.write_text(
        "#!/bin/sh\n"
        "exec unshare --mount -- sh -c 'mount --bind \"$0\" " + MACHINE_ID + " && exec \"$1\"' "
        + shlex.quote(str(stand_in)) + " \"$1\"\n")
    wrapper.chmod(0o755)

    report = start_agent(prefix=[str(wrapper)]).get_report()
    assert report["device_id"] == "Unknown"
    assert {"connected_network", "nearby_networks", "timestamp", "vpn_active"} <= set(report)
