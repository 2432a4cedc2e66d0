#!/usr/bin/python3
"""Writes the input images of the Windows test program into <out>: a.png and b.png
(70 x 50 RGB, smooth gradients that differ everywhere) and c.png (70 x 51).

Run with Debian's /usr/bin/python3 (python3-pil, python3-numpy).
"""
import os
import sys

import numpy as np
from PIL import Image


def gradient(width, height, flip):
    y, x = np.mgrid[0:height, 0:width]
    if flip:
        x, y = width - 1 - x, height - 1 - y
    rgb = np.stack([x * 3, y * 5, (x + y) * 2], axis=-1)
    return Image.fromarray(rgb.astype(np.uint8), "RGB")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    gradient(70, 50, False).save(os.path.join(out, "a.png"))
    gradient(70, 50, True).save(os.path.join(out, "b.png"))
    gradient(70, 51, False).save(os.path.join(out, "c.png"))


if __name__ == "__main__":
    main()
