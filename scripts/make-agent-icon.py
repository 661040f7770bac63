#!/usr/bin/env python3
"""Draws the monitor agent's icon (agent/agent_service.ico): a dark screen with
a green load trace, 16x16 and 32x32, 32 bits per pixel. Run from the source
root after changing the drawing; the output is committed."""
import struct
import sys


def draw(size):
    """Rows of (b, g, r, a) pixels, top row first."""
    frame = (0x50, 0x50, 0x50, 0xFF)
    screen = (0x30, 0x20, 0x10, 0xFF)
    trace = (0x40, 0xD0, 0x40, 0xFF)
    clear = (0, 0, 0, 0)
    s = size / 16.0
    px = [[clear] * size for _ in range(size)]
    top, bottom, left, right = int(2 * s), int(12 * s), int(1 * s), size - int(1 * s)
    for y in range(top, bottom):
        for x in range(left, right):
            edge = y in (top, bottom - 1) or x in (left, right - 1)
            px[y][x] = frame if edge else screen
    # The stand under the screen.
    for y in range(bottom, bottom + int(2 * s)):
        for x in range(int(6 * s), size - int(6 * s)):
            px[y][x] = frame
    # A load trace across the screen: flat, a peak, flat again.
    heights = [3, 3, 4, 6, 8, 5, 4, 6, 7, 4, 3, 3]
    inner = right - left - 2
    for x in range(inner):
        h = heights[x * len(heights) // inner]
        y = bottom - 2 - int(h * s * (bottom - top - 3) / (8 * s))
        px[max(y, top + 1)][left + 1 + x] = trace
    return px


def bitmap(size):
    px = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b''.join(bytes(p) for row in reversed(px) for p in row)
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # alpha decides; the AND mask is all zero
    return header + colour + mask


def icon(sizes):
    images = [bitmap(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b''.join(images)


if __name__ == '__main__':
    path = sys.argv[1] if len(sys.argv) > 1 else 'agent/agent_service.ico'
    with open(path, 'wb') as f:
        f.write(icon([16, 32]))
