#!/usr/bin/env python3
"""Writes a second image set for the kernel tests into OUT:

  make_image_set.py CONTROL.ihx OUT

BufCon (70,001 bytes) runs through banks 1, 2 and 3 of chip 0 and CamCon (170,001 bytes)
through all six banks of chip 1, neither ending on a page; the FX2 image is a C2 boot image
of our control firmware, a camera firmware that answers the host's standard requests, so
that a guest kernel enumerates the board after a power cycle with the C2 header's identity.
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "samples"))
import make_samples  # noqa: E402  (the data and C2 image makers)


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 64
    control, out = pathlib.Path(argv[1]), pathlib.Path(argv[2])
    out.mkdir(parents=True, exist_ok=True)
    files = {
        "bufcon.bin": make_samples.data_image("bufcon-crossing", 70001),
        "camcon.bin": make_samples.data_image("camcon-crossing", 170001),
        "gpif_bufcon.bin": make_samples.data_image("gpif_bufcon-crossing", 128),
        "gpif_camcon.bin": make_samples.data_image("gpif_camcon-crossing", 128),
        "gpif_fifo.bin": make_samples.data_image("gpif_fifo-crossing", 128),
        "tarsel_usb.iic": make_samples.c2_image(make_samples.program_memory(control)),
    }
    for name, content in files.items():
        (out / name).write_bytes(content)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
