#!/usr/bin/python3
"""Quick evaluation of the model in eager PyTorch (no export) on the development triplets
and on synthetic motion; used while developing. The figures that count come from
bench/quality.py, which runs the exported file through the library.

    /usr/bin/python3 model/dev_eval.py [key=value ...]   (keyword arguments of Interpolator)
"""
import math
import os
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))

import quality  # noqa: E402
from interp import Interpolator  # noqa: E402

torch.set_num_threads(2)


def run(model, f0, f1, t):
    h, w = f0.shape[:2]
    ph, pw = (h + 63) // 64 * 64, (w + 63) // 64 * 64

    def tens(f):
        x = torch.zeros(1, 3, ph, pw)
        x[0, :, :h, :w] = torch.from_numpy(f).permute(2, 0, 1).float() / 255.0
        return x

    with torch.no_grad():
        out = model(tens(f0), tens(f1), torch.tensor([t], dtype=torch.float32))
    out = out[0, :, :h, :w].permute(1, 2, 0).numpy()
    return (out.clip(0, 1) * 255.0 + 0.5).astype(np.uint8)


def synthetic(seed_clip="balle-jbart.mp4", idx=120):
    """Triplets with known motion made from one still: (name, f0, truth, f1)."""
    from PIL import Image
    still = Image.fromarray(quality.load_clip(seed_clip)[idx])
    W, H = still.size
    cx, cy = W / 2, H / 2
    out = []

    def affine(s, ang, tx, ty):
        # Inverse map of: scale s, rotation ang (deg), translation (tx, ty) about the centre.
        a = math.radians(ang)
        ca, sa = math.cos(a) / s, math.sin(a) / s
        m = (ca, sa, cx - ca * (cx + tx) - sa * (cy + ty),
             -sa, ca, cy + sa * (cx + tx) - ca * (cy + ty))
        return np.asarray(still.transform(still.size, Image.AFFINE, m, Image.BICUBIC))

    crop = (slice(32, H - 32), slice(32, W - 32))
    for name, p in [("shift 3.3,-1.7", (1, 0, 3.3, -1.7)), ("shift 12.6,5.2", (1, 0, 12.6, 5.2)),
                    ("zoom 3%", (1.03, 0, 0, 0)), ("rotate 2deg", (1, 2.0, 0, 0))]:
        s, ang, tx, ty = p
        f0 = affine(1 / math.sqrt(s) if s != 1 else 1, -ang / 2, -tx / 2, -ty / 2)
        tr = affine(1, 0, 0, 0)
        f1 = affine(math.sqrt(s), ang / 2, tx / 2, ty / 2)
        out.append((name, f0[crop], tr[crop], f1[crop]))
    return out


def main():
    kw = {}
    for arg in sys.argv[1:]:
        k, v = arg.split("=")
        kw[k] = eval(v)
    model = Interpolator(**kw).eval()
    rows = []
    t0 = time.time()
    for clip, n in quality.TRIPLETS:
        fr = quality.load_clip(clip)
        a, tr, b = fr[n - 1], fr[n], fr[n + 1]
        p = run(model, a, b, 0.5)
        bl = quality.blend(a, b, [0.5])[0]
        rows.append((f"{clip[:12]} {n}", quality.psnr(p, tr), quality.psnr(bl, tr)))
    for name, a, tr, b in synthetic():
        p = run(model, a, b, 0.5)
        bl = quality.blend(a, b, [0.5])[0]
        rows.append((name, quality.psnr(p, tr), quality.psnr(bl, tr)))
    for name, m, bl in rows:
        print(f"{name:20s} model {m:6.2f}  blend {bl:6.2f}  diff {m - bl:+6.2f}")
    real = np.array([r[1:] for r in rows[:len(quality.TRIPLETS)]])
    print(f"mean calib9 model {real[:9, 0].mean():.2f} blend {real[:9, 1].mean():.2f}; "
          f"all12 model {real[:, 0].mean():.2f} blend {real[:, 1].mean():.2f}; "
          f"worst vs blend {np.min(real[:, 0] - real[:, 1]):+.2f}; {time.time() - t0:.1f}s")


if __name__ == "__main__":
    main()
