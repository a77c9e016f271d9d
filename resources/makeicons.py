#!/usr/bin/env python3
# Draws Brindleflash's icon (a chip with a download arrow) and writes the PNGs and the Windows .ico.
# Needs nothing beyond Python 3; run it from anywhere after changing the artwork, and commit what it
# writes: brindleflash.ico and icons/brindleflash-<size>.png beside this script.
import os
import struct
import zlib

# The artwork lives on a 256-unit canvas laid out on a 16-unit grid, so that the 16, 32 and 48
# pixel renderings land on whole pixels and stay crisp.
BODY = (0x26, 0x32, 0x38)
PIN = (0xB0, 0xBE, 0xC5)
ARROW = (0x43, 0xC4, 0x63)

# The 16-colour images use the standard Windows palette; each shape takes one entry.
PALETTE16 = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
INDEX16 = {BODY: 0, PIN: 7, ARROW: 10}

PNG_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def in_rounded_rect(x, y, left, top, right, bottom, radius):
    if not (left <= x < right and top <= y < bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def in_arrow_head(x, y):
    # Top edge at y 128 from x 80 to 176, tip at (128, 176).
    if not (128 <= y <= 176):
        return False
    return abs(x - 128) <= 176 - y


def colour_at(x, y):
    """The colour of the topmost shape at canvas point (x, y), or None where the icon is clear."""
    if in_arrow_head(x, y) or (112 <= x < 144 and 80 <= y < 128):
        return ARROW
    if in_rounded_rect(x, y, 48, 48, 208, 208, 16):
        return BODY
    for top in (64, 112, 160):
        if top <= y < top + 32 and (16 <= x < 48 or 208 <= x < 240):
            return PIN
    return None


def render_rgba(size, samples=4):
    """Rows of (r, g, b, a) pixels, each averaged over samples x samples points."""
    scale = 256 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) * scale,
                                  (py + (sy + 0.5) / samples) * scale)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            if a:
                row.append((round(r / a), round(g / a), round(b / a),
                            round(255 * a / samples ** 2)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def render_indexed(size):
    """Rows of palette indices (None where clear), one sample at each pixel centre."""
    scale = 256 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            c = colour_at((px + 0.5) * scale, (py + 0.5) * scale)
            row.append(None if c is None else INDEX16[c])
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def and_mask(clear_rows):
    """The 1-bit mask, bottom row first: a set bit marks a clear pixel."""
    out = b""
    for row in reversed(clear_rows):
        bits = bytearray((len(row) + 7) // 8)
        for x, clear in enumerate(row):
            if clear:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += padded(bytes(bits))
    return out


def bitmap_header(size, bit_count, image_bytes, colours_used):
    # The height counts the colour bitmap and the mask stacked together.
    return struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bit_count, 0, image_bytes, 0, 0,
                       colours_used, 0)


def bmp32_bytes(rows):
    size = len(rows)
    pixels = b"".join(bytes(v for r, g, b, a in row for v in (b, g, r, a)) for row in reversed(rows))
    mask = and_mask([[a == 0 for *_, a in row] for row in rows])
    return bitmap_header(size, 32, len(pixels) + len(mask), 0) + pixels + mask


def bmp4_bytes(rows):
    size = len(rows)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE16)
    pixels = b""
    for row in reversed(rows):
        indices = [0 if i is None else i for i in row]
        pixels += padded(bytes((indices[x] << 4) | indices[x + 1] for x in range(0, size, 2)))
    mask = and_mask([[i is None for i in row] for row in rows])
    return bitmap_header(size, 4, len(pixels) + len(mask), 16) + palette + pixels + mask


def ico_bytes(images):
    """images: (size, colour count, bit count, data) for each image, in directory order."""
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    body = b""
    for size, colours, bits, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits,
                                 len(data), offset + len(body))
        body += data
    return directory + body


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    os.makedirs(os.path.join(here, "icons"), exist_ok=True)
    rgba = {size: render_rgba(size) for size in PNG_SIZES}
    for size, rows in rgba.items():
        with open(os.path.join(here, "icons", f"brindleflash-{size}.png"), "wb") as f:
            f.write(png_bytes(rows))
    images = [
        (256, 0, 32, png_bytes(rgba[256])),
        (48, 0, 32, bmp32_bytes(rgba[48])),
        (32, 16, 4, bmp4_bytes(render_indexed(32))),
        (16, 16, 4, bmp4_bytes(render_indexed(16))),
    ]
    with open(os.path.join(here, "brindleflash.ico"), "wb") as f:
        f.write(ico_bytes(images))


if __name__ == "__main__":
    main()
