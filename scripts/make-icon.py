#!/usr/bin/env python3
"""Draws the window icon, a pie chart, as a 128x128 32-bit ICO (one BMP image with
its AND mask). Run once; the result is committed as resources/pie_chart.ico."""
import math
import struct
import sys

SIZE = 128
SLICES = [(0.00, 0.38, (0x2E, 0x86, 0xC1)), (0.38, 0.64, (0xE6, 0x7E, 0x22)),
          (0.64, 0.86, (0x27, 0xAE, 0x60)), (0.86, 1.00, (0xC0, 0x39, 0x2B))]


def pixel(x, y):
    cx = cy = (SIZE - 1) / 2.0
    dx, dy = x - cx, cy - y
    r = math.hypot(dx, dy)
    radius = SIZE / 2.0 - 4
    if r > radius:
        return (0, 0, 0, 0)
    frac = (math.atan2(dx, dy) / (2 * math.pi)) % 1.0
    for lo, hi, rgb in SLICES:
        if lo <= frac < hi:
            edge = min(1.0, radius - r)  # soft rim
            return rgb + (int(255 * max(0.0, edge)),)
    return (0, 0, 0, 0)


def main(path):
    rows = []
    for y in range(SIZE - 1, -1, -1):  # BMP rows are bottom-up
        row = bytearray()
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    xor = b"".join(rows)
    and_mask = bytes(SIZE * SIZE // 8)  # alpha decides; mask all opaque
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 128, 128, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/pie_chart.ico")
