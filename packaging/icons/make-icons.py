#!/usr/bin/env python3
"""Draws Quorvane's application icon (a gauge on a blue tile) as PNG files
of the hicolor sizes, with nothing but the standard library, so the icons
can be remade on any machine. The scalable icon (quorvane.svg) draws the
same shapes."""
import math
import struct
import sys
import zlib

TILE = (30, 111, 217)
WHITE = (255, 255, 255)
ACCENT = (255, 196, 0)


def coverage(size, x, y):
    """The colour and alpha at one point, in 256-unit icon coordinates."""
    u, v = x * 256.0 / size, y * 256.0 / size
    # Rounded tile, 16 units from the edge, corner radius 40.
    cx, cy = min(max(u, 56), 200), min(max(v, 56), 200)
    if (u - cx) ** 2 + (v - cy) ** 2 > 40 ** 2:
        return None
    du, dv = u - 128, v - 140
    r = math.hypot(du, dv)
    angle = math.degrees(math.atan2(dv, du)) % 360  # 0 = right, clockwise
    # The dial: an arc from 150 to 390 degrees, 14 units wide.
    on_arc = 70 <= r <= 84 and (angle >= 150 or angle <= 30)
    # The needle: towards 300 degrees (up and right), 8 units wide.
    a = math.radians(300)
    along = du * math.cos(a) + dv * math.sin(a)
    across = abs(-du * math.sin(a) + dv * math.cos(a))
    if (0 <= along <= 68 and across <= 4 + 4 * (1 - along / 68)) or r <= 12:
        return ACCENT
    if on_arc:
        return WHITE
    return TILE


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = coverage(size, px + (sx + 0.5) / samples, py + (sy + 0.5) / samples)
                    if c:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            n = acc[3]
            if n:
                row += bytes([acc[0] // n, acc[1] // n, acc[2] // n, 255 * n // (samples * samples)])
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    raw = zlib.compress(b"".join(rows), 9)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", raw) + chunk(b"IEND", b""))


if __name__ == "__main__":
    for size in (int(s) for s in sys.argv[1:] or ["48", "64", "128", "256"]):
        with open(f"quorvane-{size}.png", "wb") as f:
            f.write(render(size))
