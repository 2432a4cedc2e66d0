#!/usr/bin/python3
"""Evaluation of the model in eager PyTorch (no export), for tuning: the tune half of the
development set (bench/devset.py), per category, with OpenCV DIS (medium preset, the peer
users script) and the plain blend beside it. The figures that count come from
bench/quality.py, which runs the exported file through the library on both halves.

    /usr/bin/python3 model/dev_eval.py [--half validate] [--category NAME] [--items]
                                       [key=value ...]

key=value pairs are keyword arguments of Interpolator (values are Python literals). The
peers' scores are cached in the development set's cache folder.
"""
import argparse
import collections
import json
import os
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src"))

import devset  # noqa: E402
import quality  # noqa: E402
from interp import Interpolator  # noqa: E402
from model_contract import CONTRACT  # noqa: E402

torch.set_num_threads(2)


def run(model, f0, f1, t):
    """The model's frame at t for uint8 frames, padded with black as the library pads."""
    h, w = f0.shape[:2]
    pad = CONTRACT["kPadMultiple"]
    ph, pw = -(-h // pad) * pad, -(-w // pad) * pad

    def tens(f):
        x = torch.zeros(1, 3, ph, pw)
        x[0, :, :h, :w] = torch.from_numpy(np.ascontiguousarray(f)).permute(2, 0, 1) / 255.0
        return x

    with torch.no_grad():
        out = model(tens(f0), tens(f1), torch.tensor([t], dtype=torch.float32))
    out = out[0, :, :h, :w].permute(1, 2, 0).numpy()
    return (out.clip(0, 1) * 255.0 + 0.5).astype(np.uint8)


def peer_scores(item, t, truth, cache, dis_medium):
    key = f"{item.name}@{t:.4f}"
    if key not in cache:
        dis = dis_medium(item.f0, item.f1, [t])[0]
        cache[key] = {"dis": quality.psnr(dis, truth),
                      "blend": quality.psnr(quality.blend(item.f0, item.f1, [t])[0], truth)}
    return cache[key]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--half", default="tune", choices=devset.HALVES)
    ap.add_argument("--category", default=None)
    ap.add_argument("--items", action="store_true", help="one line per frame as well")
    ap.add_argument("params", nargs="*", help="key=value keyword arguments of Interpolator")
    args = ap.parse_args()
    kw = {k: eval(v) for k, v in (p.split("=", 1) for p in args.params)}
    model = Interpolator(**kw).eval()
    cache_path = os.path.join(devset.CACHE, "peer-scores.json")
    cache = json.load(open(cache_path)) if os.path.exists(cache_path) else {}
    start, rows, dis_medium = time.time(), [], quality.DIS("MEDIUM")
    cats = [args.category] if args.category else None
    for item in devset.items(half=args.half, categories=cats):
        for t, truth in item.targets:
            peers = peer_scores(item, t, truth, cache, dis_medium)
            score = quality.psnr(run(model, item.f0, item.f1, t), truth)
            rows.append((item.category, f"{item.name}@{t:.2f}", score, peers["dis"],
                         peers["blend"]))
    with open(cache_path, "w") as f:
        json.dump(cache, f)
    by_cat = collections.defaultdict(list)
    for row in rows:
        by_cat[row[0]].append(row[2:])
    if args.items:
        for cat, name, score, dis, blend in rows:
            print(f"{cat:24s} {name:36s} {score:7.2f} {dis:7.2f} {blend:7.2f} {score - dis:+7.2f}")
    print(f"{args.half} half: mean PSNR (dB) | frames | model | DIS medium | blend | model - DIS")
    for cat, scores in sorted(by_cat.items()) + [("all", [r[2:] for r in rows])]:
        m = np.mean(scores, axis=0)
        print(f"{cat:24s} {len(scores):4d} {m[0]:7.2f} {m[1]:7.2f} {m[2]:7.2f} {m[0] - m[1]:+7.2f}")
    worst = sorted(rows, key=lambda r: r[2] - max(r[3], r[4]))[:6]
    print("worst against the better of DIS and blend: " +
          "; ".join(f"{r[1]} {r[2] - max(r[3], r[4]):+.2f}" for r in worst))
    print(f"{time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
