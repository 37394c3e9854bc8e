#!/usr/bin/env python3
"""vesk-sim-usbredir against a peer that breaks the protocol (no QEMU needed).

  server_protocol_test.py SERVER

A second client is turned away while the first is served; each malformed message ends the
connection (exit status 1, the reason on standard error) and the EEPROM file is still
written whole.
"""

import os
import pathlib
import socket
import struct
import subprocess
import sys
import tempfile
import time

EEPROM_SIZE = 12 * 32768
HELLO = 0
CONTROL_PACKET = 100


def message(kind, body, ident=0):
    """A usbredir header before the peers have agreed on 64-bit ids: type, length, id32."""
    return struct.pack("<III", kind, len(body), ident) + body


def hello():
    return message(HELLO, b"server-protocol-test".ljust(64, b"\0") + struct.pack("<I", 0))


# What a peer might send after its hello; each must end the connection.
MALFORMED = {
    "unknown message type": message(77, b""),
    "a length no message can have": struct.pack("<III", CONTROL_PACKET, 0x7FFFFFF0, 1),
    "a control packet whose header is cut short": message(CONTROL_PACKET, b"\x80\x06"),
    "a second hello": hello() + hello(),
    # Vendor OUT, wLength 64, three data bytes.
    "an OUT transfer shorter than its wLength": message(
        CONTROL_PACKET, struct.pack("<BBBBHHH", 0x00, 0xC6, 0x40, 0, 1, 0, 64) + b"abc", 1),
}


def start(server, work):
    sock, eeprom = work / "board.sock", work / "eeprom.bin"
    process = subprocess.Popen([server, str(sock), "--fast", "--eeprom-out", str(eeprom)],
                               stderr=subprocess.PIPE)
    for _ in range(500):
        if sock.exists():
            return process, sock, eeprom
        time.sleep(0.01)
    process.kill()
    raise SystemExit(f"{server} did not listen on {sock}")


def connect(path):
    # The socket's file is there from its bind, a moment before the server listens.
    for _ in range(500):
        client = socket.socket(socket.AF_UNIX)
        client.settimeout(10)
        try:
            client.connect(str(path))
            return client
        except ConnectionRefusedError:
            client.close()
            time.sleep(0.01)
    raise SystemExit(f"nothing listens on {path}")


def main(argv):
    server = argv[1]
    failures = []
    for name, data in MALFORMED.items():
        with tempfile.TemporaryDirectory() as scratch:
            process, sock, eeprom = start(server, pathlib.Path(scratch))
            try:
                first = connect(sock)
            except BaseException:
                process.kill()  # a server left running would hold the test's output open
                raise
            first.sendall(hello())
            greeting = first.recv(4096)
            second = connect(sock)
            refused = second.recv(16) == b""
            first.sendall(data)
            try:
                status = process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                status = None
            said = process.stderr.read().decode()
            size = eeprom.stat().st_size if eeprom.exists() else None
            leftovers = sorted(p.name for p in pathlib.Path(scratch).iterdir()
                               if p.name != "eeprom.bin")
            first.close()
            second.close()
            checks = [
                (struct.unpack("<I", greeting[:4])[0] == HELLO, "no hello from the server"),
                (refused and "refused a second client" in said, "a second client was served"),
                (status == 1, f"exit status {status}, not 1"),
                ("connection ended" in said, f"no reason given: {said!r}"),
                (size == EEPROM_SIZE, f"--eeprom-out holds {size} bytes"),
                (not leftovers, f"left behind: {leftovers}"),
            ]
            failures += [f"{name}: {what}" for ok, what in checks if not ok]
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"{len(MALFORMED)} malformed messages, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
