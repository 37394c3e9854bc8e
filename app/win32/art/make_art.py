#!/usr/bin/env python3
"""Draws the dialog's artwork: the application icon (32x32 and 16x16, 16 colours) and the
picture beside the status box (96x196, 24 bits). Run it from this folder; the outputs are
committed so that the build needs no Python."""

import math
import struct

# The standard 16-colour palette (blue, green, red order is applied when written).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREY, GREY, WHITE, NAVY, BLUE, CYAN, TEAL, YELLOW = 0, 8, 7, 15, 4, 12, 14, 6, 11


def icon_pixels(size):
    """A camera lens: a dark body with a lens of rings, seen from the front. Returns rows of
    palette indices (None = transparent), top row first."""
    s = size / 32.0
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            cx, cy = x + 0.5, y + 0.5
            body = 2 * s <= cx <= 30 * s and 7 * s <= cy <= 28 * s
            hump = 10 * s <= cx <= 20 * s and 3 * s <= cy <= 8 * s
            r = math.hypot(cx - 15.5 * s, cy - 17.5 * s) / s
            colour = None
            if body or hump:
                colour = DARK_GREY
                if cy <= 8 * s + 1 and body:
                    colour = GREY
            if r <= 9.5:
                colour = BLACK
            if r <= 8.0:
                colour = NAVY
            if r <= 6.0:
                colour = BLUE
            if r <= 3.5:
                colour = CYAN
            if math.hypot(cx - 13.5 * s, cy - 15.0 * s) / s <= 1.6:
                colour = WHITE
            if body and 24 * s <= cx <= 28 * s and 10 * s <= cy <= 12 * s:
                colour = YELLOW
            row.append(colour)
        rows.append(row)
    return rows


def icon_image(size):
    rows = icon_pixels(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, colour in enumerate(row):
            index = BLACK if colour is None else colour
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if colour is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    return header + palette + bytes(xor) + bytes(mask)


def write_icon(path):
    images = [icon_image(32), icon_image(16)]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


def picture_pixel(x, y, width, height):
    """A camera above its USB interface board on a blue gradient."""
    t = y / (height - 1)
    r, g, b = int(20 + 30 * t), int(40 + 60 * t), int(110 + 90 * t)
    # Camera body with its lens.
    if 14 <= x <= 81 and 24 <= y <= 74:
        r, g, b = 70, 74, 82
        if y <= 28:
            r, g, b = 110, 114, 122
    d = math.hypot(x - 47.5, y - 50.5)
    if d <= 20:
        r, g, b = 15, 15, 20
    if d <= 16:
        r, g, b = 30, 50, 120
    if d <= 10:
        r, g, b = 60, 120, 200
    if math.hypot(x - 42, y - 45) <= 3:
        r, g, b = 230, 240, 255
    # The cable.
    if 45 <= x <= 50 and 75 <= y <= 104:
        r, g, b = 30, 30, 30
    # The board with its controller and two EEPROMs.
    if 10 <= x <= 85 and 105 <= y <= 175:
        r, g, b = 20, 110, 60
        if (x - 10) % 12 == 0 and y >= 170:
            r, g, b = 210, 180, 60
    if 22 <= x <= 52 and 118 <= y <= 148:
        r, g, b = 25, 25, 30
    for top in (120, 140):
        if 62 <= x <= 76 and top <= y <= top + 12:
            r, g, b = 35, 35, 40
    if 40 <= x <= 55 and 100 <= y <= 110:
        r, g, b = 180, 180, 185
    return r, g, b


def write_picture(path, width=96, height=196):
    stride = (width * 3 + 3) // 4 * 4
    pixels = bytearray()
    for y in reversed(range(height)):
        line = bytearray()
        for x in range(width):
            r, g, b = picture_pixel(x, y, width, height)
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        pixels += line
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, 'wb') as f:
        f.write(header + info + pixels)


if __name__ == '__main__':
    write_icon('vesk_update.ico')
    write_picture('board_picture.bmp')
