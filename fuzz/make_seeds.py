#!/usr/bin/python3
"""Writes the seed corpus of the file front end fuzzer: small valid PNG and JPEG files of
every kind the decoders accept, generated here (nothing is copied in).

Run with Debian's /usr/bin/python3 (python3-numpy, python3-pil):
    make_seeds.py OUT_DIR
"""
import io
import os
import sys

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import make_images  # noqa: E402  (the PNG encoder and picture helpers of the tests)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    scratch = os.path.join(out, ".scratch")
    os.makedirs(scratch, exist_ok=True)
    rng = np.random.default_rng(7)
    # Every PNG colour type, bit depth and interlacing of the tests, at a small odd size.
    for name in make_images.pngs(scratch, rng, width=13, height=7):
        os.replace(os.path.join(scratch, name), os.path.join(out, name))
    for name in os.listdir(scratch):
        os.remove(os.path.join(scratch, name))
    os.rmdir(scratch)
    # Stored (uncompressed) zlib streams, so that mutations reach the row filters and the
    # sample unpacking rather than only the inflater.
    for depth, colour_type, channels, interlace in ((8, 2, 3, False), (16, 6, 4, True),
                                                    (1, 0, 1, True), (8, 3, 1, False)):
        samples = rng.integers(0, 1 << depth, size=(5, 9, channels), dtype=np.uint32)
        extra = make_images.chunk(b"PLTE", bytes(range(256)) * 3) if colour_type == 3 else b""
        data = make_images.png_bytes(samples, channels, depth, colour_type, interlace, extra,
                                     level=0)
        with open(os.path.join(out, f"png_stored_{colour_type}_{depth}.png"), "wb") as f:
            f.write(data)
    # JPEG: baseline and progressive, 4:4:4, 4:2:2 and 4:2:0, grey, CMYK, and one with
    # restart markers.
    picture = Image.fromarray(make_images.smooth_rgb(17, 11), "RGB")
    variants = [
        ("baseline444", picture, dict(quality=95, subsampling=0)),
        ("baseline422", picture, dict(quality=80, subsampling=1)),
        ("baseline420", picture, dict(quality=60, subsampling=2)),
        ("progressive", picture, dict(quality=90, progressive=True)),
        ("progressive420", picture, dict(quality=50, progressive=True, subsampling=2)),
        ("grey", picture.convert("L"), dict(quality=90)),
        ("grey_progressive", picture.convert("L"), dict(quality=70, progressive=True)),
        ("cmyk", picture.convert("CMYK"), dict(quality=90)),
        ("restart", picture, dict(quality=85, restart_marker_blocks=1)),
        ("optimized", picture, dict(quality=85, optimize=True)),
    ]
    for name, image, options in variants:
        buffer = io.BytesIO()
        image.save(buffer, "JPEG", **options)
        with open(os.path.join(out, f"jpeg_{name}.jpg"), "wb") as f:
            f.write(buffer.getvalue())
    sizes_and_bombs(out, picture)


def patched_jpeg(picture, patch):
    """A baseline JPEG of the picture with patch(data, sof) applied to its bytes."""
    buffer = io.BytesIO()
    picture.save(buffer, "JPEG", quality=90, subsampling=0)
    data = bytearray(buffer.getvalue())
    patch(data, data.find(b"\xff\xc0"))
    return bytes(data)


def sizes_and_bombs(out, picture):
    """Headers that claim much, data that inflates far past its header, the largest JPEG
    sides, and JPEG variants the decoder refuses or rarely sees."""
    seeds = {
        # 1 x 1, whose data inflates to far more than one pixel needs.
        "png_inflate_bomb.png": make_images.inflating_png(3 << 20),
        "png_header_20000.png": make_images.header_only_png(20000, 20000),
        "png_wide_70000.png": make_images.zero_png(70000, 1, colour_type=2),
        "png_wide_65535.png": make_images.zero_png(65535, 1),
        "jpeg_claims_1024.jpg": make_images.jpeg_claiming(1024, 1024),
        # Luma sampled 1 x 2 and 2 x 1 (SOF component bytes: id, sampling, table).
        "jpeg_sampling_12.jpg": patched_jpeg(picture, lambda d, sof: d.__setitem__(sof + 11, 0x12)),
        "jpeg_sampling_21.jpg": patched_jpeg(picture, lambda d, sof: d.__setitem__(sof + 11, 0x21)),
        # 12-bit precision, and arithmetic coding (SOF9): both refused by stb_image.
        "jpeg_12bit.jpg": patched_jpeg(picture, lambda d, sof: d.__setitem__(sof + 4, 12)),
        "jpeg_arithmetic.jpg": patched_jpeg(picture, lambda d, sof: d.__setitem__(sof + 1, 0xc9)),
    }
    # An animated PNG: stb_image reads the first frame and skips the animation chunks.
    buffer = io.BytesIO()
    picture.save(buffer, "PNG", save_all=True, append_images=[picture.rotate(90, expand=False)])
    seeds["png_animated.png"] = buffer.getvalue()
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
