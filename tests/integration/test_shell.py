"""The agent as a person meets it: in a panel (and when the panel leaves), its menu and status window, without a
tray, started twice, past whatever holds up the session bus, without a display, at signals, and its login item."""
import base64
import fcntl
import hashlib
import os
import re
import signal
import socket
import subprocess
import time

import dbus
import pytest

from conftest import AGENT, PORT, READY_LINE, Agent, exchange, wait_until
from desktop import ITEM, NOTIFICATIONS, Desktop

APP, APP_PATH, APP_INTERFACE = "com.corvane.Agent", "/com/corvane/Agent", "org.freedesktop.Application"
GRANTED = "Current Location Authorization Status: 3"
STATUS_TITLE = "Corvane Compliance — Status"
NO_WIFI = "No WiFi interface found."
NO_WIFI_DIAGNOSTIC = ["--- Starting WiFi Diagnostic ---", GRANTED, "NOT CURRENTLY CONNECTED TO ANY WIFI",
                      "---------------------------", NO_WIFI, "No nearby networks found.",
                      "--- WiFi Diagnostic Complete ---"]


@pytest.fixture(scope="module")
def desktop(tmp_path_factory):
    """One X server and session bus for the tray scenario, its agent started before any panel."""
    screen = Desktop(tmp_path_factory.mktemp("desktop"))
    # Without XDG_CONFIG_HOME, so the login item goes to ~/.config.
    screen.agent = Agent(tmp_path_factory.mktemp("home"), env={**screen.env, "XDG_CONFIG_HOME": None}).start()
    yield screen
    screen.agent.stop()
    screen.stop()


def test_start_up_lines_and_login_item(desktop):
    desktop.agent.wait_for_line(GRANTED)
    assert desktop.agent.lines[:2] == [READY_LINE, GRANTED]
    entry = desktop.agent.home / ".config" / "autostart" / "com.corvane.Agent.desktop"
    wait_until(entry.exists, "the login item")
    assert f"\nExec={os.path.realpath(AGENT)}\n" in entry.read_text() and "NoDisplay" not in entry.read_text()
    subprocess.run(["desktop-file-validate", str(entry)], check=True)


def test_item_appears_when_the_panel_starts_after_the_agent_with_its_menu_and_icon(desktop):
    desktop.panel = desktop.start_panel()
    assert desktop.prop("Title") == desktop.prop("ToolTip")[2] == "Corvane Compliance"
    assert [entry[1:] for entry in desktop.entries()] == [
        ("Check Status...", "standard"), ("", "separator"), ("Quit Corvane", "standard")]
    images = desktop.prop("IconPixmap")  # a shield on a transparent background
    assert images
    for width, height, argb in images:
        alpha = bytes(argb)[::4]  # ARGB32 in network byte order
        assert [alpha[0], alpha[width - 1], alpha[-width], alpha[-1]] == [0, 0, 0, 0]
        assert alpha[height // 2 * width + width // 2] == 255


def test_left_click_opens_the_menu_at_the_pointer(desktop):
    before = desktop.windows()
    desktop.item()[0].Activate(0, 0, dbus_interface=ITEM)
    pointer = desktop.x.screen().root.query_pointer()
    menu = (1, "Corvane Compliance", pointer.root_x, pointer.root_y)  # override-redirect, at the pointer
    wait_until(lambda: menu in desktop.windows(), "the menu")
    assert [w for w in desktop.windows() if w not in before] == [menu]


def test_check_status_shows_the_status_window(desktop):  # and prints the diagnostic, as the scenario below checks
    desktop.click("Check Status...")
    wait_until(lambda: STATUS_TITLE in [title for _, title, _, _ in desktop.windows()], "the status window")


def test_quit_ends_with_status_0_frees_the_port_and_said_nothing_on_stderr(desktop):
    desktop.click("Quit Corvane")
    assert desktop.agent.proc.wait(10) == 0
    assert_port_free()
    assert desktop.agent.stderr == ""


def test_without_a_tray_a_notification_and_the_desktop_entry_lead_to_the_status_window(tmp_path):
    screen, agent = Desktop(tmp_path), None
    try:
        screen.start_mock(NOTIFICATIONS, "--template", "notification_daemon")
        with socket.socket(socket.AF_INET6) as squatter:  # the second address taken: the first is let go again
            squatter.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            squatter.bind(("::1", PORT))
            squatter.listen()
            agent = Agent(tmp_path / "home", env=screen.env).start(wait_ready=False)
            wait_until(screen.notifications, "a notification", timeout=15)
            # What a launcher does with the D-Bus activatable desktop entry.
            screen.bus.get_object(APP, APP_PATH).Activate(dbus.Dictionary({}, signature="sv"), dbus_interface=APP_INTERFACE)
            taken = "Web pages cannot reach the agent: port 12180 is used by another program (trying again)"
            assert screen.copied_status(taken)[0] == taken
        agent.wait_for_line(READY_LINE, timeout=31)  # the longest back-off
        assert [line for line in agent.lines if "Bridge" in line] == [
            "Bridge failed: The bound address is already in use", READY_LINE]
        report = agent.get_report(origin="https://portal.example")

        start = len(agent.lines)
        second = subprocess.run([AGENT], env=agent.env, capture_output=True, text=True, timeout=10)
        assert (second.returncode, second.stdout) == (0, "Corvane Compliance is already running: showing its status window\n")
        agent.wait_for_line(NO_WIFI_DIAGNOSTIC[-1], start=start)
        digest = hashlib.sha256(base64.b64decode(report["public_key"])).hexdigest()
        status = screen.copied_status("Web pages can reach the agent on 127.0.0.1:12180 and [::1]:12180")
        assert status[1] == f"Device ID: {report['device_id']}"
        assert "Key fingerprint: SHA-256 " + " ".join(digest[i:i + 4] for i in range(0, 64, 4)) in status
        assert status[2] == "Reports signed by this session (key in a file)"
        assert status[-len(NO_WIFI_DIAGNOSTIC) - 2].startswith("Last report served: ")
        assert status[-len(NO_WIFI_DIAGNOSTIC) - 2].endswith(", to https://portal.example")
        assert status[-len(NO_WIFI_DIAGNOSTIC):] == NO_WIFI_DIAGNOSTIC
        assert [title for _, title, _, _ in screen.windows()].count(STATUS_TITLE) == 1
        assert len(screen.notifications()) == 1

        screen.press("alt+q")
        assert agent.proc.wait(10) == 0
    finally:
        if agent:
            agent.stop()
        screen.stop()


def test_a_panel_that_leaves_brings_one_notification_and_the_item_goes_back_when_one_returns(tmp_path):
    screen, agent = Desktop(tmp_path), None
    try:
        screen.start_mock(NOTIFICATIONS, "--template", "notification_daemon")
        panel = screen.start_panel()
        agent = Agent(tmp_path / "home", env=screen.env).start()
        for _ in range(2):  # the notification once per run, not once per panel that leaves
            screen.item()
            panel.terminate()
            panel.wait(10)
            wait_until(screen.notifications, "a notification", timeout=15)
            time.sleep(4)  # past the agent's grace period for a panel that restarts
            assert len(screen.notifications()) == 1
            panel = screen.start_panel()
        assert screen.entries()[0][1] == "Check Status..."
    finally:
        if agent:
            agent.stop()
        screen.stop()


@pytest.mark.parametrize("obstacle", ["a daemon that never answers", "a program that answers", "a program that does not"])
def test_nothing_on_the_session_bus_keeps_the_agent_from_serving_or_ending(tmp_path, obstacle):
    screen, agent = Desktop(tmp_path), None
    try:
        if obstacle == "a daemon that never answers":
            screen.daemon.send_signal(signal.SIGSTOP)  # it still accepts connections
            said = ("The session bus did not answer: running without the name com.corvane.Agent, the tray item and "
                    "notifications until it does")
        else:
            if obstacle == "a program that answers":
                pid = screen.start_mock(APP, APP, APP_PATH, APP_INTERFACE).pid
                screen.bus.get_object(APP, APP_PATH).AddMethod(APP_INTERFACE, "Activate", "a{sv}", "", "",
                                                               dbus_interface="org.freedesktop.DBus.Mock")
            else:  # this test's own connection, which never reads its messages
                pid = os.getpid()
                screen.bus.request_name(APP)
            said = (f"The name com.corvane.Agent is held by process {pid} ({os.readlink(f'/proc/{pid}/exe')}, user "
                    f"{os.getuid()}): running without it")
        agent = Agent(tmp_path / "home", env=screen.env).start()
        assert agent.lines[:2] == [said, READY_LINE]
        assert agent.get_report()["device_id"]
        if obstacle == "a daemon that never answers":
            screen.daemon.send_signal(signal.SIGCONT)
            wait_until(lambda: screen.bus.name_has_owner(APP), "the name once the daemon answers", timeout=15)
            screen.daemon.send_signal(signal.SIGSTOP)
        assert agent.stop() == 0
    finally:
        if agent:
            agent.stop()
        screen.stop()


@pytest.mark.parametrize("display, sig", [(None, signal.SIGTERM), (":97", signal.SIGINT), (None, signal.SIGHUP)])
def test_serves_without_a_display_and_ends_cleanly_on_a_signal(start_agent, display, sig):
    # ":97" names a display that nobody serves.
    agent = start_agent({"QT_QPA_PLATFORM": None, "DISPLAY": display})
    assert agent.get_report()["device_id"]
    assert agent.stop(sig) == 0
    assert_port_free()


def test_a_log_reader_that_stalls_or_leaves_holds_nothing_up(start_agent):
    # Without GLib nothing else ignores SIGPIPE for the agent.
    agent = start_agent({"QT_NO_GLIB": "1"})
    fcntl.fcntl(agent.proc.stdout, fcntl.F_SETPIPE_SZ, 4096)
    agent.reading.clear()  # a paused terminal: each report's line soon finds the pipe full
    reports = 800
    for _ in range(reports):
        assert exchange(b"OPTIONS / HTTP/1.1\r\n\r\n", timeout=5).startswith(b"HTTP/1.1 204 ")
        assert agent.get_report()["connected_network"]["ssid"] == "None"
    agent.reading.set()
    wait_until(lambda: any(line.startswith("Log: ") for line in agent.lines), "the count of lost lines")
    notices = [re.fullmatch(r"Log: (\d+) lines dropped while standard output was not read", line)
               for line in agent.lines if line.startswith("Log: ")]
    # Every line whole, and each one either written or counted.
    assert {line for line in agent.lines if "QT_NO_GLIB" not in line and not line.startswith("No usable TPM")} == {
        READY_LINE, GRANTED, NO_WIFI, notices[0][0]}
    assert agent.lines.count(NO_WIFI) + int(notices[0][1]) == reports and len(notices) == 1

    agent.hung_up = True
    agent.get_report()
    wait_until(lambda: agent.proc.stdout.closed, "the log reader to leave")
    agent.get_report()
    assert agent.stop() == 0


def assert_port_free():
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", PORT))
