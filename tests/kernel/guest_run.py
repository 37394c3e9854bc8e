#!/usr/bin/env python3
"""Boots the guest against the emulated board and returns what each guest command printed.

  guest_run.py --guest BUILD/guest --server BUILD/bin/vesk-sim-usbredir --images DIR \\
      [--hc xhci|ehci] [--deadline SECONDS] [--server-arg=ARG ...] [--after N:LINE ...] \\
      COMMAND...

starts vesk-sim-usbredir on a fresh socket, boots QEMU (TCG) with the guest kernel and an
initramfs made of the guest image plus DIR as /images and the COMMANDs as /commands, and
prints each command's output and exit status. QEMU and the server are stopped by their
process ids when the deadline passes; a guest that did not finish is an error (exit 1).
"""

import argparse
import dataclasses
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

QEMU = "qemu-system-x86_64"
QBOOT = pathlib.Path("/usr/share/qemu/qboot.rom")
MARK = "@@VESK "


class GuestError(Exception):
    """The guest could not be booted or did not finish: the message says why."""


@dataclasses.dataclass
class CommandResult:
    command: str
    output: str = ""
    status: int | None = None


@dataclasses.dataclass
class GuestRun:
    commands: list
    device: str | None  # "VID:PID SPEED" of the first USB device the guest saw
    console: str  # everything the guest printed
    server_log: str
    server_status: int | None
    eeprom_out: pathlib.Path | None
    wall_seconds: float
    qemu_cpu_seconds: float


def _newc_entry(name, data, mode):
    header = "070701" + "".join(
        f"{value:08X}" for value in (0, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0)
    )
    out = header.encode() + name.encode() + b"\0"
    out += b"\0" * (-len(out) % 4) + data
    return out + b"\0" * (-len(out) % 4)


def run_cpio(images, commands):
    """A small newc archive: /images/* (the image folder) and /commands."""
    out = bytearray()
    out += _newc_entry("images", b"", 0o040755)
    for path in sorted(pathlib.Path(images).iterdir()) if images else []:
        if path.is_file():
            out += _newc_entry(f"images/{path.name}", path.read_bytes(), 0o100644)
    out += _newc_entry("commands", "".join(c + "\n" for c in commands).encode(), 0o100644)
    out += _newc_entry("TRAILER!!!", b"", 0)
    return bytes(out + b"\0" * (-len(out) % 512))


def control(path, line, timeout=5.0):
    """One command to the server's control socket; its one-line answer."""
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(timeout)
        sock.connect(str(path))
        sock.sendall(line.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = sock.recv(256)
            if not chunk:
                break
            answer += chunk
    return answer.decode().strip()


def _wait_for_socket(path, server, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if os.path.exists(path):
            return
        if server.poll() is not None:
            raise GuestError(f"vesk-sim-usbredir exited with {server.returncode} before listening")
        time.sleep(0.02)
    raise GuestError(f"vesk-sim-usbredir did not listen on {path} within {seconds} s")


def run_guest(guest, server, images, commands, hc="xhci", deadline=60.0, server_args=(),
              eeprom_out=True, after_command=None, memory="384M"):
    """Boots one guest. `after_command` maps a command number (from 1) to a control line
    sent to the server as soon as that command has ended."""
    guest = pathlib.Path(guest)
    for name in ("vmlinux", "initramfs.cpio"):
        if not (guest / name).is_file():
            raise GuestError(f"{guest / name} is missing: build the guest image first")
    if shutil.which(QEMU) is None:
        raise GuestError(f"{QEMU} not found: install the Debian package qemu-system-x86")
    if not QBOOT.is_file():
        raise GuestError(f"{QBOOT} not found: install the Debian package qemu-system-data")
    controllers = {"xhci": "qemu-xhci", "ehci": "usb-ehci"}
    if hc not in controllers:
        raise GuestError(f"unknown host controller {hc}: xhci or ehci")

    work = pathlib.Path(tempfile.mkdtemp(prefix="vesk-guest-"))
    try:
        initrd = work / "initrd"
        with open(initrd, "wb") as out:
            with open(guest / "initramfs.cpio", "rb") as base:
                shutil.copyfileobj(base, out)
            out.write(run_cpio(images, commands))
        sock, ctl = work / "board.sock", work / "control.sock"
        eeprom = work / "eeprom.bin" if eeprom_out else None
        server_cmd = [str(server), str(sock), "--control", str(ctl), *server_args]
        if eeprom:
            server_cmd += ["--eeprom-out", str(eeprom)]
        server_log = open(work / "server.log", "w+")
        board = subprocess.Popen(server_cmd, stdout=server_log, stderr=subprocess.STDOUT)
        qemu = None
        started = time.monotonic()
        try:
            _wait_for_socket(sock, board, 10)
            qemu_cmd = [
                QEMU, "-accel", "tcg", "-M", "pc", "-cpu", "max", "-m", memory, "-smp", "1",
                "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
                "-bios", str(QBOOT), "-serial", "stdio", "-monitor", "none",
                "-kernel", str(guest / "vmlinux"), "-initrd", str(initrd),
                "-append", f"console=ttyS0 loglevel=1 panic=-1 vesk.hc={hc}",
                "-chardev", f"socket,id=board,path={sock}",
                "-device", f"{controllers[hc]},id=hc",
                "-device", "usb-redir,chardev=board,bus=hc.0",
            ]
            qemu = subprocess.Popen(qemu_cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
            lines = []
            done = threading.Event()

            def read_console():
                for raw in qemu.stdout:
                    line = raw.decode(errors="replace").rstrip("\r\n").replace("\r", "")
                    lines.append(line)
                    if line.startswith(MARK + "END ") and after_command:
                        number = int(line.split()[2])
                        if number in after_command:
                            try:
                                answer = control(ctl, after_command[number])
                            except OSError as error:
                                answer = str(error)
                            if answer != "ok":
                                lines.append(f"{MARK}CONTROL-FAILED {answer}")
                done.set()

            reader = threading.Thread(target=read_console, daemon=True)
            reader.start()
            finished = done.wait(deadline)
            if not finished:
                os.kill(qemu.pid, 9)
            _, wait_status, usage = os.wait4(qemu.pid, 0)
            qemu.returncode = qemu_status = os.waitstatus_to_exitcode(wait_status)
            reader.join(5)
            wall = time.monotonic() - started
            try:
                server_status = board.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(board.pid, 15)
                server_status = board.wait(10)
        finally:
            for process in (qemu, board):
                if process is not None and process.poll() is None:
                    os.kill(process.pid, 9)
                    process.wait()
        server_log.seek(0)
        server_text = server_log.read()
        server_log.close()
        console = "\n".join(lines)
        if not finished:
            raise GuestError(f"the guest did not finish within {deadline} s; it printed:\n"
                             f"{console[-3000:]}\nserver:\n{server_text[-2000:]}")
        if f"{MARK}DONE" not in lines:
            raise GuestError(f"QEMU ended ({qemu_status}) before the guest's commands did:\n"
                             f"{console[-3000:]}\nserver:\n{server_text[-2000:]}")
        results, current, device = [], None, None
        for line in lines:
            if line.startswith(MARK + "DEVICE "):
                device = line[len(MARK + "DEVICE "):]
            elif line.startswith(MARK + "BEGIN "):
                current = CommandResult(commands[len(results)])
                results.append(current)
            elif line.startswith(MARK + "END ") and current is not None:
                current.status = int(line.split()[3])
                current.output = current.output.removesuffix("\n")
                current = None
            elif current is not None:
                current.output += line + "\n"
        kept = None
        if eeprom and eeprom.exists():
            kept = pathlib.Path(tempfile.mkstemp(prefix="vesk-eeprom-", suffix=".bin")[1])
            shutil.move(eeprom, kept)
        return GuestRun(results, device, console, server_text, server_status, kept, wall,
                        usage.ru_utime + usage.ru_stime)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--guest", required=True, type=pathlib.Path)
    parser.add_argument("--server", required=True, type=pathlib.Path)
    parser.add_argument("--images", type=pathlib.Path)
    parser.add_argument("--hc", default="xhci")
    parser.add_argument("--deadline", type=float, default=60.0)
    parser.add_argument("--server-arg", action="append", default=[])
    parser.add_argument("--after", action="append", default=[], metavar="N:LINE",
                        help="send LINE to the server's control socket when command N has ended")
    parser.add_argument("commands", nargs="+")
    args = parser.parse_args(argv[1:])
    after = {}
    for item in args.after:
        number, _, line = item.partition(":")
        after[int(number)] = line
    try:
        run = run_guest(args.guest, args.server, args.images, args.commands, args.hc,
                        args.deadline, args.server_arg, after_command=after)
    except GuestError as error:
        print(f"guest_run: {error}", file=sys.stderr)
        return 1
    print(f"device: {run.device}")
    for number, result in enumerate(run.commands, 1):
        print(f"--- {number}: {result.command} (exit {result.status})")
        print(result.output)
    print(f"--- server (exit {run.server_status})\n{run.server_log}", end="")
    print(f"wall {run.wall_seconds:.2f} s, QEMU CPU {run.qemu_cpu_seconds:.2f} s")
    if run.eeprom_out:
        print(f"EEPROM: {run.eeprom_out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
