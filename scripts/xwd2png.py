#!/usr/bin/python3
"""Turns an X window dump (xwd, true colour) into a PNG, optionally cropped:
xwd2png.py IN.xwd OUT.png [X Y WIDTH HEIGHT]. Only the standard library."""
import struct
import sys
import zlib


def main():
    data = open(sys.argv[1], 'rb').read()
    fields = struct.unpack('>25I', data[:100])
    header_size, _, _, _, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask = fields[14:17]
    ncolors = fields[19]
    # Xvfb's 24-bit screens keep each pixel in four bytes whatever the header's bit count says.
    step = 4 if bytes_per_line >= 4 * width else bits_per_pixel // 8
    if step not in (3, 4):
        sys.exit('xwd2png: only true-colour dumps of 24 or 32 bits are handled')
    pixels = data[header_size + 12 * ncolors:]
    x0, y0, w, h = (int(v) for v in sys.argv[3:7]) if len(sys.argv) > 6 else (0, 0, width, height)
    w, h = min(w, width - x0), min(h, height - y0)
    little = byte_order == 0

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    rows = bytearray()
    for y in range(y0, y0 + h):
        rows.append(0)
        line = pixels[y * bytes_per_line:(y + 1) * bytes_per_line]
        for x in range(x0, x0 + w):
            raw = line[step * x:step * x + step]
            p = int.from_bytes(raw[:3] if little else raw[-3:], 'little' if little else 'big')
            rows += bytes(((p & red_mask) >> rs, (p & green_mask) >> gs, (p & blue_mask) >> bs))

    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body) & 0xffffffff)

    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(bytes(rows), 9)) + chunk(b'IEND', b'')
    open(sys.argv[2], 'wb').write(png)


if __name__ == '__main__':
    main()
