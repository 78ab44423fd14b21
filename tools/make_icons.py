#!/usr/bin/env python3
"""Draws the program's icon and writes resources/tolvarin.ico.

The picture is defined once, in `shade` below (unit coordinates, 0..1), and rendered at each
size with 4x4 supersampling. The 16, 32 and 64 px images are 256-colour bitmaps (palette made by
ImageMagick, transparency as the AND mask); the 256 px image is stored as PNG.
Usage: tools/make_icons.py [OUT.ico]   (needs ImageMagick's `convert`)
"""
import math
import os
import struct
import subprocess
import sys
import tempfile

BITMAP_SIZES = (16, 32, 64)
PNG_SIZE = 256


def shade(x, y):
    """Colour (r, g, b, a) of the icon at (x, y): a detector body with radar arcs and an arrow."""
    # Rounded square body.
    r = 0.18
    dx = max(abs(x - 0.5) - (0.5 - r - 0.03), 0.0)
    dy = max(abs(y - 0.5) - (0.5 - r - 0.03), 0.0)
    if math.hypot(dx, dy) > r:
        return (0, 0, 0, 0)
    colour = (22, 58, 110, 255)
    # Radar arcs from the lower left corner.
    cx, cy = 0.24, 0.78
    d = math.hypot(x - cx, y - cy)
    angle = math.atan2(cy - y, x - cx)
    if 0.05 < angle < 1.52:
        for radius in (0.22, 0.38, 0.54):
            if abs(d - radius) < 0.045:
                colour = (255, 196, 40, 255)
    if d < 0.09:
        colour = (255, 196, 40, 255)
    # Down arrow (the update) in the upper right.
    ax = 0.72
    if abs(x - ax) < 0.06 and 0.16 < y < 0.42:
        colour = (236, 242, 250, 255)
    if 0.40 <= y < 0.58 and abs(x - ax) < (0.58 - y) * 0.95:
        colour = (236, 242, 250, 255)
    return colour


def render(size):
    """RGBA bytes of the picture at size x size."""
    samples = 4
    out = bytearray()
    for py in range(size):
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = shade((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    a = c[3]
                    acc[0] += c[0] * a
                    acc[1] += c[1] * a
                    acc[2] += c[2] * a
                    acc[3] += a
            n = samples * samples
            alpha = acc[3] / n
            if acc[3]:
                rgb = [round(acc[i] / acc[3]) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            out += bytes(rgb + [round(alpha)])
    return bytes(out)


def write_pam(path, size, rgba):
    with open(path, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
                % (size, size))
        f.write(rgba)


def bitmap_entry(size, rgba, work):
    """An ICO bitmap entry: BITMAPINFOHEADER (double height), 256-colour palette, XOR and AND."""
    ppm = os.path.join(work, "in%d.ppm" % size)
    with open(ppm, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (size, size))
        f.write(bytes(b for i in range(0, len(rgba), 4) for b in rgba[i:i + 3]))
    bmp = os.path.join(work, "out%d.bmp" % size)
    subprocess.run(["convert", ppm, "-dither", "None", "-colors", "256", "-type", "Palette",
                    "-compress", "None", "BMP3:" + bmp], check=True)
    data = open(bmp, "rb").read()
    pixel_offset = struct.unpack_from("<I", data, 10)[0]
    header = bytearray(data[14:54])
    width, height, planes, bits = struct.unpack_from("<iiHH", header, 4)
    if (width, height, bits) != (size, size, 8):
        sys.exit("unexpected bitmap from convert: %dx%d %d bits" % (width, height, bits))
    colours = struct.unpack_from("<I", header, 32)[0] or 256
    palette = bytearray(data[54:54 + 4 * colours]) + bytes(4 * (256 - colours))
    pixels = data[pixel_offset:pixel_offset + size * size]  # rows already 4-byte aligned
    struct.pack_into("<iIII", header, 8, size * 2, 0, 0, 0)  # height, compression, size, ...
    struct.pack_into("<HH", header, 12, 1, 8)
    struct.pack_into("<II", header, 32, 256, 0)
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in range(size - 1, -1, -1):  # bottom-up like the pixels
        bits_row = bytearray(mask_row)
        for col in range(size):
            if rgba[(row * size + col) * 4 + 3] < 128:
                bits_row[col // 8] |= 0x80 >> (col % 8)
        mask += bits_row
    return bytes(header) + bytes(palette) + pixels + bytes(mask)


def png_entry(size, rgba, work):
    pam = os.path.join(work, "in%d.pam" % size)
    write_pam(pam, size, rgba)
    png = os.path.join(work, "out%d.png" % size)
    subprocess.run(["convert", pam, "-strip", "PNG32:" + png], check=True)
    return open(png, "rb").read()


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "resources", "tolvarin.ico")
    with tempfile.TemporaryDirectory() as work:
        images = []
        for size in BITMAP_SIZES:
            images.append((size, 256, 8, bitmap_entry(size, render(size), work)))
        images.append((PNG_SIZE, 0, 32, png_entry(PNG_SIZE, render(PNG_SIZE), work)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, colours, bits, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours % 256, 0, 1, bits,
                                 len(data), offset + len(body))
        body += data
    with open(out, "wb") as f:
        f.write(directory + body)
    print("wrote %s (%s)" % (os.path.normpath(out), ", ".join(str(i[0]) for i in images)))


if __name__ == "__main__":
    main()
