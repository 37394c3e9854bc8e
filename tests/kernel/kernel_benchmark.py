#!/usr/bin/env python3
"""Figures of the emulated board in a guest kernel (prints; fails only if a boot fails).

  kernel_benchmark.py --build BUILD --source SOURCE

1. A boot that runs nothing: wall time and QEMU's CPU time (TCG) of boot and power-off.
2. The whole sample run in real time (the board's clock kept to the wall clock): the wall
   time from the first vendor request to the last reply, against the board's time in the
   requests alone, i.e. what the guest kernel, libusb and usbredir add between two requests.
"""

import argparse
import pathlib
import re
import shlex
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import guest_run  # noqa: E402

FIGURES = re.compile(r"(\d+) vendor requests in ([\d.]+) s \(board time ([\d.]+) s, "
                     r"([\d.]+) s of it in the requests\)")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, type=pathlib.Path)
    parser.add_argument("--source", required=True, type=pathlib.Path)
    args = parser.parse_args(argv[1:])
    guest, server = args.build / "guest", args.build / "bin/vesk-sim-usbredir"
    samples = args.source / "samples"
    try:
        idle = guest_run.run_guest(guest, server, samples, ["true"], deadline=120,
                                   server_args=["--fast"], eeprom_out=False)
        run = guest_run.run_guest(guest, server, samples,
                                  ["time sh -c " + shlex.quote("printf 'y\\ny\\n' | vesk-update -C /images >/dev/null")], deadline=300,
                                  eeprom_out=False)
    except guest_run.GuestError as error:
        print(f"kernel_benchmark: {error}", file=sys.stderr)
        return 1
    print(f"boot, one empty command, power-off: {idle.wall_seconds:.2f} s wall, "
          f"QEMU CPU {idle.qemu_cpu_seconds:.2f} s")
    figures = FIGURES.search(run.server_log)
    if run.commands[0].status != 0 or figures is None:
        print(f"kernel_benchmark: the real-time run failed:\n{run.console[-2000:]}\n"
              f"{run.server_log}", file=sys.stderr)
        return 1
    requests, wall, board, in_requests = (float(value) for value in figures.groups())
    print(f"whole sample run in real time: {int(requests)} vendor requests, "
          f"{wall:.3f} s wall from the first to the last, board {board:.3f} s "
          f"({in_requests:.3f} s in the requests): wall {100 * (wall / in_requests - 1):+.1f}% "
          f"over the board's time in the requests (goal within 5%)")
    took = re.search(r"real\s+(\d+)m\s*([\d.]+)s", run.commands[0].output)
    if took:
        print(f"  the guest's own clock: {int(took.group(1)) * 60 + float(took.group(2)):.2f} s "
              f"for the whole vesk-update run")
    print(f"  boot and run: {run.wall_seconds:.2f} s wall, QEMU CPU {run.qemu_cpu_seconds:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
