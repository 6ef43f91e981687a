"""The pixels of a PNG as rsvg-convert and Chromium write them (8-bit RGB or
RGBA, not interlaced), with nothing but zlib: enough to tell a blank picture
from a drawn one."""

import struct
import zlib


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def png_pixels(data):
    """(width, height, [(r, g, b), ...]) of a PNG file's bytes."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour, interlace)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    step = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * step
    previous = bytearray(stride)
    pixels = []
    for y in range(height):
        row_start = y * (stride + 1)
        kind = raw[row_start]
        row = bytearray(raw[row_start + 1:row_start + 1 + stride])
        for i in range(stride):
            left = row[i - step] if i >= step else 0
            up = previous[i]
            upleft = previous[i - step] if i >= step else 0
            row[i] = (row[i] + (0, left, up, (left + up) // 2, _paeth(left, up, upleft))[kind]) & 0xff
        pixels.extend(tuple(row[i:i + 3]) for i in range(0, stride, step))
        previous = row
    return width, height, pixels
