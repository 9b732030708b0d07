"""The Wi-Fi members of the report, from a fake NetworkManager on a private bus."""
import base64
import json
import time

import dbus
import pytest

from conftest import exchange, split_answer
from fake_networkmanager import AP_IFACE, WIRELESS_IFACE, fake_nm  # noqa: F401 (fixture)

NO_ADDRESS = "00:00:00:00:00:00"
GONE_AP = "/org/freedesktop/NetworkManager/AccessPoint/gone"


def nearby(report):
    return [(n["ssid"], n["bssid"], n["rssi"], n["channel"]) for n in report["nearby_networks"]]


def connected(report):
    return (report["connected_network"]["ssid"], report["connected_network"]["bssid"])


def raw_report(agent):
    head, body = split_answer(exchange(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n"))
    assert head.startswith(b"HTTP/1.1 200 OK\r\n"), head
    return body, json.loads(body)


def verify_signature(report):
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec

    data = {k: v for k, v in report.items() if k not in ("signature", "public_key")}
    payload = json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=False).replace("/", "\\/")
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), base64.b64decode(report["public_key"]))
    key.verify(base64.b64decode(report["signature"]), payload.encode(), ec.ECDSA(hashes.SHA256()))


def test_networks_strongest_first_with_channels_and_dbm(fake_nm, start_agent):
    fake_nm.add_ethernet_device("eth0")
    idle = fake_nm.add_wifi_device("wlan0")
    fake_nm.add_access_point(idle, b"Other", "02:00:00:00:00:09", 60, 2437)
    dev = fake_nm.add_wifi_device("wlan1")
    cafe = fake_nm.add_access_point(dev, b"Cafe", "02:00:00:00:00:01", 100, 2412)
    fake_nm.add_access_point(dev, b"Far", "02:00:00:00:00:02", 0, 7115)
    fake_nm.add_access_point(dev, b"Twin", "02:00:00:00:00:03", 75, 5180)
    fake_nm.add_access_point(dev, b"Odd", "02:00:00:00:00:04", 50, 60480)
    fake_nm.add_access_point(dev, b"Twin", "02:00:00:00:00:05", 75, 2484)
    fake_nm.set_active_access_point(dev, cafe)
    agent = start_agent(env=fake_nm.env)

    # The joined device is the default one, though it comes second.
    report = agent.get_report()
    assert connected(report) == ("Cafe", "02:00:00:00:00:01")
    assert nearby(report) == [
        ("Cafe", "02:00:00:00:00:01", -40, 1),
        ("Twin", "02:00:00:00:00:03", -55, 36),
        ("Twin", "02:00:00:00:00:05", -55, 14),
        ("Odd", "02:00:00:00:00:04", -70, 0),
        ("Far", "02:00:00:00:00:02", -100, 233),
    ]

    # Joined nowhere: the first Wi-Fi device in NetworkManager's order.
    fake_nm.set_active_access_point(dev, None)
    report = agent.get_report()
    assert connected(report) == ("Not Connected", NO_ADDRESS)
    assert nearby(report) == [("Other", "02:00:00:00:00:09", -64, 6)]
    assert not [line for line in agent.lines if line.startswith(("WARNING", "Scan failed", "No WiFi"))]


def test_ssid_bytes_become_text_only_when_valid_utf8(fake_nm, start_agent):
    dev = fake_nm.add_wifi_device("wlan0")
    home = fake_nm.add_access_point(dev, b"Home/5G", "02:00:00:00:00:01", 90, 5745)
    latin1 = fake_nm.add_access_point(dev, b"Caf\xe9", "02:00:00:00:00:02", 80, 2412)
    fake_nm.add_access_point(dev, b"", "02:00:00:00:00:03", 70, 2412)
    fake_nm.add_access_point(dev, "Café ☕".encode(), "02:00:00:00:00:04", 60, 2412)
    fake_nm.add_access_point(dev, b"caf\xc3", "02:00:00:00:00:05", 50, 2412)
    fake_nm.set_active_access_point(dev, home)
    agent = start_agent(env=fake_nm.env)

    body, report = raw_report(agent)
    assert b'"Home\\/5G"' in body
    assert connected(report) == ("Home/5G", "02:00:00:00:00:01")
    assert [n[0] for n in nearby(report)] == ["Home/5G", "Unknown", "Unknown", "Café ☕", "Unknown"]
    if "signature" in report and "public_key" in report:
        verify_signature(report)

    fake_nm.set_active_access_point(dev, latin1)
    assert connected(agent.get_report()) == ("Not Connected", "02:00:00:00:00:02")


def test_request_scan_only_when_last_scan_is_stale(fake_nm, start_agent):
    dev = fake_nm.add_wifi_device("wlan0", last_scan=-1)
    fake_nm.add_access_point(dev, b"Cafe", "02:00:00:00:00:01", 80, 2412)
    agent = start_agent(env=fake_nm.env)

    assert len(agent.get_report()["nearby_networks"]) == 1
    assert fake_nm.request_scan_count(dev) == 1

    fake_nm.set_last_scan(dev, fake_nm.boottime_ms())
    agent.get_report()
    assert fake_nm.request_scan_count(dev) == 1

    fake_nm.set_last_scan(dev, fake_nm.boottime_ms() - 31_000)
    agent.get_report()
    assert fake_nm.request_scan_count(dev) == 2

    # A refused scan changes nothing: the list is what NetworkManager knows.
    fake_nm.mock(dev).AddMethod(WIRELESS_IFACE, "RequestScan", "a{sv}", "",
                                "raise dbus.exceptions.DBusException('Scanning not allowed', "
                                "name='org.freedesktop.NetworkManager.Device.NotAllowed')")
    report = agent.get_report()
    assert fake_nm.request_scan_count(dev) == 3
    assert nearby(report) == [("Cafe", "02:00:00:00:00:01", -52, 1)]


def test_networkmanager_absent_hung_and_back(fake_nm, start_agent):
    dev = fake_nm.add_wifi_device("wlan0")
    ap = fake_nm.add_access_point(dev, b"Cafe", "02:00:00:00:00:01", 100, 2412)
    fake_nm.set_active_access_point(dev, ap)
    fake_nm.stop()
    agent = start_agent(env=fake_nm.env)

    def assert_gone():
        report = agent.get_report()
        assert connected(report) == ("None", NO_ADDRESS)
        assert report["nearby_networks"] == []

    def assert_present():
        report = agent.get_report()
        assert connected(report) == ("Cafe", "02:00:00:00:00:01")
        assert nearby(report) == [("Cafe", "02:00:00:00:00:01", -40, 1)]

    assert_gone()
    assert agent.lines[-1] == "No WiFi interface found."
    fake_nm.start()
    assert_present()
    fake_nm.stop()
    assert_gone()
    fake_nm.start()
    assert_present()

    # Hung: every call times out, and each report still comes within one
    # timeout; NetworkManager is asked again once it has been left alone a while.
    fake_nm.freeze()
    try:
        for _ in range(3):
            started = time.monotonic()
            assert_gone()
            assert time.monotonic() - started < 2.5
    finally:
        fake_nm.thaw()
    deadline = time.monotonic() + 10
    while True:
        try:
            assert_present()
            break
        except AssertionError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.5)
    assert agent.alive()


def test_odd_replies_give_fallbacks(fake_nm, start_agent):
    dev = fake_nm.add_wifi_device("wlan0")
    good = fake_nm.add_access_point(dev, b"Cafe", "02:00:00:00:00:01", 100, 2412)
    odd = fake_nm.add_access_point(dev, b"Odd", "02:00:00:00:00:02", 50, 2412)
    for name, value in [("Ssid", dbus.String("Odd")), ("HwAddress", dbus.Int32(7)),
                        ("Strength", dbus.String("50")), ("Frequency", dbus.Int64(2412))]:
        fake_nm.set_property(odd, AP_IFACE, name, value)
    fake_nm.set_property(dev, WIRELESS_IFACE, "LastScan", dbus.String("recently"))
    fake_nm.set_property(dev, WIRELESS_IFACE, "ActiveAccessPoint", dbus.String(good))
    agent = start_agent(env=fake_nm.env)

    report = agent.get_report()
    assert connected(report) == ("Not Connected", NO_ADDRESS)
    assert nearby(report) == [("Cafe", "02:00:00:00:00:01", -40, 1), ("Unknown", NO_ADDRESS, -100, 0)]
    assert fake_nm.request_scan_count(dev) == 1

    # An access point that vanished between listing and asking is left out;
    # a joined one that vanished means not joined.
    fake_nm.set_active_access_point(dev, GONE_AP)
    fake_nm.mock(dev).AddMethod(WIRELESS_IFACE, "GetAllAccessPoints", "", "ao",
                                f"ret = ['{GONE_AP}', '{good}']")
    report = agent.get_report()
    assert connected(report) == ("Not Connected", NO_ADDRESS)
    assert nearby(report) == [("Cafe", "02:00:00:00:00:01", -40, 1)]

    fake_nm.mock(dev).AddMethod(WIRELESS_IFACE, "GetAllAccessPoints", "", "s", "ret = 'nonsense'")
    assert agent.get_report()["nearby_networks"] == []
    assert agent.lines[-1] == 'Scan failed: Unexpected reply signature: got "s", expected "ao"'

    fake_nm.mock(dev).AddMethod(WIRELESS_IFACE, "GetAllAccessPoints", "", "ao",
                                "raise dbus.exceptions.DBusException('Device is gone', "
                                "name='org.freedesktop.NetworkManager.Device.Failed')")
    assert agent.get_report()["nearby_networks"] == []
    assert agent.lines[-1] == "Scan failed: Device is gone"

    # A device whose type is not a number is no Wi-Fi device.
    fake_nm.set_property(dev, "org.freedesktop.NetworkManager.Device", "DeviceType", dbus.String("2"))
    assert connected(agent.get_report()) == ("None", NO_ADDRESS)
    assert agent.lines[-1] == "No WiFi interface found."
    assert agent.alive()
