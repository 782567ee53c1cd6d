#!/usr/bin/env python3
"""Draws the application icon and writes it as a Windows .ico file.

The picture: a dark blue chip with pins on both sides and a white arrow pointing down into
it (firmware going into the device), with a green bar under the arrow. Each size is drawn
on its own pixel grid, then stored at 4, 8 and 24 bits per pixel.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZES = (16, 32, 48)
DEPTHS = (4, 8, 24)

TRANSPARENT = None
# The 16 standard colours; the 4-bit images use them directly.
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
NAVY, BLUE, WHITE, GREEN, GREY, BLACK = VGA[4], VGA[12], VGA[15], VGA[10], VGA[7], VGA[0]


def draw(n):
    """Returns n rows (top first) of n pixels: an (r, g, b) tuple or TRANSPARENT."""
    px = [[TRANSPARENT] * n for _ in range(n)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(n, y1)):
            for x in range(max(0, x0), min(n, x1)):
                px[y][x] = colour

    s = n / 16.0  # the picture is designed on a 16-pixel grid and scaled

    def u(v):
        return int(round(v * s))

    # Pins on the left and right edges.
    for i in range(4):
        y = u(3 + i * 3)
        rect(0, y, u(2), y + max(1, u(1)), GREY)
        rect(n - u(2), y, n, y + max(1, u(1)), GREY)
    # Chip body with a black outline.
    rect(u(2), u(1), n - u(2), n - u(1), BLACK)
    rect(u(2) + 1, u(1) + 1, n - u(2) - 1, n - u(1) - 1, NAVY)
    # Arrow: a shaft and a triangular head pointing down.
    cx = n / 2.0
    shaft = max(2, u(2))
    rect(int(cx - shaft / 2), u(3), int(cx + shaft / 2), u(8), WHITE)
    head_top, head_bottom = u(8), u(12)
    for y in range(head_top, head_bottom):
        half = (head_bottom - y) * (u(4) / max(1, head_bottom - head_top))
        rect(int(round(cx - half)), y, int(round(cx + half)), y + 1, WHITE)
    # The bar the arrow points at.
    rect(u(4), u(12) + max(1, u(0.5)), n - u(4), n - u(1) - 1, GREEN)
    return px


def palette_for(depth):
    if depth == 4:
        return list(VGA)
    if depth == 8:
        # The 16 standard colours first, the rest black: every colour we draw is among them.
        return list(VGA) + [(0, 0, 0)] * (256 - 16)
    return None


def row_bytes(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def encode_image(px, depth):
    n = len(px)
    palette = palette_for(depth)
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, depth, 0, 0, 0, 0,
                         len(palette) if palette else 0, 0)
    colour_table = b''
    if palette:
        colour_table = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in palette)
    xor = bytearray()
    for y in reversed(range(n)):  # DIB rows go bottom-up
        line = bytearray(row_bytes(n * depth))
        for x in range(n):
            c = px[y][x] or BLACK
            if depth == 24:
                line[3 * x:3 * x + 3] = bytes((c[2], c[1], c[0]))
            elif depth == 8:
                line[x] = palette.index(c)
            else:
                idx = palette.index(c)
                line[x // 2] |= idx << (4 if x % 2 == 0 else 0)
        xor += line
    mask = bytearray()
    for y in reversed(range(n)):
        line = bytearray(row_bytes(n))
        for x in range(n):
            if px[y][x] is TRANSPARENT:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + colour_table + bytes(xor) + bytes(mask)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = []
    for n in SIZES:
        px = draw(n)
        for depth in DEPTHS:
            images.append((n, depth, encode_image(px, depth)))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for n, depth, data in images:
        colours = (1 << depth) if depth < 8 else 0
        out += struct.pack('<BBBBHHII', n, n, colours & 0xFF, 0, 1, depth, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
