"""The .deb as Debian sees it, then installed, run and purged in an isolated root: a private mount
namespace whose /usr, /var and /etc are throwaway overlays, so the host's packages stay as they are
and its dpkg lock is never taken."""
import glob
import json
import os
import re
import subprocess
import sys

import pytest

BUILD_DIR = os.environ["CORVANE_BUILD_DIR"]
INTEGRATION_DIR = os.path.join(os.environ["CORVANE_SOURCE_DIR"], "tests", "integration")
sys.path.insert(0, INTEGRATION_DIR)
from test_bridge import PREFLIGHT  # noqa: E402

UNITS = ["usr/lib/systemd/system/corvane-signer.service", "usr/lib/systemd/system/corvane-signer.socket"]
FILES = sorted([
    "usr/bin/corvane-agent", "usr/bin/corvane-signer", "usr/bin/corvane-verify", *UNITS,
    "usr/share/applications/com.corvane.Agent.desktop",
    "usr/share/dbus-1/services/com.corvane.Agent.service",
    "usr/share/corvane-agent/corvane-verify.js", "usr/share/doc/corvane-agent/README.md",
    "usr/share/doc/corvane-agent/changelog.Debian.gz", "usr/share/doc/corvane-agent/copyright",
    "usr/share/doc/corvane-agent/examples/70-tpm-uaccess.rules",
    *(f"usr/share/doc/corvane-agent/docs/{name}.md" for name in ("administrators", "development", "portals")),
    "usr/share/icons/hicolor/scalable/apps/com.corvane.Agent.svg", "usr/share/man/man1/corvane-agent.1.gz",
    "usr/share/man/man1/corvane-verify.1.gz", "usr/share/man/man8/corvane-signer.8.gz",
    *(f"usr/share/icons/hicolor/{n}x{n}/apps/com.corvane.Agent.png" for n in (16, 22, 24, 32, 48, 64, 128, 256))])

# Runs in the private mount namespace; prints what the purge left behind.
ISOLATED_ROOT = r"""
mount -t tmpfs layers "$LAYERS" || exit 77
for dir in usr var etc; do
  mkdir "$LAYERS/$dir" "$LAYERS/$dir.work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$LAYERS/$dir,workdir=$LAYERS/$dir.work" "/$dir" || exit 77
done
dpkg --log=/dev/null -i "$DEB" >/dev/null || exit 1
[ -L /etc/systemd/system/sockets.target.wants/corvane-signer.socket ] || echo "the socket is not enabled"
systemd-analyze verify /usr/lib/systemd/system/corvane-signer.* 2>&1
systemd-analyze security --offline=yes corvane-signer.service 2>&1 | tail -n 1 >"$EXPOSURE"
# The agent as installed, alone and then with the installed signer on its usual socket.
mount -t tmpfs run /run && mkdir -m 0755 /run/corvane && chown 4242:4242 /run/corvane
"$RUN_IN_NAMESPACE" bash -c 'ask() { curl -s -H "Origin: https://portal.example" "http://127.0.0.1:12180/?nonce=$1"; }
  /usr/bin/corvane-agent >/dev/null & agent=$!
  for i in $(seq 50); do curl -si -X OPTIONS http://127.0.0.1:12180/ && break; sleep 0.1; done
  ask aloneAloneAloneAlone >"$REPORTS"; kill $agent; wait $agent
  setpriv --reuid=4242 --regid=4242 --clear-groups /usr/bin/corvane-signer --socket /run/corvane/signer.sock \
    --state-directory /run/corvane/state >/dev/null & signer=$!
  /usr/bin/corvane-agent >/dev/null & agent=$!
  for i in $(seq 50); do [ -S /run/corvane/signer.sock ] && curl -s -X OPTIONS http://127.0.0.1:12180/ && break; sleep 0.1; done
  ask withTheSystemSigner >>"$REPORTS"; kill $agent $signer; wait $agent $signer' >"$PREFLIGHT"
dpkg --log=/dev/null --purge corvane-agent >/dev/null || exit 1
for file in "$@"; do [ ! -e "/$file" ] || echo "/$file"; done
"""


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("deb")
    subprocess.run(["cpack", "-G", "DEB", "-B", str(out)], cwd=BUILD_DIR, check=True, stdout=subprocess.DEVNULL)
    [package] = glob.glob(str(out / "corvane-agent_*.deb"))
    return package


def test_deb_lists_its_files_and_dependencies_and_lintian_only_notes_the_first_upload(deb):
    listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
    names = subprocess.run(["tar", "-t"], input=listing, capture_output=True, check=True).stdout.decode().split()
    assert sorted(n.lstrip("./") for n in names if not n.endswith("/")) == FILES
    depends, recommends = subprocess.run(["dpkg-deb", "--show", "--showformat", "${Depends}\n${Recommends}", deb],
                                         capture_output=True, text=True, check=True).stdout.split("\n")
    assert "libqt6svg6" in depends.split(", ") and {"qt6-wayland", "tpm2-openssl"} <= set(recommends.split(", "))
    lintian = subprocess.run(["lintian", deb], capture_output=True, text=True).stdout.splitlines()
    assert [line.split()[2] for line in lintian] == ["initial-upload-closes-no-bugs"], lintian


def test_installed_package_serves_and_purges_cleanly(deb, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("installing the .deb into an isolated root needs root (a mount namespace with overlays)")
    home, layers = tmp_path / "home", tmp_path / "layers"
    home.mkdir(), layers.mkdir()
    env = {"PATH": os.environ["PATH"], "HOME": str(home), "XDG_RUNTIME_DIR": str(tmp_path), "DEB": deb,
           "LAYERS": str(layers), "PREFLIGHT": str(tmp_path / "preflight"), "RUN_IN_NAMESPACE": os.path.join(INTEGRATION_DIR, "run-in-namespace"),
           "EXPOSURE": str(tmp_path / "exposure"), "REPORTS": str(tmp_path / "reports"),
           "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent", "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent"}
    run = subprocess.run(["unshare", "--mount", "--propagation", "private", "bash", "-c", ISOLATED_ROOT, "bash",
                          *FILES], env=env, capture_output=True, text=True, timeout=300)
    if run.returncode == 77:
        pytest.skip("no private mount namespace with overlays here: " + run.stderr.strip())
    assert (run.returncode, run.stdout) == (0, ""), run.stderr
    assert (tmp_path / "preflight").read_bytes() == PREFLIGHT
    # The service's sandbox: systemd's own measure, 2.0 or lower.
    exposure = (tmp_path / "exposure").read_text()
    assert float(re.search(r"exposure level for corvane-signer\.service: ([0-9.]+)", exposure)[1]) <= 2.0, exposure
    # Signed in the session without the signer, by the signer once it is there.
    both = (tmp_path / "reports").read_text()
    alone, end = json.JSONDecoder().raw_decode(both)
    relayed = json.loads(both[end:])
    assert (alone["signer"], relayed["signer"], relayed["nonce"]) == ("session", "system", "withTheSystemSigner")
    # The person's login item stays, pointing at the installed agent.
    assert "\nExec=/usr/bin/corvane-agent\n" in (home / ".config/autostart/com.corvane.Agent.desktop").read_text()
