#!/usr/bin/env python3
"""Draws the busy cursor frames and the application icon.

The images are committed; run this again only to change them:
    python3 ui/images/make_images.py
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SIZE = 32


def cursor_frame(frame):
    """A watch face whose hand and filled sector move one twelfth per frame."""
    cx = cy = 15.5
    radius = 13.5
    pixels = {}  # (x, y) -> 'black' | 'white'; absent: transparent
    start = frame * 30.0 - 90.0
    for y in range(SIZE):
        for x in range(SIZE):
            dx, dy = x - cx, y - cy
            d = math.hypot(dx, dy)
            if d > radius + 0.5:
                continue
            if d > radius - 1.5:
                pixels[(x, y)] = 'black'
                continue
            angle = math.degrees(math.atan2(dy, dx))
            rel = (angle - start) % 360.0
            pixels[(x, y)] = 'black' if rel < 30.0 and d < radius - 3 else 'white'
    # hand towards the leading edge of the sector
    a = math.radians(start + 30.0)
    for step in range(0, 100):
        t = step / 100.0 * (radius - 2)
        for w in (-0.5, 0.0, 0.5):
            x = int(round(cx + t * math.cos(a) - w * math.sin(a)))
            y = int(round(cy + t * math.sin(a) + w * math.cos(a)))
            pixels[(x, y)] = 'black'
    return pixels


def write_cursor(path, pixels, hotspot=(15, 15)):
    xor_rows, and_rows = [], []
    for y in reversed(range(SIZE)):
        xor_bits = and_bits = 0
        for x in range(SIZE):
            colour = pixels.get((x, y))
            bit = 1 << (31 - x)
            if colour is None:
                and_bits |= bit
            elif colour == 'white':
                xor_bits |= bit
        xor_rows.append(struct.pack('>I', xor_bits))
        and_rows.append(struct.pack('>I', and_bits))
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 1, 0, 0, 0, 0, 2, 0)
    palette = struct.pack('<4B4B', 0, 0, 0, 0, 255, 255, 255, 0)
    image = header + palette + b''.join(xor_rows) + b''.join(and_rows)
    directory = struct.pack('<HHH', 0, 2, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, hotspot[0], hotspot[1], len(image), 6 + 16)
    with open(path, 'wb') as out:
        out.write(directory + entry + image)


def icon_pixels(size):
    """Two sheets of paper, the front one blue, with an arrow between them."""
    s = size / 32.0
    px = {}

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                px[(x, y)] = colour

    rect(2, 2, 19, 24, (40, 40, 40, 255))
    rect(3, 3, 18, 23, (250, 250, 250, 255))
    for line in range(6, 21, 3):
        rect(5, line, 16, line + 1, (120, 120, 120, 255))
    rect(13, 8, 30, 30, (20, 40, 110, 255))
    rect(14, 9, 29, 29, (70, 120, 220, 255))
    for line in range(12, 27, 3):
        rect(16, line, 27, line + 1, (220, 230, 255, 255))
    # arrow from the back sheet to the front one
    for i in range(7):
        rect(6 + i, 26 - i // 2, 7 + i, 27 + i // 2 - i // 2, (200, 60, 20, 255))
    rect(4, 26, 12, 28, (200, 60, 20, 255))
    for i in range(4):
        rect(11 + i, 23 + i, 12 + i, 31 - i, (200, 60, 20, 255))
    return px


def icon_image(size):
    px = icon_pixels(size)
    rows = []
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = px.get((x, y), (0, 0, 0, 0))
            rows.append(struct.pack('<4B', b, g, r, a))
    mask_row_bytes = ((size + 31) // 32) * 4
    mask = []
    for y in reversed(range(size)):
        bits = 0
        for x in range(size):
            if (x, y) not in px:
                bits |= 1 << (mask_row_bytes * 8 - 1 - x)
        mask.append(bits.to_bytes(mask_row_bytes, 'big'))
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b''.join(rows) + b''.join(mask)


def write_icon(path, sizes):
    images = [icon_image(size) for size in sizes]
    offset = 6 + 16 * len(images)
    out = struct.pack('<HHH', 0, 1, len(images))
    for size, image in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    for frame in range(12):
        write_cursor(os.path.join(HERE, 'busy%02d.cur' % (frame + 1)), cursor_frame(frame))
    write_icon(os.path.join(HERE, 'morphex.ico'), [32, 16])
