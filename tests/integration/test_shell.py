"""The agent as a person meets it: tray item, menu, console check, login item."""
import os
import signal
import socket
import subprocess
import time

import pytest

from conftest import AGENT, PORT, READY_LINE, Agent
from desktop import SessionBus, TrayItemClient, TrayWatcher, Xvfb, wait_until
from fake_networkmanager import fake_nm  # noqa: F401 (fixture)

NO_WIFI_DIAGNOSTIC = [
    "--- Starting WiFi Diagnostic ---",
    "Current Location Authorization Status: 3",
    "NOT CURRENTLY CONNECTED TO ANY WIFI",
    "---------------------------",
    "No WiFi interface found.",
    "No nearby networks found.",
    "--- WiFi Diagnostic Complete ---",
]


@pytest.fixture
def session_bus(tmp_path):
    bus = SessionBus(tmp_path)
    yield bus
    bus.stop()


@pytest.fixture
def xvfb():
    server = Xvfb()
    yield server
    server.stop()


@pytest.fixture
def desktop_env(session_bus, xvfb):
    return {"DBUS_SESSION_BUS_ADDRESS": session_bus.address, "DISPLAY": xvfb.display, "QT_QPA_PLATFORM": None}


@pytest.fixture
def watcher(session_bus):
    panel = TrayWatcher(session_bus)
    yield panel
    panel.stop()


def started(home, env):
    return Agent(home, env=env).start()


@pytest.fixture
def desktop_agent(home, desktop_env):
    agent = started(home, desktop_env)
    yield agent
    agent.stop()


def run_diagnostic(agent, item):
    start = len(agent.lines)
    item.click("Check Status...")
    end = agent.wait_for_line("--- WiFi Diagnostic Complete ---", start=start)
    return agent.lines[start:end + 1]


def test_tray_item_menu_and_console_check(watcher, session_bus, desktop_agent):
    item = TrayItemClient(session_bus, watcher.wait_for_item())
    assert item.prop("Title") == "Corvane Compliance"
    assert item.prop("ToolTip")[2] == "Corvane Compliance"
    assert [(label, kind) for _, label, kind in item.entries()] == [
        ("Check Status...", "standard"), ("", "separator"), ("Quit Corvane", "standard")]

    # Twice in a row runs twice: nothing is cached between runs.
    assert run_diagnostic(desktop_agent, item) == NO_WIFI_DIAGNOSTIC
    assert run_diagnostic(desktop_agent, item) == NO_WIFI_DIAGNOSTIC


def test_console_check_against_networkmanager(fake_nm, watcher, session_bus, desktop_env, home):
    dev = fake_nm.add_wifi_device("wlan0")
    office = fake_nm.add_access_point(dev, b"Office/2", "3c:a6:2f:12:9e:41", 90, 5180)
    fake_nm.add_access_point(dev, b"Cafe", "f0:9f:c2:7a:10:05", 50, 2437)
    fake_nm.add_access_point(dev, b"\xff\xfe", "f0:9f:c2:7a:10:06", 10, 2412)
    fake_nm.set_active_access_point(dev, office)
    agent = started(home, {**desktop_env, **fake_nm.env})
    try:
        item = TrayItemClient(session_bus, watcher.wait_for_item())
        nearby = [
            "VISIBLE NEARBY NETWORKS (3):",
            "SSID: Office/2 | BSSID: 3c:a6:2f:12:9e:41 | RSSI: -46dBm | Channel: 36",
            "SSID: Cafe | BSSID: f0:9f:c2:7a:10:05 | RSSI: -70dBm | Channel: 6",
            "SSID: Unknown | BSSID: f0:9f:c2:7a:10:06 | RSSI: -94dBm | Channel: 1",
        ]
        assert run_diagnostic(agent, item) == [
            "--- Starting WiFi Diagnostic ---",
            "Current Location Authorization Status: 3",
            "CURRENTLY CONNECTED TO:",
            "SSID: Office/2 | BSSID: 3c:a6:2f:12:9e:41 | RSSI: -46dBm",
            "---------------------------",
            *nearby,
            "--- WiFi Diagnostic Complete ---",
        ]
        fake_nm.set_active_access_point(dev, None)
        assert run_diagnostic(agent, item) == [
            "--- Starting WiFi Diagnostic ---",
            "Current Location Authorization Status: 3",
            "NOT CURRENTLY CONNECTED TO ANY WIFI",
            "---------------------------",
            *nearby,
            "--- WiFi Diagnostic Complete ---",
        ]
    finally:
        agent.stop()


def test_start_up_lines_come_in_order(start_agent):
    agent = start_agent()
    agent.wait_for_line("Current Location Authorization Status: 3")
    assert agent.lines[:2] == [READY_LINE, "Current Location Authorization Status: 3"]


def test_quit_ends_with_status_0_and_frees_the_port(watcher, session_bus, desktop_agent):
    TrayItemClient(session_bus, watcher.wait_for_item()).click("Quit Corvane")
    assert desktop_agent.proc.wait(10) == 0
    assert_port_free()


def test_item_appears_when_the_panel_starts_later_and_again_after_it_restarts(session_bus, desktop_agent):
    first = TrayWatcher(session_bus)
    try:
        item = TrayItemClient(session_bus, first.wait_for_item())
        assert item.prop("Title") == "Corvane Compliance"
    finally:
        first.stop()
    second = TrayWatcher(session_bus)
    try:
        item = TrayItemClient(session_bus, second.wait_for_item())
        assert [label for _, label, _ in item.entries()][0] == "Check Status..."
    finally:
        second.stop()


@pytest.mark.parametrize("display", [None, ":97"])
def test_serves_without_any_display(home, display):
    # ":97" names a display that nobody serves.
    agent = started(home, {"QT_QPA_PLATFORM": None, "DISPLAY": display})
    try:
        assert agent.get_report()["device_id"]
    finally:
        agent.stop()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_termination_signals_end_cleanly(start_agent, sig):
    agent = start_agent()
    assert agent.stop(sig) == 0
    assert_port_free()


def assert_port_free():
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", PORT))


def autostart_entry(home):
    return home / "config" / "autostart" / "com.corvane.Agent.desktop"


def test_login_item_is_written_at_every_start(home, start_agent):
    agent = start_agent()
    entry = autostart_entry(home)
    wait_until(entry.exists, "the autostart entry")
    text = entry.read_text()
    assert f"\nExec={os.path.realpath(AGENT)}\n" in text
    assert "\nName=Corvane Compliance\n" in text
    subprocess.run(["desktop-file-validate", str(entry)], check=True)
    agent.stop()

    entry.write_text(text.replace("Exec=", "Exec=/old/place/"))
    start_agent()
    wait_until(lambda: entry.read_text() == text, "the entry rewritten")
    assert sorted(p.name for p in entry.parent.iterdir()) == [entry.name]


def test_login_item_the_person_turned_off_is_left_alone(home, start_agent):
    entry = autostart_entry(home)
    entry.parent.mkdir(parents=True)
    disabled = b"[Desktop Entry]\r\nType=Application\r\nExec=/old/corvane-agent\r\nX-GNOME-Autostart-enabled = false\r\n"
    entry.write_bytes(disabled)
    agent = start_agent()
    agent.wait_for_line("Current Location Authorization Status: 3")
    time.sleep(0.3)
    assert entry.read_bytes() == disabled


def test_login_item_defaults_to_dot_config(home, start_agent):
    agent = Agent(home)
    agent.env.pop("XDG_CONFIG_HOME")
    agent.start()
    try:
        wait_until((home / ".config" / "autostart" / "com.corvane.Agent.desktop").is_file, "the entry")
    finally:
        agent.stop()
