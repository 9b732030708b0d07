"""Installing the agent the Debian way: cmake --install and the .deb."""
import glob
import os
import subprocess
import sys

import pytest

BUILD_DIR = os.environ["CORVANE_BUILD_DIR"]
SOURCE_DIR = os.environ["CORVANE_SOURCE_DIR"]
INTEGRATION_DIR = os.path.join(SOURCE_DIR, "tests", "integration")
RUN_IN_NAMESPACE = os.path.join(INTEGRATION_DIR, "run-in-namespace")
sys.path.insert(0, INTEGRATION_DIR)
from test_bridge import PREFLIGHT_ANY_ORIGIN as PREFLIGHT  # noqa: E402

INSTALLED_FILES = [
    "usr/bin/corvane-agent",
    "usr/bin/corvane-verify",
    "usr/share/applications/com.corvane.Agent.desktop",
    "usr/share/corvane-agent/corvane-verify.js",
    "usr/share/doc/corvane-agent/README.md",
    "usr/share/doc/corvane-agent/changelog.Debian.gz",
    "usr/share/doc/corvane-agent/copyright",
    "usr/share/icons/hicolor/scalable/apps/com.corvane.Agent.svg",
]



def files_below(root):
    found = []
    for directory, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(directory, name), root) for name in names]
    return sorted(found)


def test_cmake_install_puts_exactly_the_expected_files(tmp_path):
    env = dict(os.environ, DESTDIR=str(tmp_path))
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", "/usr"], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    assert files_below(tmp_path) == INSTALLED_FILES
    subprocess.run(["desktop-file-validate", str(tmp_path / "usr/share/applications/com.corvane.Agent.desktop")],
                   check=True)


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("deb")
    subprocess.run(["cpack", "-G", "DEB", "-B", str(out)], cwd=BUILD_DIR, check=True, stdout=subprocess.DEVNULL)
    [package] = glob.glob(str(out / "corvane-agent_*.deb"))
    return package


def test_deb_has_no_lintian_errors_and_lists_its_files(deb):
    lintian = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True, text=True)
    assert lintian.returncode == 0, lintian.stdout + lintian.stderr
    listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
    names = subprocess.run(["tar", "-t"], input=listing, capture_output=True, check=True).stdout.decode().split()
    assert sorted(n.lstrip("./") for n in names if not n.endswith("/")) == INSTALLED_FILES
    control = subprocess.run(["dpkg-deb", "--field", deb, "Package", "Maintainer", "Depends"],
                             capture_output=True, text=True, check=True).stdout
    assert "Package: corvane-agent" in control and "libqt6core6" in control


def test_installed_package_serves_and_removes_cleanly(deb, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("installing the .deb needs root (CI runs as root)")
    if subprocess.run(["dpkg", "-s", "corvane-agent"], capture_output=True).returncode == 0:
        pytest.skip("corvane-agent is installed on this machine already; not touching it")

    home = tmp_path / "home"
    home.mkdir()
    subprocess.run(["dpkg", "-i", deb], check=True, stdout=subprocess.DEVNULL)
    try:
        answer = subprocess.run(
            [RUN_IN_NAMESPACE, "bash", "-c",
             "/usr/bin/corvane-agent >/dev/null & agent=$!;"
             " for i in $(seq 50); do"
             "   curl -si -X OPTIONS http://127.0.0.1:12180/ && break; sleep 0.1;"
             " done; kill $agent; wait $agent"],
            env={"PATH": os.environ["PATH"], "HOME": str(home), "XDG_RUNTIME_DIR": str(tmp_path),
                 "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent",
                 "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent"},
            capture_output=True, timeout=60)
        assert answer.stdout == PREFLIGHT, answer.stderr
        entry = home / ".config/autostart/com.corvane.Agent.desktop"
        assert "\nExec=/usr/bin/corvane-agent\n" in entry.read_text()
    finally:
        subprocess.run(["dpkg", "--purge", "corvane-agent"], check=True, stdout=subprocess.DEVNULL)

    for path in INSTALLED_FILES:
        assert not os.path.exists("/" + path)
    assert entry.exists(), "the person's own files stay"
