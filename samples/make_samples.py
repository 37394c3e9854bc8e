#!/usr/bin/env python3
"""Writes the sample image files of samples/ (deterministically: same bytes every run).

  make_samples.py --blink BLINK.ihx            write the six files next to this script
  make_samples.py --blink BLINK.ihx --check    exit 1 if a committed file differs
  make_samples.py --c2 PROGRAM.ihx OUT         only a C2 boot image of PROGRAM.ihx (tests)

bufcon.bin and camcon.bin are long enough to run from one 32 KB EEPROM bank into the next
and do not end on a page or a beat; every image starts with the bytes 00 0D 0A 1A FF, which
a text-mode or C-string mistake on the host would alter. tarsel_usb.iic is a C2 boot image
of firmware/blink/, which blinks the board's LED.
"""

import argparse
import hashlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "firmware"))
sys.path.insert(0, str(HERE.parent / "board" / "generated"))
import ihx_to_table  # noqa: E402  (the Intel HEX reader)
import reference_board  # noqa: E402  (the board's facts)

USB_VENDOR_ID = reference_board.CAMERA_VENDOR_ID
USB_PRODUCT_ID = reference_board.CAMERA_PRODUCT_ID
USB_DEVICE_ID = reference_board.CAMERA_DEVICE_ID
C2_CONFIG = 0x00  # connected after boot, boot I2C at 100 kHz
C2_RECORD_MAX = 1023  # the record length is a 10-bit field
C2_END = bytes([0x80, 0x01, 0xE6, 0x00, 0x00])  # last record: 0x00 to CPUCS, CPU runs
FX2_IMAGE_LIMIT = reference_board.FX2_IMAGE[3]  # its room
AWKWARD_BYTES = bytes([0x00, 0x0D, 0x0A, 0x1A, 0xFF])


def pseudo_random(label, size):
    """Bytes from SHA-256 in counter mode: the same on every machine and Python version."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{label}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


def data_image(label, size):
    body = AWKWARD_BYTES + label.encode() + AWKWARD_BYTES[::-1]
    return body + pseudo_random(label, size - len(body))


def c2_image(memory):
    """An FX2 C2 EEPROM image loading `memory` ({address: byte}) and then running it."""
    out = bytearray([0xC2])
    for word in (USB_VENDOR_ID, USB_PRODUCT_ID, USB_DEVICE_ID):
        out += word.to_bytes(2, "little")
    out.append(C2_CONFIG)
    for address, data in runs(memory):
        for start in range(0, len(data), C2_RECORD_MAX):
            chunk = data[start:start + C2_RECORD_MAX]
            out += len(chunk).to_bytes(2, "big") + (address + start).to_bytes(2, "big") + chunk
    out += C2_END
    if len(out) >= FX2_IMAGE_LIMIT:
        raise SystemExit(f"the C2 image has {len(out)} bytes; bank 0 holds {FX2_IMAGE_LIMIT - 1} at most")
    return bytes(out)


def runs(memory):
    result, start, run = [], None, bytearray()
    for address in sorted(memory):
        if run and address != start + len(run):
            result.append((start, bytes(run)))
            run = bytearray()
        if not run:
            start = address
        run.append(memory[address])
    if run:
        result.append((start, bytes(run)))
    return result


def program_memory(ihx):
    memory = ihx_to_table.parse_ihx(ihx.read_text())
    if not memory or max(memory) > 0x3FFF:
        raise SystemExit(f"{ihx}: the program must lie in 0x0000-0x3FFF")
    return memory


def samples(blink_ihx):
    memory = program_memory(blink_ihx)
    return {
        "bufcon.bin": data_image("bufcon", 60000),
        "camcon.bin": data_image("camcon", 150000),
        "gpif_bufcon.bin": data_image("gpif_bufcon", 128),
        "gpif_camcon.bin": data_image("gpif_camcon", 128),
        "gpif_fifo.bin": data_image("gpif_fifo", 128),
        "tarsel_usb.iic": c2_image(memory),
    }


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blink", type=pathlib.Path, help="firmware/blink build output")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--c2", nargs=2, type=pathlib.Path, metavar=("PROGRAM.ihx", "OUT"))
    args = parser.parse_args(argv[1:])
    if not args.blink and not args.c2:
        parser.error("--blink or --c2 is required")
    try:
        if args.c2:
            args.c2[1].write_bytes(c2_image(program_memory(args.c2[0])))
            return 0
        files = samples(args.blink)
    except (ihx_to_table.ImageError, OSError) as error:
        print(f"{args.c2[0] if args.c2 else args.blink}: {error}", file=sys.stderr)
        return 1
    stale = []
    for name, content in files.items():
        path = HERE / name
        if args.check:
            if not path.exists() or path.read_bytes() != content:
                stale.append(name)
        else:
            path.write_bytes(content)
    for name in stale:
        print(f"samples/{name} differs from what make_samples.py gives", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
