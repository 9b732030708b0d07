#!/usr/bin/python3
"""Prints a served report signed the way the agent signs, with a fresh key and
strings that need every kind of escape: an independent check of the module."""
import base64
import json

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec

FACTS = {
    "timestamp": 1796544000,
    "device_id": "5B0F2A61-0E3C-4C8B-9A17-2D4E6F8A1B3C",
    "connected_network": {"ssid": "Café/Bar \"5G\" \\ tab\there", "bssid": "3c:a6:2f:12:9e:41"},
    "nearby_networks": [
        {"ssid": "日本語 😀 \u0001\u001f\u007f\u2028</script>", "bssid": "f0:9f:c2:7a:10:05", "rssi": -71, "channel": 6},
        {"ssid": "", "bssid": "00:00:00:00:00:00", "rssi": -100, "channel": 165},
    ],
    "vpn_active": True,
}


def canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).replace("/", "\\/")


def main():
    key = ec.generate_private_key(ec.SECP256R1())
    signature = key.sign(canonical(FACTS).encode(), ec.ECDSA(hashes.SHA256()))
    point = key.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    served = dict(FACTS, signature=base64.b64encode(signature).decode(), public_key=base64.b64encode(point).decode())
    print(json.dumps(served, sort_keys=True, indent=2, ensure_ascii=False).replace("/", "\\/"))


if __name__ == "__main__":
    main()
