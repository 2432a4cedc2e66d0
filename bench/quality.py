#!/usr/bin/python3
"""Quality benchmark of the shipped interpolation model, run through the library's C API,
on the development set of bench/devset.py, beside the peers a user would try.

    /usr/bin/python3 bench/devset.py prepare     # once: packages, frames, synthetic scenes
    /usr/bin/python3 bench/quality.py [--half validate] [--quick] [--no-speed] [--no-flow]
                                      [--write-results] [--lib ...] [--model-dir models]

For every item (triplets at t = 0.5, quadruplets at t = 1/3 and 2/3) each method predicts the
missing frames: repeating f0, the blend, ffmpeg's minterpolate, OpenCV's DIS optical flow
(presets ULTRAFAST, FAST and MEDIUM, each frame warped half-way) and this model through
rife_interpolate. It prints the mean PSNR (RGB, 8-bit) per category and half, seconds per
frame, the margins the model is judged by, the worst items; the end-point error of the
model's motion against DIS's on the synthetic scenes (eager PyTorch, model/interp.py); the
speed at 1280x720 against DIS and minterpolate on the same pairs in alternating turns; and
the peak memory at 1920x1080. It writes the crop picture, and with --write-results its
section of docs/results.md.
"""
import argparse
import ctypes
import datetime
import io
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import devset  # noqa: E402

MINTERPOLATE = "minterpolate=fps={fps}:mi_mode=mci:mc_mode=aobmc:me_mode=bidir:vsbmc=1"
DIS_PRESETS = ("ULTRAFAST", "FAST", "MEDIUM")
REFERENCE = "DIS MEDIUM"  # the peer the model must beat
MODEL = "model"
PAD_MULTIPLE = 64  # the library pads frames with black to multiples of this
CROP_ITEM = "retroMars2018 12"
SPEED_ITEMS = ("cityCC0 120", "pan 16px TwoWings")  # at 1280x720: real, full-frame pan
MEMORY_ITEM = "balle-jbart 120"
RESULTS = os.path.join(REPO, "docs", "results.md")
SECTION = ("<!-- quality:begin -->", "<!-- quality:end -->")


# ---------------------------------------------------------------------------------------
# Methods: each maps (frame0, frame1, list of timesteps) to a list of uint8 frames.


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10.0 * np.log10(255.0 ** 2 / mse)


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


class DIS:
    """The peer a user scripts with OpenCV: DIS flow both ways on grey frames, each frame
    sampled half-way along it (bilinear, border replicate), the two averaged. At time t,
    frame 0 is sampled at p + t F10(p) and frame 1 at p + (1 - t) F01(p), weighted 1 - t
    and t."""

    def __init__(self, preset):
        import cv2
        self.cv2 = cv2
        self.dis = cv2.DISOpticalFlow_create(getattr(cv2, "DISOPTICAL_FLOW_PRESET_" + preset))

    def flows(self, f0, f1):
        g0 = self.cv2.cvtColor(f0, self.cv2.COLOR_RGB2GRAY)
        g1 = self.cv2.cvtColor(f1, self.cv2.COLOR_RGB2GRAY)
        return self.dis.calc(g0, g1, None), self.dis.calc(g1, g0, None)

    def __call__(self, f0, f1, ts):
        f01, f10 = self.flows(f0, f1)
        h, w = f0.shape[:2]
        gx, gy = np.meshgrid(np.arange(w, dtype=np.float32), np.arange(h, dtype=np.float32))
        out = []
        for t in ts:
            w0 = self.warp(f0, gx + t * f10[..., 0], gy + t * f10[..., 1])
            w1 = self.warp(f1, gx + (1 - t) * f01[..., 0], gy + (1 - t) * f01[..., 1])
            out.append(np.clip((1 - t) * w0 + t * w1 + 0.5, 0, 255).astype(np.uint8))
        return out

    def warp(self, frame, mx, my):
        return self.cv2.remap(frame, mx, my, self.cv2.INTER_LINEAR,
                              borderMode=self.cv2.BORDER_REPLICATE).astype(np.float32)


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


def all_methods(lib):
    methods = [("repeat f0", repeat_first), ("blend", blend), ("minterpolate", minterpolate)]
    methods += [("DIS " + p, DIS(p)) for p in DIS_PRESETS]
    return methods + [(MODEL, lib.method)]


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return result, time.perf_counter() - start


# ---------------------------------------------------------------------------------------
# Scores


class Row:
    """One item's scores: method -> PSNR of each predicted frame."""

    def __init__(self, item, scores):
        self.item, self.scores = item, scores

    def mean(self, name):
        return float(np.mean(self.scores[name]))

    def margin(self):
        """The model against the better of the blend and DIS MEDIUM, worst frame."""
        return float(np.min(self.scores[MODEL] - np.maximum(self.scores["blend"],
                                                            self.scores[REFERENCE])))


def evaluate(items, methods):
    rows, seconds, frames = [], {n: 0.0 for n, _ in methods}, {n: 0 for n, _ in methods}
    for k, item in enumerate(items):
        ts = [t for t, _ in item.targets]
        scores = {}
        for name, fn in methods:
            preds, dt = timed(fn, item.f0, item.f1, ts)
            seconds[name] += dt
            frames[name] += len(ts)
            scores[name] = np.array([psnr(p, f) for p, (_, f) in zip(preds, item.targets)])
        rows.append(Row(item, scores))
        item.release()
        print(f"\r{k + 1}/{len(items)} items", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    return rows, {n: seconds[n] / max(frames[n], 1) for n in seconds}


def frame_mean(rows, name):
    """Mean PSNR over every predicted frame of the rows (a quadruplet counts twice)."""
    return float(np.mean(np.concatenate([r.scores[name] for r in rows])))


def category_table(rows, names, half, secs):
    label = half if half else "both halves"
    print(f"\n### Mean PSNR (dB) per category, {label}\n")
    print("| category | items (frames) | " + " | ".join(names) + f" | model - {REFERENCE} |")
    print("|---|---:|" + "---:|" * (len(names) + 1))
    groups = [(c, [r for r in rows if r.item.category == c]) for c in devset.CATEGORIES]
    real = set(devset.CATEGORIES[:4])
    groups += [("**real clips (first four)**", [r for r in rows if r.item.category in real]),
               ("**all**", rows)]
    for cat, sel in groups:
        if not sel:
            continue
        means = [frame_mean(sel, n) for n in names]
        count = sum(len(r.scores[MODEL]) for r in sel)
        gap = frame_mean(sel, MODEL) - frame_mean(sel, REFERENCE)
        print(f"| {cat} | {len(sel)} ({count}) | " + " | ".join(f"{m:.2f}" for m in means) +
              f" | {gap:+.2f} |")
    if secs is not None:
        print("| s/frame (mean over both halves) | | " +
              " | ".join(f"{secs[n]:.3f}" for n in names) + " | |")


def margins(rows):
    print(f"\n### Margins: model - {REFERENCE} per category (mean), and the worst item's "
          f"frame against max(blend, {REFERENCE})\n")
    print("| category | half | model - DIS MEDIUM (dB) | worst item | its margin (dB) |")
    print("|---|---|---:|---|---:|")
    for cat in devset.CATEGORIES:
        for half in devset.HALVES:
            sel = [r for r in rows if r.item.category == cat and r.item.half == half]
            if not sel:
                continue
            gap = frame_mean(sel, MODEL) - frame_mean(sel, REFERENCE)
            worst = min(sel, key=Row.margin)
            print(f"| {cat} | {half} | {gap:+.2f} | {worst.item.name} | {worst.margin():+.2f} |")


def worst_items(rows, names, count=6):
    for half in devset.HALVES:
        sel = sorted([r for r in rows if r.item.half == half], key=Row.margin)[:count]
        if not sel:
            continue
        print(f"\n### The {len(sel)} worst items of the {half} half (model against max(blend, "
              f"{REFERENCE}), worst frame)\n")
        item_table(sel, names)


def item_table(rows, names):
    print("| item | category | half | " + " | ".join(names) + " | margin |")
    print("|---|---|---|" + "---:|" * (len(names) + 1))
    for r in rows:
        print(f"| {r.item.name} | {r.item.category} | {r.item.half} | " +
              " | ".join(f"{r.mean(n):.2f}" for n in names) + f" | {r.margin():+.2f} |")


# ---------------------------------------------------------------------------------------
# Motion: end-point error on the synthetic scenes


def model_flow(model, f0, f1):
    """The model's motion 0 -> 1 at full resolution [H,W,2], from its debug outputs: flows
    [2,2,h,w] (0 -> 1 and 1 -> 0) in units of their own resolution, flow_scale times coarser
    than the padded frame."""
    import torch
    import torch.nn.functional as F
    h, w = f0.shape[:2]
    ph, pw = -(-h // PAD_MULTIPLE) * PAD_MULTIPLE, -(-w // PAD_MULTIPLE) * PAD_MULTIPLE

    def tensor(f):
        x = torch.zeros(1, 3, ph, pw)
        x[0, :, :h, :w] = torch.from_numpy(f).permute(2, 0, 1).float() / 255.0
        return x

    model.debug = {}
    with torch.no_grad():
        model(tensor(f0), tensor(f1), torch.tensor([0.5]))
    scale = model.debug.get("flow_scale", 4)
    flow = F.interpolate(model.debug["flows"][0:1], size=(ph, pw), mode="bilinear",
                         align_corners=False) * scale
    return flow[0, :, :h, :w].permute(1, 2, 0).numpy()


def end_point_errors(items):
    """Per synthetic item: mean |true motion|, and the mean end-point error of DIS MEDIUM's
    and of the model's motion 0 -> 1, over the pixels whose motion is known."""
    try:
        import torch
        sys.path.insert(0, os.path.join(REPO, "model"))
        from interp import Interpolator
    except ImportError as e:
        print(f"\n(flow errors skipped: {e}; they need Debian's python3-torch)")
        return []
    torch.set_num_threads(2)
    model, dis = Interpolator().eval(), DIS("MEDIUM")
    out = []
    for item in items:
        truth, valid = item.flow01, item.flow_valid
        est = {REFERENCE: dis.flows(item.f0, item.f1)[0], MODEL: model_flow(model, item.f0,
                                                                            item.f1)}
        # The parts that move otherwise than most of the frame: small objects, structures
        # in front of a background.
        dominant = np.median(truth[valid], axis=0)
        apart = valid & (np.linalg.norm(truth - dominant, axis=2) > 1.0)
        if apart.mean() < 0.0005:
            apart = None
        epe = {}
        for name, flow in est.items():
            err = np.linalg.norm(flow - truth, axis=2)
            epe[name] = float(err[valid].mean())
            epe[name + " apart"] = None if apart is None else float(err[apart].mean())
        out.append((item, float(np.linalg.norm(truth, axis=2)[valid].mean()), epe))
        item.release()
    return out


def flow_tables(errors):
    if not errors:
        return
    keys = [REFERENCE, MODEL, REFERENCE + " apart", MODEL + " apart"]

    def mean(sel, key):
        vals = [e[2][key] for e in sel if e[2][key] is not None]
        return f"{np.mean(vals):.2f}" if vals else "-"

    head = (f"| mean motion | {REFERENCE} | model | {REFERENCE}, apart | model, apart |\n"
            "|---:|---:|---:|---:|---:|")
    print("\n### Motion 0 -> 1 on the synthetic scenes: mean end-point error (px) against the "
          "truth\n\nOver every pixel whose motion is known, and apart: over the pixels that "
          "move otherwise than most of the frame (more than 1 px from its median motion), i.e. "
          "the small objects and the structures in front of a background.\n")
    print("| category | half | items " + head.replace("\n", "\n|---|---|---:"))
    for cat in devset.CATEGORIES:
        for half in devset.HALVES:
            sel = [e for e in errors if e[0].category == cat and e[0].half == half]
            if sel:
                print(f"| {cat} | {half} | {len(sel)} | {np.mean([e[1] for e in sel]):.2f} | " +
                      " | ".join(mean(sel, k) for k in keys) + " |")
    print("\n<details><summary>per item</summary>\n")
    print("| item | half " + head.replace("\n", "\n|---|---"))
    for e in errors:
        print(f"| {e[0].name} | {e[0].half} | {e[1]:.2f} | " +
              " | ".join(mean([e], k) for k in keys) + " |")
    print("\n</details>")


# ---------------------------------------------------------------------------------------
# Speed and memory


def find_item(name):
    return next(it for it in devset.items() if it.name == name)


def pair_720p(name):
    from PIL import Image
    item = find_item(name)
    return [f if f.shape[:2] == (720, 1280) else
            np.asarray(Image.fromarray(f).resize((1280, 720), Image.BICUBIC))
            for f in (item.f0, item.f1)]


def speed(lib, runs):
    """At 1280x720: the model, DIS MEDIUM and FAST and minterpolate on the same pair, in
    alternating turns (the order flips every round), medians of `runs`."""
    dis = {p: DIS(p) for p in ("MEDIUM", "FAST")}
    contenders = [(MODEL, lambda a, b: lib.interpolate(a, b, 0.5)),
                  ("DIS MEDIUM", lambda a, b: dis["MEDIUM"](a, b, [0.5])),
                  ("DIS FAST", lambda a, b: dis["FAST"](a, b, [0.5])),
                  ("minterpolate", lambda a, b: minterpolate(a, b, [0.5]))]
    print(f"\n### Speed at 1280x720, s/frame (median of {runs}, alternating turns)\n")
    print("| pair | model | its CPU time | DIS MEDIUM | DIS FAST | minterpolate | "
          "model / DIS MEDIUM | model / DIS FAST | model / minterpolate |")
    print("|---|" + "---:|" * 8)
    for name in SPEED_ITEMS:
        a, b = pair_720p(name)
        for _, fn in contenders:
            fn(a, b)  # warm-up: ONNX Runtime sizes its arena on the first run
        wall, cpu = {n: [] for n, _ in contenders}, []
        for r in range(runs):
            for n, fn in (contenders if r % 2 == 0 else contenders[::-1]):
                start = time.process_time()
                wall[n].append(timed(fn, a, b)[1])
                if n == MODEL:
                    cpu.append(time.process_time() - start)
        med = {n: float(np.median(v)) for n, v in wall.items()}
        print(f"| {name} | {med[MODEL]:.3f} | {np.median(cpu):.3f} | {med['DIS MEDIUM']:.3f} | "
              f"{med['DIS FAST']:.3f} | {med['minterpolate']:.3f} | "
              f"{med[MODEL] / med['DIS MEDIUM']:.2f} | {med[MODEL] / med['DIS FAST']:.2f} | "
              f"{med[MODEL] / med['minterpolate']:.2f} |")
    print(f"\n(ratio < 1: the model is faster; wall times on a shared machine; load average "
          f"{open('/proc/loadavg').read().split()[0]})")


def peak_memory(lib_path, model_dir):
    """Peak resident memory of a fresh process that starts the engine and interpolates one
    1920x1080 pair (the whole process: Python, numpy, the library and ONNX Runtime). Read
    from VmHWM: getrusage's maximum would carry over this (large) process's size through
    fork and exec."""
    code = (
        "import sys, numpy as np\n"
        f"sys.path.insert(0, {HERE!r})\n"
        "import quality\n"
        "from PIL import Image\n"
        "hwm = lambda: [ln.split()[1] for ln in open('/proc/self/status')\n"
        "               if ln.startswith('VmHWM')][0]\n"
        f"item = quality.find_item({MEMORY_ITEM!r})\n"
        "a, b = [np.asarray(Image.fromarray(f).resize((1920, 1080))) for f in (item.f0, item.f1)]\n"
        f"lib = quality.Library({lib_path!r}, {model_dir!r})\n"
        "before = hwm()\n"
        "lib.interpolate(a, b, 0.5)\n"
        "print(before, hwm())\n")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True).stdout.split()
    before, after = int(out[0]) / 1024, int(out[1]) / 1024
    print(f"\nPeak memory at 1920x1080: {after:.0f} MiB peak RSS of the whole process "
          f"({before:.0f} MiB before the call: Python, numpy, the frames and the session)")


# ---------------------------------------------------------------------------------------
# Pictures


CROP_COLUMNS = ["blend", "minterpolate", REFERENCE, MODEL]


def strongest_box(diff, size):
    """The window (y0, y1, x0, x1) of `size` where `diff` [H,W] sums highest."""
    h, w = diff.shape
    ch, cw = min(size[0], h), min(size[1], w)
    integral = np.pad(diff.astype(np.float64), ((1, 0), (1, 0))).cumsum(0).cumsum(1)
    sums = (integral[ch:, cw:] - integral[:-ch, cw:] - integral[ch:, :-cw] + integral[:-ch, :-cw])
    y, x = np.unravel_index(np.argmax(sums), sums.shape)
    return int(y), int(y + ch), int(x), int(x + cw)


def crop_row(item, methods, title, on_error):
    """Crops of the item's first target by the crop columns' methods and the truth, around
    the strongest motion (or, with on_error, the model's largest error)."""
    ts, truth = [t for t, _ in item.targets], item.targets[0][1]
    outs = [dict(methods)[n](item.f0, item.f1, ts)[0] for n in CROP_COLUMNS]
    diff = (np.abs(outs[-1].astype(np.int16) - truth) if on_error else
            np.abs(item.f0.astype(np.int16) - item.f1)).sum(axis=2)
    return title, outs + [truth], strongest_box(diff, (160, 200))


def crop_picture(path, rows):
    from PIL import Image, ImageDraw
    scale, gap, pad = 2, 4, 18
    labels = ["blend", "minterpolate", "DIS medium", "this model", "truth"]
    tiles = [[Image.fromarray(f[y0:y1, x0:x1]).resize(((x1 - x0) * scale, (y1 - y0) * scale),
                                                      Image.NEAREST) for f in frames]
             for _, frames, (y0, y1, x0, x1) in rows]
    tw = max(t.size[0] for row in tiles for t in row)
    heights = [row[0].size[1] + 2 * pad for row in tiles]
    canvas = Image.new("RGB", (len(labels) * (tw + gap) - gap, sum(heights)), "white")
    draw = ImageDraw.Draw(canvas)
    y = 0
    for (title, _, _), row, height in zip(rows, tiles, heights):
        draw.text((4, y + 3), title, fill="black")
        for i, (tile, label) in enumerate(zip(row, labels)):
            draw.text((i * (tw + gap) + 4, y + pad + 3), label, fill="black")
            canvas.paste(tile, (i * (tw + gap), y + 2 * pad))
        y += height
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    canvas.save(path)


def visible_loss(row):
    """How much more squared error the model leaves than DIS MEDIUM (per pixel, 8-bit):
    unlike a difference in dB, it is large only where the difference can be seen."""
    mse = {n: np.mean(255.0 ** 2 * 10.0 ** (-row.scores[n] / 10.0)) for n in (MODEL, REFERENCE)}
    return mse[MODEL] - mse[REFERENCE]


def losing_groups(rows):
    """(category, half, worst item's row) where the model's mean is below DIS MEDIUM's,
    worst first; the worst item is the one whose loss to DIS MEDIUM shows most."""
    out = []
    for cat in devset.CATEGORIES:
        for half in devset.HALVES:
            sel = [r for r in rows if r.item.category == cat and r.item.half == half]
            if sel:
                gap = frame_mean(sel, MODEL) - frame_mean(sel, REFERENCE)
                worst = max(sel, key=visible_loss)
                out.append((gap, cat, half, worst))
    return [(c, h, w) for g, c, h, w in sorted(out, key=lambda e: e[0]) if g < 0] or \
        [(c, h, w) for g, c, h, w in sorted(out, key=lambda e: e[0])[:1]]


def pictures(rows, methods, args):
    losing = losing_groups(rows)
    validate = [g for g in losing if g[1] == "validate"] or losing
    cat, half, worst = validate[0]
    picture_rows = [crop_row(find_item(CROP_ITEM), methods, f"{CROP_ITEM}, around the motion",
                             False),
                    crop_row(worst.item, methods, f"{worst.item.name} ({cat}, {half}): the "
                             "model's largest error", True)]
    crop_picture(args.crops, picture_rows)
    print(f"\nCrop picture: {os.path.relpath(args.crops, REPO)} ({CROP_ITEM}; {worst.item.name})")
    if args.failure_crops:
        for cat, half, r in losing:
            path = os.path.join(args.failure_crops, f"{cat}-{half}".replace("/", "-")
                                .replace(" ", "_") + ".png")
            crop_picture(path, [crop_row(r.item, methods, f"{r.item.name} ({cat}, {half})",
                                         True)])
            print(f"failure crop: {path}", file=sys.stderr)


# ---------------------------------------------------------------------------------------
# Results file and command line


class Tee:
    """Prints and keeps a copy, for the results file."""

    def __init__(self, stream):
        self.stream, self.copy = stream, io.StringIO()

    def write(self, text):
        self.stream.write(text)
        self.copy.write(text)

    def flush(self):
        self.stream.flush()


def write_results(text, command):
    """Replaces this benchmark's section of docs/results.md (creates the file if needed)."""
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    section = (f"{SECTION[0]}\n## Quality on the development set\n\n{date}, "
               f"`{command}`\n{text.rstrip()}\n{SECTION[1]}")
    if os.path.exists(RESULTS):
        old = open(RESULTS).read()
    else:
        old = ("# Results\n\nFigures measured by the project's benchmarks. Each section is "
               "rewritten by the command it names, with the date it ran.\n")
    if SECTION[0] in old and SECTION[1] in old:
        head, rest = old.split(SECTION[0], 1)
        new = head + section + rest.split(SECTION[1], 1)[1]
    else:
        new = old.rstrip("\n") + "\n\n" + section + "\n"
    with open(RESULTS, "w") as f:
        f.write(new)


def quick_subset(items):
    """Every fourth item of each category and half (at least one of each)."""
    out = []
    for cat in devset.CATEGORIES:
        for half in devset.HALVES:
            out += [it for it in items if it.category == cat and it.half == half][::4]
    return out


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lib", default=os.path.join(REPO, "build", "libkestrune-rife-inference.so.1"))
    ap.add_argument("--model-dir", default=os.path.join(REPO, "models"))
    ap.add_argument("--half", choices=devset.HALVES, help="only this half of the items")
    ap.add_argument("--quick", action="store_true", help="every fourth item of each group")
    ap.add_argument("--no-speed", action="store_true", help="skip the 1280x720 speed and memory")
    ap.add_argument("--no-flow", action="store_true", help="skip the motion errors (PyTorch)")
    ap.add_argument("--speed-runs", type=int, default=7)
    ap.add_argument("--crops", default=os.path.join(REPO, "docs", "quality-crops.png"))
    ap.add_argument("--no-crops", action="store_true")
    ap.add_argument("--failure-crops", metavar="DIR",
                    help="also one crop picture per category and half where DIS MEDIUM wins")
    ap.add_argument("--write-results", action="store_true",
                    help="replace this benchmark's section of docs/results.md")
    return ap.parse_args()


def report(rows, secs, names, half):
    print("PSNR in dB (RGB, 8-bit) of every predicted frame against the true one (triplets "
          "at t = 0.5, quadruplets at 1/3 and 2/3), averaged per category; s/frame = mean wall "
          "time per interpolated frame at the item's size. The validate half is content the "
          "model was not tuned on.")
    for h in ([half] if half else ["validate", "tune", None]):
        category_table([r for r in rows if h is None or r.item.half == h], names, h,
                       secs if h is None or half else None)
    margins(rows)
    worst_items(rows, names)
    print("\n<details><summary>every item</summary>\n")
    item_table(rows, names)
    print("\n</details>")


def main():
    args = parse_args()
    tee = Tee(sys.stdout)
    sys.stdout = tee
    items = devset.items(half=args.half)
    if args.quick:
        items = quick_subset(items)
    lib = Library(args.lib, args.model_dir)
    methods = all_methods(lib)
    names = [n for n, _ in methods]
    rows, secs = evaluate(items, methods)
    report(rows, secs, names, args.half)
    if not args.no_flow:
        synthetic = {entry[1] for entry in devset.SYNTHETIC}
        flow_tables(end_point_errors([it for it in items if it.category in synthetic]))
    if not args.no_speed:
        speed(lib, args.speed_runs)
        peak_memory(args.lib, args.model_dir)
    if not args.no_crops:
        pictures(rows, methods, args)
    lib.shutdown()
    sys.stdout = tee.stream
    if args.write_results:
        command = " ".join(["/usr/bin/python3 bench/quality.py"] + sys.argv[1:])
        write_results(tee.copy.getvalue(), command)
        print(f"results written to {os.path.relpath(RESULTS, REPO)}")


if __name__ == "__main__":
    main()
