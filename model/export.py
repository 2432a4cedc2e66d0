#!/usr/bin/python3
"""Writes the shipped model file from model/interp.py.

    /usr/bin/python3 model/export.py [output.onnx]      (default: models/rife49_ensemble.onnx)
    /usr/bin/python3 model/export.py --by-stage DIR/rife49_ensemble.onnx

The model has no trained weights, so the file is a pure function of the source: the same
PyTorch (Debian's python3-torch 1.13) writes the same bytes.

--by-stage writes a file for profiling only: the same computation, but every node's name
starts with the methods of Interpolator it was made in ("/bidirectional_flow/refine_2/Mul_3"
for the third call of refine() within bidirectional_flow()), which build/bench/profile_model
sums per stage.
"""
import argparse
import inspect
import io
import os
import sys

import onnx
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "src"))
from interp import Interpolator  # noqa: E402
from model_contract import CONTRACT  # noqa: E402

OPSET = 16  # GridSample needs 16


class Stage(torch.nn.Module):
    """One method of Interpolator as a submodule: the exporter names nodes by the modules
    they were made in."""

    def __init__(self, method):
        super().__init__()
        self.method = method

    def forward(self, *args, **kwargs):
        return self.method(*args, **kwargs)


def by_stage(model):
    """model with each of its own methods but forward() called through a Stage."""
    for name, member in vars(Interpolator).items():
        if inspect.isfunction(member) and not name.startswith("_") and name != "forward":
            # In the instance's attributes, where it comes before the class's method, and
            # among its submodules, which give the names.
            stage = Stage(getattr(model, name))
            object.__setattr__(model, name, stage)
            model._modules[name] = stage
    return model


def export(path, stages=False):
    model = Interpolator().eval()
    if stages:
        model = by_stage(model)
    pad = CONTRACT["kPadMultiple"]
    h, w = 2 * pad, 3 * pad
    args = (torch.rand(1, 3, h, w), torch.rand(1, 3, h, w), torch.tensor([0.5]))
    img0, img1, output = CONTRACT["kFirstFrame"], CONTRACT["kSecondFrame"], CONTRACT["kOutput"]
    buf = io.BytesIO()
    with torch.no_grad():
        torch.onnx.export(model, args, buf, opset_version=OPSET,
                          input_names=[img0, img1, CONTRACT["kTimestep"]],
                          output_names=[output],
                          dynamic_axes={img0: {2: "H", 3: "W"}, img1: {2: "H", 3: "W"},
                                        output: {2: "H", 3: "W"}},
                          do_constant_folding=True)
    m = onnx.load_from_string(buf.getvalue())
    m.doc_string = ("Training-free motion-compensated frame interpolation "
                    "(kestrune-rife-inference model/interp.py)")
    m.producer_name = "kestrune-rife-inference model/export.py"
    onnx.checker.check_model(m)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    onnx.save(m, path)
    print(f"wrote {path}: {os.path.getsize(path)} bytes, {len(m.graph.node)} nodes")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("output", nargs="?", help="where to write (default: the shipped file)")
    ap.add_argument("--by-stage", action="store_true",
                    help="node names carry their stage (for profiling, not shipping)")
    args = ap.parse_args()
    if args.by_stage and not args.output:
        ap.error("--by-stage needs an output path (the file is for profiling, not shipping)")
    export(args.output or os.path.join(ROOT, "models", CONTRACT["kFileName"]),
           stages=args.by_stage)


if __name__ == "__main__":
    main()
