"""Properties of the firmware build tools and of the committed sample images."""

import os
import pathlib
import sys
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "firmware"))
sys.path.insert(0, str(ROOT / "samples"))
import ihx_to_table  # noqa: E402
import make_samples  # noqa: E402


def ihx_line(address, data, kind=0):
    raw = bytes([len(data), address >> 8, address & 0xFF, kind]) + bytes(data)
    return ":" + (raw + bytes([-sum(raw) & 0xFF])).hex().upper()


def ihx(*lines):
    return "\n".join(lines + (ihx_line(0, [], 1),)) + "\n"


RESET = ihx_line(0x0000, [0x02, 0x01, 0x00])


def table_rows(memory):
    return ihx_to_table.records(memory)


class TableFromIntelHex(unittest.TestCase):
    def test_out_of_order_long_records_become_ascending_16_byte_rows_with_the_same_bytes(self):
        code = list(range(40))
        text = ihx(ihx_line(0x0120, code[32:]), RESET, ihx_line(0x0100, code[:32]),
                   ihx_line(0x0043, [0x02, 0x01, 0x10]))
        memory = ihx_to_table.parse_ihx(text)
        ihx_to_table.check_layout(memory, 0x2000)
        rows = table_rows(memory)
        self.assertEqual([a for a, _ in rows], sorted(a for a, _ in rows))
        self.assertTrue(all(1 <= len(d) <= 16 for _, d in rows))
        rebuilt = {a + i: b for a, d in rows for i, b in enumerate(d)}
        self.assertEqual(rebuilt, memory)
        # rows never overlap: the rebuilt map has as many bytes as the rows carry
        self.assertEqual(len(rebuilt), sum(len(d) for _, d in rows))

    def test_source_ends_with_the_end_record(self):
        memory = ihx_to_table.parse_ihx(ihx(RESET, ihx_line(0x0100, [0x80, 0xFE])))
        source = ihx_to_table.table_source(memory)
        rows = [l.strip() for l in source.splitlines() if l.startswith("    {")]
        self.assertEqual(rows[-1], "{0, 0x0000, 1, {}},")
        self.assertEqual(rows[0], "{3, 0x0000, 0, {0x02, 0x01, 0x00}},")

    def test_refuses_images_that_break_the_layout(self):
        cases = {
            "overlap": ihx(RESET, ihx_line(0x0100, [1, 2, 3]), ihx_line(0x0102, [9])),
            "at the limit": ihx(RESET, ihx_line(0x0100, [0]), ihx_line(0x1FFF, [0])),
            "code below 0x0100": ihx(RESET, ihx_line(0x0100, [0]), ihx_line(0x0070, [0])),
            "vector not an LJMP": ihx(RESET, ihx_line(0x0100, [0]), ihx_line(0x0043, [0x32])),
            "no reset vector": ihx(ihx_line(0x0100, [0])),
            "reset into the vectors": ihx(ihx_line(0x0000, [0x02, 0x00, 0x43]),
                                          ihx_line(0x0043, [0x02, 0x01, 0x00]),
                                          ihx_line(0x0100, [0])),
        }
        for name, text in cases.items():
            with self.subTest(name):
                with self.assertRaises(ihx_to_table.ImageError):
                    ihx_to_table.check_layout(ihx_to_table.parse_ihx(text), 0x1FFF)

    def test_refuses_damaged_intel_hex(self):
        good = ihx_line(0x0100, [1, 2])
        cases = {
            "checksum": good[:-2] + "00",
            "length": ":05010000" + "0102" + "F7",
            "no end record": good,
            "record type": ihx_line(0x0000, [0, 0], kind=4),
        }
        for name, text in cases.items():
            with self.subTest(name):
                with self.assertRaises(ihx_to_table.ImageError):
                    ihx_to_table.parse_ihx(text + "\n" if name == "no end record" else ihx(text))


def parse_c2(image):
    """Returns (header fields, {address: byte}); fails the test on a malformed image."""
    assert image[0] == 0xC2, "not a C2 image"
    vid, pid, did = (int.from_bytes(image[i:i + 2], "little") for i in (1, 3, 5))
    memory, pos = {}, 8
    while True:
        length_word = int.from_bytes(image[pos:pos + 2], "big")
        address = int.from_bytes(image[pos + 2:pos + 4], "big")
        if length_word & 0x8000:
            return (vid, pid, did, image[7]), memory, image[pos:pos + 5], pos + 5
        length = length_word & 0x3FF
        assert length_word == length and length > 0, f"bad record length at {pos}"
        assert address + length <= 0x4000, f"record at {pos} leaves main RAM"
        for i, byte in enumerate(image[pos + 4:pos + 4 + length]):
            assert address + i not in memory, "records overlap"
            memory[address + i] = byte
        pos += 4 + length
        assert pos < len(image), "no end record"


class SampleImages(unittest.TestCase):
    def read(self, name):
        return (ROOT / "samples" / name).read_bytes()

    def test_fx2_image_is_a_c2_boot_image_of_the_blink_program(self):
        image = self.read("tarsel_usb.iic")
        header, memory, end, size = parse_c2(image)
        self.assertEqual(header, (0x125C, 0x0010, 0x0011, 0x00))
        self.assertEqual(end, bytes([0x80, 0x01, 0xE6, 0x00, 0x00]))
        self.assertEqual(size, len(image), "bytes after the end record")
        self.assertLess(len(image), 32768)
        self.assertEqual(memory[0x0000], 0x02, "reset vector is not an LJMP")
        self.assertIn(memory[1] << 8 | memory[2], memory)
        blink = os.environ.get("VESK_BLINK_IHX")
        if blink:
            self.assertEqual(memory, ihx_to_table.parse_ihx(pathlib.Path(blink).read_text()))

    def test_c2_records_are_split_at_1023_bytes(self):
        memory = {0x0100 + i: i & 0xFF for i in range(2500)}
        _, loaded, _, _ = parse_c2(make_samples.c2_image(memory))
        self.assertEqual(loaded, memory)

    def test_configuration_images_run_into_the_next_bank_and_carry_awkward_bytes(self):
        bank = 32768
        for name, size in (("bufcon.bin", 60000), ("camcon.bin", 150000)):
            with self.subTest(name):
                data = self.read(name)
                self.assertEqual(len(data), size)
                self.assertGreater(len(data), bank)
                self.assertNotEqual(len(data) % 64, 0, "should end inside a page")
                self.assertTrue(data.startswith(make_samples.AWKWARD_BYTES))
        for name in ("gpif_bufcon.bin", "gpif_camcon.bin", "gpif_fifo.bin"):
            with self.subTest(name):
                data = self.read(name)
                self.assertEqual(len(data), 128)
                self.assertTrue(data.startswith(make_samples.AWKWARD_BYTES))
        images = [self.read(n) for n in ("gpif_bufcon.bin", "gpif_camcon.bin", "gpif_fifo.bin")]
        self.assertEqual(len(set(images)), 3, "GPIF files must differ to catch a mix-up")


if __name__ == "__main__":
    unittest.main()
