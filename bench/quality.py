#!/usr/bin/python3
"""Quality benchmark of the shipped interpolation model, run through the library's C API.

    /usr/bin/python3 bench/quality.py [--lib build-model/libkestrune-rife-inference.so.1]
                                      [--model-dir models] [--crops docs/quality-crops.png]

Extracts triplets (f[n-1], f[n], f[n+1]) from the development videos, predicts f[n] at
t = 0.5 and reports the RGB 8-bit PSNR per triplet and the mean, against three baselines
computed in the same run: repeating f[n-1], the blend of f[n-1] and f[n+1], and ffmpeg's
motion-compensated minterpolate. Quadruplets (f[n-1], f[n], f[n+1], f[n+2]) are scored at
t = 1/3 and 2/3 the same way. Every method is also timed (seconds per interpolated frame).
Finally the speed of the library at 1280x720 is measured, and one side-by-side crop picture
(blend / minterpolate / model / truth) is written.

Needs Debian's python3 (numpy, PIL), ffmpeg, and the development videos of python3-mecavideo.
"""
import argparse
import ctypes
import os
import subprocess
import sys
import time

import numpy as np

VIDEO_DIR = "/usr/share/pymecavideo/data/video"
CACHE_DIR = "/tmp/kri-quality-cache"
MINTERPOLATE = "minterpolate=fps={fps}:mi_mode=mci:mc_mode=aobmc:me_mode=bidir:vsbmc=1"

# Centre frame indices (0-based) of the development triplets: every one has visible motion.
# The first nine are the calibration set the project's first measurements used.
TRIPLETS = [
    ("balle-jbart.mp4", 50), ("balle-jbart.mp4", 120), ("balle-jbart.mp4", 200),
    ("retroMars2018.avi", 5), ("retroMars2018.avi", 12), ("retroMars2018.avi", 20),
    ("Principe_inertie.avi", 8), ("Principe_inertie.avi", 16),
    ("Effet_force_magnetique.ogv", 30),
    ("Force_constante.avi", 12), ("g1.avi", 8), ("g2.avi", 8),
]
CALIBRATION = 9
# First frame index of the quadruplets (f[n], f[n+1], f[n+2], f[n+3]); the middle two are
# predicted at t = 1/3 and 2/3 from the outer two.
QUADRUPLETS = [
    ("balle-jbart.mp4", 100), ("retroMars2018.avi", 8), ("Principe_inertie.avi", 10),
    ("Effet_force_magnetique.ogv", 20), ("Force_constante.avi", 10),
]
CROP_TRIPLET = ("retroMars2018.avi", 12)

# ---------------------------------------------------------------------------------------
# Frames


def load_clip(name):
    """All frames of a development video as a uint8 array [N, H, W, 3] (cached in /tmp)."""
    os.makedirs(CACHE_DIR, exist_ok=True)
    cache = os.path.join(CACHE_DIR, name + ".npy")
    if os.path.exists(cache):
        return np.load(cache, mmap_mode="r")
    path = os.path.join(VIDEO_DIR, name)
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=width,height", "-of", "csv=p=0", path],
                           check=True, capture_output=True, text=True).stdout.split(",")
    w, h = int(probe[0]), int(probe[1])
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vsync", "0", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
    frames = np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3)
    np.save(cache, frames)
    return frames


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10.0 * np.log10(255.0 ** 2 / mse)


# ---------------------------------------------------------------------------------------
# Methods: each maps (frame0, frame1, list of timesteps) to a list of uint8 frames.


def repeat_first(f0, f1, ts):
    return [f0.copy() for _ in ts]


def blend(f0, f1, ts):
    a, b = f0.astype(np.float32), f1.astype(np.float32)
    return [np.clip((1 - t) * a + t * b + 0.5, 0, 255).astype(np.uint8) for t in ts]


def minterpolate(f0, f1, ts):
    """ffmpeg's minterpolate on the pair, at fps = len(ts) + 1 from 1 frame/s.

    The pair is fed as (f0, f1, f1): minterpolate only emits the frames between f0 and f1
    once it has seen the frame after f1; output k (1 <= k <= len(ts)) lies at k / (len+1)."""
    steps = len(ts) + 1
    for k, t in enumerate(ts, 1):
        assert abs(t - k / steps) < 1e-6, "minterpolate only gives evenly spaced timesteps"
    h, w = f0.shape[:2]
    src = np.stack([f0, f1, f1]).tobytes()
    cmd = ["ffmpeg", "-v", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{w}x{h}",
           "-framerate", "1", "-i", "-", "-vf", MINTERPOLATE.format(fps=steps),
           "-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    out = subprocess.run(cmd, input=src, check=True, capture_output=True).stdout
    frames = np.frombuffer(out, np.uint8).reshape(-1, h, w, 3)
    return [frames[k].copy() for k in range(1, steps)]


class Library:
    """The library's C API through ctypes."""

    def __init__(self, path, model_dir):
        self.lib = ctypes.CDLL(os.path.abspath(path))
        self.lib.rife_init.argtypes = [ctypes.c_char_p]
        self.lib.rife_interpolate.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int,
                                              ctypes.c_int, ctypes.c_void_p, ctypes.c_float]
        self.lib.rife_get_error.restype = ctypes.c_char_p
        if self.lib.rife_init(os.path.abspath(model_dir).encode()) != 0:
            raise RuntimeError("rife_init: " + self.lib.rife_get_error().decode())

    def interpolate(self, f0, f1, t):
        h, w = f0.shape[:2]
        a, b = np.ascontiguousarray(f0), np.ascontiguousarray(f1)
        out = np.empty_like(a)
        if self.lib.rife_interpolate(a.ctypes.data, b.ctypes.data, w, h, out.ctypes.data,
                                     ctypes.c_float(t)) != 0:
            raise RuntimeError("rife_interpolate: " + self.lib.rife_get_error().decode())
        return out

    def method(self, f0, f1, ts):
        return [self.interpolate(f0, f1, t) for t in ts]

    def shutdown(self):
        self.lib.rife_shutdown()


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return result, time.perf_counter() - start


# ---------------------------------------------------------------------------------------
# Report


def crop_picture(path, frames, labels, box):
    from PIL import Image, ImageDraw
    y0, y1, x0, x1 = box
    scale = 2
    tiles = [Image.fromarray(f[y0:y1, x0:x1]).resize(((x1 - x0) * scale, (y1 - y0) * scale),
                                                     Image.NEAREST) for f in frames]
    tw, th = tiles[0].size
    pad = 18
    canvas = Image.new("RGB", (tw * len(tiles) + 4 * (len(tiles) - 1), th + pad), "white")
    draw = ImageDraw.Draw(canvas)
    for i, (tile, label) in enumerate(zip(tiles, labels)):
        canvas.paste(tile, (i * (tw + 4), pad))
        draw.text((i * (tw + 4) + 4, 3), label, fill="black")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    canvas.save(path)


def motion_box(f0, f1, size):
    """The crop window (y0, y1, x0, x1) centred on the strongest change between f0 and f1."""
    diff = np.abs(f0.astype(np.int16) - f1.astype(np.int16)).sum(axis=2).astype(np.float64)
    h, w = diff.shape
    ch, cw = min(size[0], h), min(size[1], w)
    integral = np.pad(diff, ((1, 0), (1, 0))).cumsum(0).cumsum(1)
    sums = (integral[ch:, cw:] - integral[:-ch, cw:] - integral[ch:, :-cw] + integral[:-ch, :-cw])
    y, x = np.unravel_index(np.argmax(sums), sums.shape)
    return int(y), int(y + ch), int(x), int(x + cw)


def peak_memory(lib_path, model_dir):
    """Peak resident memory of a fresh process that starts the engine and interpolates one
    1920x1080 pair (the whole process: Python, numpy, the library and ONNX Runtime)."""
    code = (
        "import sys, resource, numpy as np\n"
        f"sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
        "import quality\n"
        f"lib = quality.Library({lib_path!r}, {model_dir!r})\n"
        "from PIL import Image\n"
        "f = quality.load_clip('balle-jbart.mp4')\n"
        "a, b = [np.asarray(Image.fromarray(f[k]).resize((1920, 1080))) for k in (119, 121)]\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "lib.interpolate(a, b, 0.5)\n"
        "print(before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True).stdout.split()
    before, after = int(out[0]) / 1024, int(out[1]) / 1024
    return (f"{after:.0f} MiB peak RSS of the whole process ({before:.0f} MiB before the "
            f"call: Python, numpy, the frames and the loaded session)")


def speed(lib, runs_per_pair):
    # Speed at 1280x720 through the library: a real pair scaled up (mostly static, small
    # moving objects), and a full-frame pan (every pixel moves) made from one still.
    from PIL import Image
    frames = load_clip("balle-jbart.mp4")
    pairs = {"real pair (balle-jbart 119/121)": [
        np.asarray(Image.fromarray(frames[k]).resize((1280, 720), Image.BICUBIC))
        for k in (119, 121)]}
    still = np.asarray(Image.fromarray(frames[120]).resize((1700, 960), Image.BICUBIC))
    pairs["full-frame pan (9,5 px)"] = [still[40:760, 60:1340], still[45:765, 69:1349]]
    print("\n| 1280x720 | rife_interpolate (s/frame, median of %d) | its CPU time (s/frame, "
          "all threads) | minterpolate (s/frame) | ratio |" % runs_per_pair)
    print("|---|---:|---:|---:|---:|")
    for label, (a, b) in pairs.items():
        lib.interpolate(a, b, 0.5)  # first run sizes ONNX Runtime's arena
        runs, cpu, mruns = [], [], []
        for _ in range(runs_per_pair):
            start = time.process_time()
            runs.append(timed(lib.interpolate, a, b, 0.5)[1])
            cpu.append(time.process_time() - start)
            mruns.append(timed(minterpolate, a, b, [0.5])[1])
        print(f"| {label} | {np.median(runs):.3f} | {np.median(cpu):.3f} | "
              f"{np.median(mruns):.3f} | {np.median(runs) / np.median(mruns):.2f} |")
    print("(ratio < 1: faster than minterpolate in the same run; wall times depend on the "
          "machine's load, uptime: %s)" % open("/proc/loadavg").read().split()[0])


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lib", default=os.path.join(root, "build-model",
                                                  "libkestrune-rife-inference.so.1"))
    ap.add_argument("--model-dir", default=os.path.join(root, "models"))
    ap.add_argument("--crops", default=os.path.join(root, "docs", "quality-crops.png"))
    ap.add_argument("--no-crops", action="store_true")
    ap.add_argument("--speed-runs", type=int, default=5)
    ap.add_argument("--speed-only", action="store_true",
                    help="only the 1280x720 speed comparison")
    args = ap.parse_args()

    lib = Library(args.lib, args.model_dir)
    methods = [("repeat f[n-1]", repeat_first), ("blend", blend), ("minterpolate", minterpolate),
               ("model (library)", lib.method)]
    names = [m[0] for m in methods]

    if args.speed_only:
        speed(lib, args.speed_runs)
        lib.shutdown()
        return None

    # Triplets at t = 0.5.
    rows, seconds, crop_frames = [], {n: 0.0 for n in names}, None
    for clip, n in TRIPLETS:
        frames = load_clip(clip)
        f0, truth, f1 = frames[n - 1], frames[n], frames[n + 1]
        scores = []
        outs = {}
        for name, fn in methods:
            (pred,), dt = timed(fn, f0, f1, [0.5])
            seconds[name] += dt
            scores.append(psnr(pred, truth))
            outs[name] = pred
        rows.append((f"{clip.rsplit('.', 1)[0]} {n}", scores))
        if (clip, n) == CROP_TRIPLET:
            crop_frames = (f0, f1, outs, truth)

    # Quadruplets at t = 1/3 and 2/3.
    qrows, qseconds = [], {n: 0.0 for n in names}
    for clip, n in QUADRUPLETS:
        frames = load_clip(clip)
        f0, t1, t2, f1 = frames[n], frames[n + 1], frames[n + 2], frames[n + 3]
        scores = []
        for name, fn in methods:
            preds, dt = timed(fn, f0, f1, [1 / 3, 2 / 3])
            qseconds[name] += dt / 2
            scores.append((psnr(preds[0], t1), psnr(preds[1], t2)))
        qrows.append((f"{clip.rsplit('.', 1)[0]} {n}+1/3", [s[0] for s in scores]))
        qrows.append((f"{clip.rsplit('.', 1)[0]} {n}+2/3", [s[1] for s in scores]))

    def table(title, rows, secs, count):
        print(f"\n### {title}\n")
        print("| triplet | " + " | ".join(names) + " |")
        print("|---|" + "---:|" * len(names))
        for label, scores in rows:
            print(f"| {label} | " + " | ".join(f"{s:.2f}" for s in scores) + " |")
        means = np.mean([s for _, s in rows], axis=0)
        print("| **mean PSNR (dB)** | " + " | ".join(f"**{m:.2f}**" for m in means) + " |")
        print("| s/frame | " + " | ".join(f"{secs[n] / count:.3f}" for n in names) + " |")
        return means

    print("PSNR in dB (RGB, 8-bit) against the true frame; s/frame = mean wall time per "
          "interpolated frame at the clip's size.")
    means = table("Triplets, t = 0.5", rows, seconds, len(TRIPLETS))
    cal = np.mean([s for _, s in rows[:CALIBRATION]], axis=0)
    print("\nMean over the first %d (calibration) triplets: " % CALIBRATION +
          ", ".join(f"{n} {m:.2f}" for n, m in zip(names, cal)))
    table("Quadruplets, t = 1/3 and 2/3", qrows, qseconds, 2 * len(QUADRUPLETS))

    # Margins the targets are stated in.
    model = np.array([s[3] for _, s in rows])
    blend_s = np.array([s[1] for _, s in rows])
    minter = np.array([s[2] for _, s in rows])
    print(f"\nmodel - minterpolate, mean over triplets: {model.mean() - minter.mean():+.2f} dB")
    print(f"model - blend, worst triplet: {np.min(model - blend_s):+.2f} dB")

    speed(lib, args.speed_runs)
    print(f"\npeak memory at 1920x1080: {peak_memory(args.lib, args.model_dir)}")

    if crop_frames and not args.no_crops:
        f0, f1, outs, truth = crop_frames
        box = motion_box(f0, f1, (160, 200))
        crop_picture(args.crops, [outs["blend"], outs["minterpolate"], outs["model (library)"],
                                  truth],
                     ["blend", "minterpolate", "this model", "truth"], box)
        print(f"crops of {CROP_TRIPLET[0]} frame {CROP_TRIPLET[1]} written to {args.crops}")
    lib.shutdown()
    return means


if __name__ == "__main__":
    main()
