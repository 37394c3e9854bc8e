#!/usr/bin/env python3
"""The shipped vesk-update in a guest kernel, against the emulated board on usbredir.

  kernel_test.py CASE --build BUILD --source SOURCE

Each case is one boot (guest_run.py); it asserts on what the guest printed and on the
EEPROM the server saved. The reference EEPROM of a run is what the same vesk-update makes
of the same images on the emulated board without any USB stack (--board=emulated).
"""

import argparse
import base64
import gzip
import hashlib
import pathlib
import re
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import guest_run  # noqa: E402

# The two questions (start, power cycle) answered through a pipe: with --yes the console
# would watch the board through a power cycle that only some tests make.
RUN = "printf 'y\\ny\\n' | vesk-update --log /tmp/run.log -C /images >/dev/null"
SHOW_LOG = "base64 /tmp/run.log"
CAMCON_LINE = "Downloading CamCon...please wait.....\r\n"
CAMCON_ERROR = "Error 0x4 (Failed to download CamCon)\r\n"


class Failure(Exception):
    pass


def successful_log(source):
    """kSuccessfulRunLog from the C++ tests' header, the one place it is written down."""
    text = (source / "tests/expected_logs.h").read_text()
    body = re.search(r"kSuccessfulRunLog =\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+);", text).group(1)
    pieces = re.findall(r"\"((?:[^\"\\]|\\.)*)\"", body)
    return "".join(piece.encode().decode("unicode_escape") for piece in pieces)


def failed_log(source, line, error):
    good = successful_log(source)
    return good[: good.index(line) + len(line)] + error + "Camera firmware update FAILED."


class Rig:
    def __init__(self, build, source):
        self.build, self.source = build, source
        self.tool = build / "bin/vesk-update"
        self.samples = source / "samples"
        self.crossing = build / "tests/kernel/crossing"
        self.scratch = pathlib.Path(tempfile.mkdtemp(prefix="vesk-kernel-test-"))
        self.problems = []
        self.run = None

    def boot(self, commands, images=None, hc="xhci", server_args=("--fast",), after=None):
        self.run = guest_run.run_guest(
            self.build / "guest", self.build / "bin/vesk-sim-usbredir", images or self.samples,
            commands, hc=hc, deadline=180, server_args=list(server_args), after_command=after)
        return self.run.commands

    def reference_eeprom(self, images, eeprom_in=None):
        """The EEPROM after a whole run of these images on the emulated board, on the host."""
        out = self.scratch / f"reference-{len(list(self.scratch.iterdir()))}.bin"
        command = [str(self.tool), "--board=emulated", "--yes", "-C", str(images),
                   "--eeprom-out", str(out)]
        if eeprom_in:
            command += ["--eeprom-in", str(eeprom_in)]
        finished = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # The crossing set's camera image does not blink, so that run ends at the power
        # cycle, after everything has been written.
        not_ready = b"not reported ready after its power cycle" in finished.stderr
        if finished.returncode != 0 and not (not_ready and out.exists()):
            raise Failure(f"{' '.join(command)} failed: {finished.stderr.decode()}")
        return out

    def expect(self, condition, what):
        if not condition:
            self.problems.append(what)

    def expect_run(self, result, status, log, cause=()):
        """A vesk-update run (RUN) and its log (SHOW_LOG, the next command)."""
        run, shown = result
        self.expect(run.status == status, f"{run.command}: exit {run.status}, not {status}")
        got = base64.b64decode(shown.output) if shown.status == 0 else b"(no log)"
        self.expect(got == log.encode(), f"{run.command}: the log is {got!r}, not {log!r}")
        for text in cause:
            self.expect(text in run.output, f"{run.command}: no {text!r} in what it said: "
                                            f"{run.output!r}")

    def expect_eeprom(self, reference):
        saved = self.run.eeprom_out.read_bytes() if self.run.eeprom_out else b""
        expected = pathlib.Path(reference).read_bytes()
        if saved != expected:
            at = next((i for i, (a, b) in enumerate(zip(saved, expected)) if a != b),
                      min(len(saved), len(expected)))
            self.problems.append(f"the board's EEPROM ({len(saved)} bytes) differs from the "
                                 f"reference ({len(expected)} bytes) at byte {at:#x}")
        return saved


def whole_run_over_xhci(rig):
    """The sample images through xHCI, then verify and read in the guest."""
    commands = rig.boot([RUN, SHOW_LOG, "vesk-update verify -C /images",
                         "vesk-update read /tmp/backup.bin >/dev/null && sha256sum /tmp/backup.bin"])
    rig.expect(rig.run.device == "04b4:8613 480",
               f"the guest saw {rig.run.device}, not the bare FX2 at high speed")
    log = successful_log(rig.source)
    rig.expect(len(log) == 433, f"the expected log has {len(log)} characters")
    rig.expect_run(commands[0:2], 0, log)
    verify = commands[2]
    rig.expect(verify.status == 0 and verify.output.count(": matches") == 7,
               f"verify: exit {verify.status}: {verify.output[-600:]!r}")
    saved = rig.expect_eeprom(rig.reference_eeprom(rig.samples))
    read = commands[3]
    rig.expect(read.status == 0 and hashlib.sha256(saved).hexdigest() in read.output,
               f"read: exit {read.status}, {read.output!r} is not the board's EEPROM")


def crossing_banks_over_ehci_then_power_cycle(rig):
    """Images that cross bank boundaries through EHCI; then the board is power-cycled and
    comes back as the camera (its C2 header's identity, its firmware answering)."""
    commands = rig.boot([RUN, SHOW_LOG, "sleep 1; vesk-update list --wait=10"],
                        images=rig.crossing, hc="ehci", after={2: "power-cycle"})
    rig.expect(rig.run.device == "04b4:8613 480", f"the guest saw {rig.run.device}")
    rig.expect_run(commands[0:2], 0, successful_log(rig.source))
    rig.expect_eeprom(rig.reference_eeprom(rig.crossing))
    listing = commands[2]
    rig.expect(listing.status == 0 and "125C:0010" in listing.output,
               f"after the power cycle: exit {listing.status}, {listing.output!r}")
    rig.expect("plugged in again as 125C:0010" in rig.run.server_log,
               f"the board did not boot the camera: {rig.run.server_log!r}")


def unplug_during_camcon(rig):
    """The cable pulled at CamCon's ninth beat and plugged in again a second later: the
    run fails, the header is erased, and the board, booting from the same EEPROM, takes a
    whole run."""
    before = rig.reference_eeprom(rig.crossing)  # a board initialised once already
    commands = rig.boot(
        [RUN, SHOW_LOG, "vesk-update list --wait=10 && vesk-update info", RUN, SHOW_LOG],
        server_args=["--fast", f"--eeprom-in={before}", "--unplug-at-request=38:C6",
                     "--replug-after=1"])
    rig.expect_run(commands[0:2], 1, failed_log(rig.source, CAMCON_LINE, CAMCON_ERROR),
                   cause=["camcon.bin", "no device"])
    info = commands[2]
    rig.expect(info.status == 0 and "125C:0010" in info.output and
               "ROM header: not valid" in info.output and "checksum 0xFF" in info.output,
               f"after the replug: exit {info.status}, {info.output!r}")
    rig.expect_run(commands[3:5], 0, successful_log(rig.source))
    rig.expect_eeprom(rig.reference_eeprom(rig.samples, eeprom_in=before))


def bus_reset_mid_run(rig):
    """A port reset 100 ms into CamCon's fourth beat: the run fails at CamCon and says why,
    and the EEPROM holds no byte the run did not send (each is erased or the reference's).
    After a port reset between runs (the control socket), a whole run succeeds."""
    dump = "vesk-update read /tmp/after.bin >/dev/null 2>&1 && gzip -c /tmp/after.bin | base64"
    # 0xC6 requests: the board check's 13 reads, the header's erase, 15 of BufCon, then CamCon's.
    commands = rig.boot([RUN, SHOW_LOG, dump, RUN, SHOW_LOG],
                        server_args=["--fast", "--reset-at-request=33:C6"], after={3: "reset"})
    rig.expect("bus reset in request 40 C6" in rig.run.server_log,
               f"the server did not reset the port: {rig.run.server_log!r}")
    rig.expect("CONTROL-FAILED" not in rig.run.console, "the control socket refused the reset")
    # Both of the server's own and at least the guest's reset when it enumerated the board.
    resets = re.search(r"(\d+) port resets", rig.run.server_log)
    rig.expect(resets and int(resets.group(1)) >= 3,
               f"the board saw too few port resets: {rig.run.server_log!r}")
    rig.expect_run(commands[0:2], 1, failed_log(rig.source, CAMCON_LINE, CAMCON_ERROR),
                   cause=["camcon.bin", "chip 1, bank 0"])
    reference = pathlib.Path(rig.reference_eeprom(rig.samples)).read_bytes()
    try:
        after = gzip.decompress(base64.b64decode(commands[2].output))
    except (ValueError, OSError) as error:
        after = b""
        rig.expect(False, f"no EEPROM dump after the reset ({error}): {commands[2].output[-300:]!r}")
    wrong = [i for i, byte in enumerate(after) if byte not in (0xFF, reference[i])]
    rig.expect(len(after) == len(reference) and not wrong,
               f"after the reset: {len(after)} bytes, {len(wrong)} neither erased nor the "
               f"reference's, the first at {wrong[:1]}")
    rig.expect(after != reference, "the reset run wrote everything all the same")
    rig.expect_run(commands[3:5], 0, successful_log(rig.source))
    rig.expect_eeprom(rig.reference_eeprom(rig.samples))


def guest_seconds(result):
    """The real time busybox's `time` gave for a command."""
    took = re.search(r"real\s+(\d+)m\s*([\d.]+)s", result.output)
    return int(took.group(1)) * 60 + float(took.group(2)) if took else 0.0


def eeprom_busy_then_firmware_stops(rig):
    """In real time. CamCon's first bank never ends its write cycle: the firmware gives up
    and stalls the request. Then, in a second run, the firmware stops answering at BufCon's
    first beat: the kernel cancels the transfer when libusb's time limit for it (2.6 s) has
    passed."""
    # A bank busy from the start would fail the board check before any write: --force-board
    # lets the runs reach the firmware's own handling.
    timed = "time sh -c " + shlex.quote(RUN.replace("vesk-update ", "vesk-update --force-board "))
    # 0xC6 requests of the first run: the header's erase, 15 of BufCon, 1 of CamCon.
    commands = rig.boot([timed, SHOW_LOG, timed, SHOW_LOG],
                        server_args=["--busy=1:0", "--hang-at-request=19:C6"])
    rig.expect_run(commands[0:2], 1, failed_log(rig.source, CAMCON_LINE, CAMCON_ERROR),
                   cause=["camcon.bin", "chip 1, bank 0, offset 0x0000", "stall"])
    bufcon = "Downloading BufCon...please wait.....\r\n"
    rig.expect_run(commands[2:4], 1,
                   failed_log(rig.source, bufcon, "Error 0x3 (Failed to download BufCon)\r\n"),
                   cause=["bufcon.bin", "offset 0x0000", "timeout"])
    # BufCon's 15 beats keep the board busy for about 8 s of its time (a run ahead of the
    # wall clock takes about 1 s).
    first = guest_seconds(commands[0])
    rig.expect(first >= 7, f"the first run took {first} s, less than the board's own time")
    second = guest_seconds(commands[2])
    rig.expect(2.6 <= second < 10, f"the timed-out run took {second} s")


def unprivileged_user(rig):
    """An operator without access to the device node (0600 root:root, as the kernel makes
    it) is told why; with the group and mode a GROUP=/MODE= rule sets, the run succeeds."""
    node = ("node=$(printf /dev/bus/usb/%03d/%03d $(cat /sys/bus/usb/devices/1-1/busnum) "
            "$(cat /sys/bus/usb/devices/1-1/devnum))")
    as_operator = "su operator -c " + shlex.quote(RUN)
    commands = rig.boot([f"{node}; ls -l $node", as_operator, SHOW_LOG,
                         f"{node}; chgrp plugdev $node && chmod 0660 $node && {as_operator}",
                         SHOW_LOG])
    rig.expect(commands[0].output.startswith("crw-------") and " root " in commands[0].output,
               f"the device node: {commands[0].output!r}")
    rig.expect_run(commands[1:3], 1,
                   failed_log(rig.source, "Opening camera connection\r\n",
                              "Error 0x1 (Failed to connect to camera)\r\n"),
                   cause=["access denied", "60-vesk-update.rules"])
    rig.expect_run(commands[3:5], 0, successful_log(rig.source))


CASES = {function.__name__: function for function in (
    whole_run_over_xhci, crossing_banks_over_ehci_then_power_cycle, unplug_during_camcon,
    bus_reset_mid_run, eeprom_busy_then_firmware_stops, unprivileged_user)}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--build", required=True, type=pathlib.Path)
    parser.add_argument("--source", required=True, type=pathlib.Path)
    args = parser.parse_args(argv[1:])
    rig = Rig(args.build.resolve(), args.source.resolve())
    try:
        CASES[args.case](rig)
    except (guest_run.GuestError, Failure) as error:
        print(f"{args.case}: {error}", file=sys.stderr)
        return 1
    finally:
        if rig.run and rig.run.eeprom_out:
            rig.run.eeprom_out.unlink(missing_ok=True)
        subprocess.run(["rm", "-rf", str(rig.scratch)])
    if rig.problems:
        for problem in rig.problems:
            print(f"{args.case}: {problem}", file=sys.stderr)
        print(f"--- guest console\n{rig.run.console}\n--- server\n{rig.run.server_log}",
              file=sys.stderr)
        return 1
    print(f"{args.case}: passed (boot and commands {rig.run.wall_seconds:.1f} s, "
          f"QEMU CPU {rig.run.qemu_cpu_seconds:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
