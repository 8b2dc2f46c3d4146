#!/usr/bin/python3
"""Draws Tavik's icon (a dark tile with a camera lens and a small stage-and-strip
mark) and writes it as a Windows .ico with 16, 24, 32, 48, 64 and 256 pixel
images (32-bit, alpha). Usage: make_icon.py OUT.ico"""
import math
import struct
import sys
import zlib


def render(size):
    """RGBA rows, top to bottom, anti-aliased by 4x4 supersampling."""
    ss = 4
    px = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    u = (x + (sx + 0.5) / ss) / size
                    v = (y + (sy + 0.5) / ss) / size
                    r, g, b, a = shade(u, v)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = ss * ss
            a = acc[3] / n
            if a > 0:
                row.append((acc[0] / acc[3], acc[1] / acc[3], acc[2] / acc[3], a))
            else:
                row.append((0, 0, 0, 0))
        px.append(row)
    return px


def rounded_square(u, v, inset, radius):
    # Inside a square [inset, 1-inset] with rounded corners?
    cx = min(max(u, inset + radius), 1 - inset - radius)
    cy = min(max(v, inset + radius), 1 - inset - radius)
    return (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2 and inset <= u <= 1 - inset and inset <= v <= 1 - inset


def shade(u, v):
    bg = (32, 34, 38)
    if not rounded_square(u, v, 0.03, 0.18):
        return (0, 0, 0, 0.0)
    colour = bg
    # Stage-and-strip: three thumbnails on the left.
    for i in range(3):
        top = 0.16 + i * 0.15
        if 0.12 <= u <= 0.27 and top <= v <= top + 0.1:
            colour = (88, 96, 110)
    # The lens: a ring, a darker glass and a highlight.
    d = math.hypot(u - 0.6, v - 0.5)
    if d <= 0.3:
        colour = (44, 170, 190)
    if d <= 0.22:
        colour = (18, 28, 36)
    if d <= 0.12:
        colour = (30, 110, 130)
    if math.hypot(u - 0.55, v - 0.44) <= 0.045:
        colour = (228, 230, 233)
    return (colour[0], colour[1], colour[2], 1.0)


def dib(size, px):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        for r, g, b, a in px[y]:
            rows.append(struct.pack("BBBB", int(b + 0.5), int(g + 0.5), int(r + 0.5), int(a * 255 + 0.5)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    andmask = b"\0" * (mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + andmask


def png(size, px):
    raw = b"".join(b"\0" + b"".join(struct.pack("BBBB", int(r + 0.5), int(g + 0.5), int(b + 0.5),
                                                int(a * 255 + 0.5)) for r, g, b, a in row) for row in px)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(out):
    sizes = [16, 24, 32, 48, 64, 256]
    images = []
    for s in sizes:
        px = render(s)
        images.append(png(s, px) if s == 256 else dib(s, px))
    offset = 6 + 16 * len(images)
    head = struct.pack("<HHH", 0, 1, len(images))
    entries = b""
    for s, data in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(head + entries + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
