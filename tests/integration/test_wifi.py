"""The Wi-Fi members of the report, from a fake NetworkManager the agent keeps a live copy of."""
import signal
import threading

import dbus
import pytest

from conftest import Agent, exchange, report_of, verify, wait_until
from fake_networkmanager import WIRELESS, FakeNetworkManager, boottime_ms, fake_nm  # noqa: F401 (fixture)

NO_ADDRESS = "00:00:00:00:00:00"
GONE = (("None", NO_ADDRESS), [])
CAFE = (("Cafe", "02:00:00:00:00:01"), [("Cafe", "02:00:00:00:00:01", -40, 1)])
REFUSE = "raise dbus.exceptions.DBusException('No', name='org.freedesktop.NetworkManager.Device.NotAllowed')"


def wifi(report):
    joined, nearby = report["connected_network"], report["nearby_networks"]
    return (joined["ssid"], joined["bssid"]), [(n["ssid"], n["bssid"], n["rssi"], n["channel"]) for n in nearby]


def mac(n):
    return f"02:00:00:00:00:0{n}"


def settle(agent, facts):  # the agent's copy of NetworkManager catches up by itself
    wait_until(lambda: wifi(agent.get_report()) == facts, f"the Wi-Fi facts {facts}")


def cafe(nm, last_scan=None):
    dev = nm.add_wifi_device("wlan0", last_scan)
    nm.set_active_access_point(dev, nm.add_access_point(dev, b"Cafe", mac(1), 100, 2412))
    return dev


# These two start agents of their own, so they run before the module's shared agent takes the port.
def test_networkmanager_absent_back_gone_and_hung(fake_nm, start_agent):
    fake_nm.stop()
    agent = start_agent(env=fake_nm.env)
    settle(agent, GONE)
    agent.wait_for_line("No WiFi interface found.")
    fake_nm.start()
    cafe(fake_nm)
    settle(agent, CAFE)
    fake_nm.stop()
    settle(agent, GONE)
    fake_nm.start()
    dev = cafe(fake_nm, last_scan=-1)
    fake_nm.mock(dev).AddMethod(WIRELESS, "RequestScan", "a{sv}", "", REFUSE)  # asked for; nothing waits
    settle(agent, CAFE)  # a refused scan changes nothing
    fake_nm.process.send_signal(signal.SIGSTOP)
    assert exchange(b"OPTIONS / HTTP/1.1\r\n\r\n", timeout=1).startswith(b"HTTP/1.1 204 ")
    assert wifi(report_of(exchange(b"GET / HTTP/1.1\r\n\r\n", timeout=1))) == CAFE
    fake_nm.process.send_signal(signal.SIGCONT)
    settle(agent, CAFE)
    assert fake_nm.scan_requests(dev) and not [line for line in agent.lines if line.startswith("Scan failed")]


@pytest.mark.parametrize("env, hung_for, facts, glib_lines", [
    ({}, 0.3, CAFE, 0), ({}, 20, GONE, 0),  # waited for, up to a second
    ({"QT_NO_GLIB": "1"}, 0.3, GONE, 1),
])
def test_the_first_report_waits_for_the_first_load_if_there_is_one(fake_nm, start_agent, env, hung_for, facts,
                                                                    glib_lines):
    cafe(fake_nm)
    fake_nm.process.send_signal(signal.SIGSTOP)  # slow to answer the agent's first read
    agent = start_agent(env={**fake_nm.env, **env})
    threading.Timer(hung_for, fake_nm.process.send_signal, [signal.SIGCONT]).start()
    assert wifi(agent.get_report()) == facts
    assert len([line for line in agent.lines if "QT_NO_GLIB" in line]) == glib_lines


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    nm = FakeNetworkManager()
    agent = Agent(tmp_path_factory.mktemp("home"), env=nm.env).start()
    yield nm, agent
    agent.stop()
    nm.close()


@pytest.fixture
def fresh(shared):  # NetworkManager started again with nothing on it, once the agent's copy is empty too
    shared[0].stop()
    shared[0].start()
    settle(shared[1], GONE)
    return shared


AWKWARD = 'say "hi" \\ to/from \x01 and \x1f \u2028 é 日本語 🛰'
# bssid, SSID, quality, MHz; then the listed SSID (text only when valid UTF-8), dBm = round(0.6 quality) - 100
# and the channel (2.4, 5, 6 GHz, or 0): strongest first, none merged
NETWORKS = [(1, b"Cafe", 100, 2412, "Cafe", -40, 1), (3, AWKWARD.encode(), 75, 5180, AWKWARD, -55, 36),
            (4, b"Caf\xe9", 74, 2484, "Unknown", -56, 14), (5, b"", 50, 60480, "Unknown", -70, 0),
            (2, b"Far", 0, 7115, "Far", -100, 233)]


def test_default_interface_and_networks_strongest_first(fresh):
    nm, agent = fresh
    nm.mock().AddEthernetDevice("eth0", "eth0", 100)  # first, but no Wi-Fi device
    nm.add_access_point(nm.add_wifi_device("wlan0"), b"Other", mac(9), 60, 2437)
    dev = nm.add_wifi_device("wlan1")
    aps = {n: nm.add_access_point(dev, ssid, mac(n), quality, mhz) for n, ssid, quality, mhz, *_ in sorted(NETWORKS)}
    nearby = [(text, mac(n), dbm, ch) for n, _, _, _, text, dbm, ch in NETWORKS]
    nm.set_active_access_point(dev, aps[3])  # the joined Wi-Fi device wins, though it comes second
    settle(agent, ((AWKWARD, mac(3)), nearby))
    verify(agent.get_report())
    nm.set_active_access_point(dev, aps[4])  # a name that is no text: joined nowhere that can be named
    settle(agent, (("Not Connected", mac(4)), nearby))
    nm.set_active_access_point(dev, None)  # joined nowhere: the first Wi-Fi device
    settle(agent, (("Not Connected", NO_ADDRESS), [("Other", mac(9), -64, 6)]))


@pytest.mark.parametrize("age_ms, asked", [(None, 1), (31_000, 1), (0, 0)])  # None: never scanned
def test_a_stale_scan_is_asked_for_once_until_it_ends(fresh, age_ms, asked):
    nm, agent = fresh
    dev = cafe(nm, last_scan=-1 if age_ms is None else boottime_ms() - age_ms)
    settle(agent, CAFE)
    for _ in range(20):  # the scan asked for is still running
        agent.get_report()
    nm.set(dev, WIRELESS, "LastScan", dbus.Int64(boottime_ms() - 40_000))  # it ended, and is stale already
    wait_until(lambda: agent.get_report() and nm.scan_requests(dev) > asked, "a scan request")
    assert nm.scan_requests(dev) == asked + 1
