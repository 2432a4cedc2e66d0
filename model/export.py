#!/usr/bin/python3
"""Writes the shipped model file from model/interp.py.

    /usr/bin/python3 model/export.py [output.onnx]      (default: models/rife49_ensemble.onnx)

The model has no trained weights, so the file is a pure function of the source: the same
PyTorch (Debian's python3-torch 1.13) writes the same bytes.
"""
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


def export(path):
    model = Interpolator().eval()
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


if __name__ == "__main__":
    export(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "models",
                                                               CONTRACT["kFileName"]))
