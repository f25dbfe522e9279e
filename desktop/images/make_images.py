#!/usr/bin/env python3
"""Draws the program's pictures and writes them next to this script.

  sms.png        48 x 48, the message bubble of the window's header band
  send.png       16 x 16, the arrow on the send button
  zelvodesk.ico  the program icon: the message bubble at 64, 48, 32 and 16
                 pixels, 32 bits per pixel each

The PNGs are 8-bit RGBA, not interlaced. Only the standard library is used,
and the output is byte-for-byte the same on every run, so regenerating the
pictures gives no spurious change. Run: python3 make_images.py
"""

import math
import os
import struct
import zlib

SUPERSAMPLE = 4  # sub-samples per pixel and axis, for smooth edges


# ---- shapes as signed distances (negative inside), in unit coordinates ----

def sd_round_rect(x, y, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def sd_polygon(x, y, pts):
    d = float("inf")
    inside = False
    n = len(pts)
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        wx, wy = x - ax, y - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        d = min(d, math.hypot(wx - ex * t, wy - ey * t))
        if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
            inside = not inside
    return -d if inside else d


def sd_circle(x, y, cx, cy, r):
    return math.hypot(x - cx, y - cy) - r


# ---- the two motifs ----

def bubble(x, y):
    body = sd_round_rect(x, y, 0.05, 0.08, 0.95, 0.72, 0.17)
    tail = sd_polygon(x, y, [(0.20, 0.62), (0.46, 0.62), (0.13, 0.94)])
    return min(body, tail)


def bubble_dots(x, y):
    return min(sd_circle(x, y, cx, 0.40, 0.075) for cx in (0.28, 0.50, 0.72))


def arrow(x, y):
    shaft = sd_round_rect(x, y, 0.04, 0.37, 0.58, 0.63, 0.05)
    head = sd_polygon(x, y, [(0.46, 0.08), (0.97, 0.50), (0.46, 0.92)])
    return min(shaft, head)


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def over(dst, src):
    """Composites the straight-alpha colour src over dst (both r, g, b, a in 0..1)."""
    sa = src[3]
    da = dst[3] * (1 - sa)
    a = sa + da
    if a <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    return tuple((src[i] * sa + dst[i] * da) / a for i in range(3)) + (a,)


def hexcolour(h):
    return tuple(int(h[i:i + 2], 16) / 255 for i in (1, 3, 5)) + (1.0,)


def render(size, layers):
    """layers: list of (signed distance function, colour function of y).
    Returns rows of (r, g, b, a) tuples with 0..255 integer channels."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    c = (0.0, 0.0, 0.0, 0.0)
                    for sdf, colour in layers:
                        if sdf(x, y) < 0:
                            c = over(c, colour(y))
                    # premultiplied accumulation keeps edges free of dark fringes
                    acc[0] += c[0] * c[3]
                    acc[1] += c[1] * c[3]
                    acc[2] += c[2] * c[3]
                    acc[3] += c[3]
            a = acc[3] / (n * n)
            if a > 0:
                rgb = [acc[i] / acc[3] for i in range(3)]
            else:
                rgb = [0.0, 0.0, 0.0]
            row.append(tuple(int(round(v * 255)) for v in rgb + [a]))
        rows.append(row)
    return rows


def bubble_layers(size):
    edge = 1.3 / size  # an outline of about one pixel at every size
    outline = hexcolour("#0b3a78")
    top, bottom = hexcolour("#6fb6ff"), hexcolour("#1c64c8")
    return [
        (bubble, lambda y: outline),
        (lambda x, y: bubble(x, y) + edge, lambda y: lerp(top, bottom, min(1.0, y / 0.8))),
        # a soft gloss across the upper part of the bubble
        (lambda x, y: max(bubble(x, y) + 2.5 * edge, y - 0.30),
         lambda y: (1.0, 1.0, 1.0, 0.22)),
        (bubble_dots, lambda y: (1.0, 1.0, 1.0, 1.0)),
    ]


def arrow_layers(size):
    edge = 1.0 / size
    outline = hexcolour("#1b5e20")
    top, bottom = hexcolour("#7ddc6f"), hexcolour("#2e9b33")
    return [
        (arrow, lambda y: outline),
        (lambda x, y: arrow(x, y) + edge, lambda y: lerp(top, bottom, y)),
    ]


# ---- file formats ----

def png_bytes(rows):
    h, w = len(rows), len(rows[0])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    # width, height, bit depth 8, colour type 6 (RGBA), deflate, filter 0, no interlace
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_image(rows):
    """One icon image as a 32-bit DIB: header, BGRA rows bottom-up, AND mask."""
    h, w = len(rows), len(rows[0])
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    return header + pixels + bytes(mask)


def ico_bytes(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for rows in images:
        blob = ico_image(rows)
        size = len(rows)
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    return out + b"".join(blobs)


def main():
    here = os.path.dirname(os.path.abspath(__file__))

    def write(name, data):
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)

    write("sms.png", png_bytes(render(48, bubble_layers(48))))
    write("send.png", png_bytes(render(16, arrow_layers(16))))
    write("zelvodesk.ico",
          ico_bytes([render(s, bubble_layers(s)) for s in (64, 48, 32, 16)]))


if __name__ == "__main__":
    main()
