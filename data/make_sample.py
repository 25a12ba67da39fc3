#!/usr/bin/env python3
"""Draws data/sample.bmp, the picture the quick start stamps: a 640 x 400, 24-bit evening
landscape (sky, sun, two mountain ranges, a lake with the sun's reflection)."""
import math
import struct
import sys

W, H = 640, 400


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def pixel(x, y):
    horizon = 250
    sun_x, sun_y, sun_r = 450, 150, 38
    if y < horizon:
        t = y / horizon
        c = mix((58, 82, 160), (250, 180, 120), t)
        d = math.hypot(x - sun_x, y - sun_y)
        if d < sun_r:
            c = mix((255, 236, 170), (255, 210, 120), d / sun_r)
        elif d < sun_r * 3:
            c = mix(c, (255, 220, 150), 0.35 * (1 - (d - sun_r) / (sun_r * 2)))
        far = 175 + 30 * math.sin(x / 55.0) + 12 * math.sin(x / 17.0 + 1.3)
        near = 215 + 22 * math.sin(x / 80.0 + 2.0) + 8 * math.sin(x / 23.0)
        if y > near:
            c = mix((70, 60, 90), (40, 36, 60), (y - near) / 60)
        elif y > far:
            c = mix((120, 100, 140), (95, 80, 120), (y - far) / 60)
        return c
    # The lake mirrors the sky, darker, with ripples.
    t = (y - horizon) / (H - horizon)
    c = mix((200, 140, 110), (30, 40, 80), t)
    ripple = math.sin(y * 0.9 + math.sin(x / 30.0) * 2)
    if abs(x - sun_x) < 30 * (1 - t) + 4 and ripple > -0.2:
        c = mix(c, (255, 220, 150), 0.6 * (1 - t))
    return mix(c, (20, 25, 50), 0.08 * (ripple + 1))


def main(path):
    stride = (W * 3 + 3) & ~3
    rows = []
    for y in range(H - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(W):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - W * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(data), 3780, 3780, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sample.bmp")
