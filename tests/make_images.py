#!/usr/bin/python3
"""Writes the input images of the file front end tests into one folder.

Run with Debian's /usr/bin/python3 (python3-numpy, python3-pil):
    make_images.py OUT_DIR

PNG files are written by the small encoder below, so every colour type, bit depth and
interlacing is available, and beside each one NAME.rgb holds the packed RGB that a
decoder asking for 3 components must return (grey copied into R, G and B, alpha dropped,
palette expanded, 16-bit samples cut to their high byte, low bit depths scaled to 0..255).
JPEG, BMP and GIF files come from PIL.
The decompression bombs are PNG and JPEG files whose headers claim huge sizes.
"""
import io
import os
import struct
import sys
import zlib

import numpy as np
from PIL import Image

# Test frames: an odd size so the library pads on both sides.
W, H = 70, 50

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]  # (x0, y0, dx, dy) of each pass


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def ihdr(width, height, depth, colour_type, interlace=0):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0,
                                      interlace))


def pack_rows(samples, depth):
    """samples: (h, w * channels) unsigned ints -> list of packed row bytes."""
    rows = []
    for row in samples:
        if depth == 16:
            rows.append(row.astype(">u2").tobytes())
        elif depth == 8:
            rows.append(row.astype(np.uint8).tobytes())
        else:
            per_byte = 8 // depth
            padded = np.zeros(-(-len(row) // per_byte) * per_byte, dtype=np.uint8)
            padded[:len(row)] = row
            groups = padded.reshape(-1, per_byte)
            packed = np.zeros(len(groups), dtype=np.uint8)
            for i in range(per_byte):
                packed |= (groups[:, i] << (8 - depth * (i + 1))).astype(np.uint8)
            rows.append(packed.tobytes())
    return rows


def png_bytes(samples, channels, depth, colour_type, interlace=False, extra=b"", level=9):
    """samples: (h, w, channels) array of raw sample values (palette indices for type 3)."""
    height, width = samples.shape[:2]
    raw = bytearray()
    if interlace:
        for x0, y0, dx, dy in ADAM7:
            sub = samples[y0::dy, x0::dx]
            if sub.shape[0] == 0 or sub.shape[1] == 0:
                continue
            for row in pack_rows(sub.reshape(sub.shape[0], -1), depth):
                raw += b"\x00" + row
    else:
        for row in pack_rows(samples.reshape(height, -1), depth):
            raw += b"\x00" + row
    return (PNG_SIGNATURE + ihdr(width, height, depth, colour_type, 1 if interlace else 0) +
            extra + chunk(b"IDAT", zlib.compress(bytes(raw), level)) + chunk(b"IEND", b""))


def to_8bit(samples, depth):
    """What stb_image returns for 8-bit output: high byte of 16-bit, low depths scaled."""
    if depth == 16:
        return (samples >> 8).astype(np.uint8)
    scale = {1: 0xFF, 2: 0x55, 4: 0x11, 8: 1}[depth]
    return (samples * scale).astype(np.uint8)


def write(out, name, data, rgb=None):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
    if rgb is not None:
        stem = os.path.splitext(name)[0]
        with open(os.path.join(out, stem + ".rgb"), "wb") as f:
            f.write(np.ascontiguousarray(rgb, dtype=np.uint8).tobytes())


def rng_samples(rng, shape, depth):
    return rng.integers(0, 1 << depth, size=shape, dtype=np.uint32)


def pngs(out, rng, width=W, height=H):
    """The PNG variants, each with the RGB a 3-component decode must give."""
    made = []

    def grey(depth, interlace=False, tag=""):
        s = rng_samples(rng, (height, width, 1), depth)
        g = to_8bit(s, depth)
        name = f"png_grey{depth}{tag}.png"
        write(out, name, png_bytes(s, 1, depth, 0, interlace), np.repeat(g, 3, axis=2))
        made.append(name)

    for depth in (1, 2, 4, 8, 16):
        grey(depth)
    grey(2, interlace=True, tag="_interlaced")

    for depth in (8, 16):
        s = rng_samples(rng, (height, width, 2), depth)
        g = to_8bit(s[:, :, :1], depth)
        name = f"png_greyalpha{depth}.png"
        write(out, name, png_bytes(s, 2, depth, 4), np.repeat(g, 3, axis=2))
        made.append(name)

        s = rng_samples(rng, (height, width, 3), depth)
        name = f"png_rgb{depth}.png"
        write(out, name, png_bytes(s, 3, depth, 2), to_8bit(s, depth))
        made.append(name)

        s = rng_samples(rng, (height, width, 4), depth)
        name = f"png_rgba{depth}.png"
        write(out, name, png_bytes(s, 4, depth, 6), to_8bit(s[:, :, :3], depth))
        made.append(name)

    s = rng_samples(rng, (height, width, 3), 8)
    name = "png_rgb8_interlaced.png"
    write(out, name, png_bytes(s, 3, 8, 2, interlace=True), s)
    made.append(name)

    # Palette images: 8-bit, 4-bit interlaced, and one with a transparency chunk (whose
    # alpha is dropped, not composited).
    for depth, interlace, trns in ((8, False, False), (4, True, False), (8, False, True)):
        entries = 1 << depth
        palette = rng.integers(0, 256, size=(entries, 3), dtype=np.uint32)
        s = rng_samples(rng, (height, width, 1), depth)
        extra = chunk(b"PLTE", palette.astype(np.uint8).tobytes())
        if trns:
            extra += chunk(b"tRNS", bytes(range(0, 256, 256 // entries))[:entries])
        tag = ("_interlaced" if interlace else "") + ("_trns" if trns else "")
        name = f"png_palette{depth}{tag}.png"
        write(out, name, png_bytes(s, 1, depth, 3, interlace, extra), palette[s[:, :, 0]])
        made.append(name)
    return made


def smooth_rgb(width, height):
    """A smooth picture (gradients and a disc) that JPEG keeps close to its source."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    r = 255 * x / max(width - 1, 1)
    g = 255 * y / max(height - 1, 1)
    disc = ((x - width / 2) ** 2 + (y - height / 2) ** 2) < (min(width, height) / 3) ** 2
    b = np.where(disc, 220.0, 40.0)
    return np.stack([r, g, b], axis=2).round().astype(np.uint8)


def jpegs(out, width=W, height=H):
    rgb = smooth_rgb(width, height)
    image = Image.fromarray(rgb, "RGB")
    made = []

    def save(name, img, **options):
        buffer = io.BytesIO()
        img.save(buffer, "JPEG", **options)
        write(out, name, buffer.getvalue())
        made.append(name)

    save("jpeg_baseline.jpg", image, quality=95)
    save("jpeg_progressive.jpg", image, quality=95, progressive=True)
    save("jpeg_subsampled.jpg", image, quality=75, subsampling=2)
    save("jpeg_grey.jpg", image.convert("L"), quality=95)
    # PIL writes CMYK with an Adobe marker and inverted samples; the decoder turns it back.
    save("jpeg_cmyk.jpg", image.convert("CMYK"), quality=95)
    return made, image


def other_formats(out, image):
    image.save(os.path.join(out, "image.bmp"), "BMP")
    image.save(os.path.join(out, "image.gif"), "GIF")
    with open(os.path.join(out, "png_rgb8.png"), "rb") as f:
        whole = f.read()
    write(out, "truncated.png", whole[:len(whole) // 2])


def zero_png(width, height, colour_type=0, depth=8):
    """A PNG of the given size holding only zero samples, compressed as it goes."""
    channels = {0: 1, 2: 3}[colour_type]
    row = b"\x00" * (1 + width * channels * depth // 8)
    compressor = zlib.compressobj(9)
    parts = [compressor.compress(row) for _ in range(height)]
    data = b"".join(parts) + compressor.flush()
    return (PNG_SIGNATURE + ihdr(width, height, depth, colour_type) + chunk(b"IDAT", data) +
            chunk(b"IEND", b""))


def header_only_png(width, height, colour_type=2):
    """A PNG whose header claims the size, followed by almost no image data."""
    return (PNG_SIGNATURE + ihdr(width, height, 8, colour_type) +
            chunk(b"IDAT", zlib.compress(b"\x00" * 64)) + chunk(b"IEND", b""))


def inflating_png(inflated_bytes):
    """A 1 x 1 grey PNG whose image data inflates to inflated_bytes (zeros), compressed
    as it goes."""
    compressor = zlib.compressobj(9)
    block = b"\x00" * (1 << 20)
    parts = [compressor.compress(block) for _ in range(inflated_bytes >> 20)]
    data = b"".join(parts) + compressor.flush()
    return (PNG_SIGNATURE + ihdr(1, 1, 8, 0) + chunk(b"IDAT", data) + chunk(b"IEND", b""))


def jpeg_claiming(width, height, mode="RGB"):
    """A small baseline JPEG whose frame header is rewritten to claim width x height."""
    buffer = io.BytesIO()
    Image.new(mode, (8, 8)).save(buffer, "JPEG", quality=90)
    data = bytearray(buffer.getvalue())
    sof = data.find(b"\xff\xc0")
    struct.pack_into(">HH", data, sof + 5, height, width)
    return bytes(data)


def bombs(out):
    # Decodable within memory: 20000 x 20000 grey, ~400 KB on disk, 1.2 GB as RGB.
    write(out, "bomb_grey_20000.png", zero_png(20000, 20000))
    # Header claims 20000 x 20000 RGB (1.2 GB raw), with next to no data behind it.
    write(out, "bomb_header_20000.png", header_only_png(20000, 20000))
    # One pixel past the largest side a decoder accepts, in either direction.
    write(out, "bomb_wide_16777217.png", zero_png(16777217, 1))
    write(out, "bomb_tall_16777217.png", header_only_png(1, 16777217, colour_type=0))
    # Exactly the largest side: decodes (48 MB as RGB) but is too large to interpolate.
    write(out, "wide_16777216.png", zero_png(16777216, 1))
    # A JPEG header holds 16-bit sizes, so 65535 is the largest side a JPEG can claim;
    # as RGB that is far beyond what the decoder allocates.
    write(out, "bomb_65535.jpg", jpeg_claiming(65535, 65535))
    # One pixel whose data inflates to 400 MB: only the first 2 bytes are image data.
    write(out, "bomb_inflate_1x1.png", inflating_png(400 << 20))
    # Sides around the largest a JPEG header can hold.
    for width in (65535, 65536, 70000):
        write(out, f"wide_{width}.png", zero_png(width, 1, colour_type=2))


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(20261209)
    pngs(out, rng)
    _, image = jpegs(out)
    other_formats(out, image)
    # 640 x 480 against 640 x 481.
    write(out, "size_640x480.png", zero_png(640, 480, colour_type=2))
    write(out, "size_640x481.png", zero_png(640, 481, colour_type=2))
    bombs(out)
    # Noise, so that its PNG is larger than a pipe holds.
    write(out, "noise_256.png", png_bytes(rng_samples(rng, (256, 256, 3), 8), 3, 8, 2))


if __name__ == "__main__":
    main()
