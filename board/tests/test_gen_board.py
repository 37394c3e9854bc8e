"""The board table's generator refuses tables that would give wrong headers."""

import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import gen_board  # noqa: E402

GEOMETRY = ("fact\tEEPROM_CHIPS\tu8\t2\n"
            "fact\tEEPROM_BANKS\tu8\t6\n"
            "fact\tEEPROM_BANK_SIZE\tu32\t0x8000\n")


class BoardTable(unittest.TestCase):
    def test_refuses_bad_tables(self):
        cases = {
            "places overlap": "place\tA\t0\t5\t0\t129\nplace\tB\t0\t5\t128\t128\n",
            "place runs past the last chip": "place\tA\t1\t5\t0x7F00\t0x101\n",
            "place in a bank that does not exist": "place\tA\t0\t6\t0\t1\n",
            "place without room": "place\tA\t0\t0\t0\t0\n",
            "value too large for its type": "fact\tX\tu8\t0x100\n",
            "unknown type": "fact\tX\tu64\t1\n",
            "not a number": "fact\tX\tu16\t12G\n",
            "name twice": "fact\tX\tu8\t1\nplace\tX\t0\t0\t0\t1\n",
            "missing column": "place\tA\t0\t0\t0\n",
        }
        for name, rows in cases.items():
            with self.subTest(name):
                with self.assertRaises(gen_board.TableError):
                    gen_board.outputs(GEOMETRY + rows)
        with self.subTest("geometry missing"):
            with self.assertRaises(gen_board.TableError):
                gen_board.outputs("fact\tEEPROM_CHIPS\tu8\t2\n")

    def test_adjacent_places_up_to_the_last_byte_are_accepted(self):
        rows = "place\tA\t0\t5\t0\t128\nplace\tB\t0\t5\t128\t0x7F80\nplace\tC\t1\t5\t0x7FFF\t1\n"
        headers = gen_board.outputs(GEOMETRY + rows)
        cpp = headers[gen_board.OUT_DIR / "reference_board.h"]
        self.assertIn("inline constexpr Place kB{0, 5, 0x0080, 32640};", cpp)
        self.assertIn("#define BOARD_EEPROM_BANK_SIZE 0x8000UL",
                      headers[gen_board.OUT_DIR / "board_table.h"])


if __name__ == "__main__":
    unittest.main()
