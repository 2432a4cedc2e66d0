#!/usr/bin/python3
"""Writes the small ONNX models the tests run, each as <out>/<name>/rife49_ensemble.onnx.

Run with Debian's /usr/bin/python3 (python3-onnx, python3-numpy). Every model has the
library's interface: inputs "img0", "img1" [1,3,H,W] float, "timestep" [1] float, and
output "output"; what it computes is chosen to make one behaviour observable.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))
from model_contract import CONTRACT  # noqa: E402

OPSET = 17
FILE_NAME = CONTRACT["kFileName"]
IMG0, IMG1 = CONTRACT["kFirstFrame"], CONTRACT["kSecondFrame"]
TIMESTEP, OUTPUT = CONTRACT["kTimestep"], CONTRACT["kOutput"]


def image_input(name):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 3, "H", "W"])


def standard_inputs():
    return [image_input(IMG0), image_input(IMG1),
            helper.make_tensor_value_info(TIMESTEP, TensorProto.FLOAT, [1])]


def const(name, value):
    return helper.make_node("Constant", [], [name],
                            value=helper.make_tensor(name + "_v", TensorProto.FLOAT, [1], [value]))


def save(out_dir, name, nodes, output, initializers=(), inputs=None):
    graph = helper.make_graph(nodes, name, inputs or standard_inputs(), [output],
                              list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    path = os.path.join(out_dir, name)
    os.makedirs(path, exist_ok=True)
    onnx.save(model, os.path.join(path, FILE_NAME))


def float_output(shape=(1, 3, "H", "W")):
    return helper.make_tensor_value_info(OUTPUT, TensorProto.FLOAT, list(shape))


def blend(out):
    # output = (1 - t) * img0 + t * img1
    save(out, "blend", [
        const("one", 1.0),
        helper.make_node("Sub", ["one", TIMESTEP], ["w0"]),
        helper.make_node("Mul", [IMG0, "w0"], ["a"]),
        helper.make_node("Mul", [IMG1, TIMESTEP], ["b"]),
        helper.make_node("Add", ["a", "b"], [OUTPUT]),
    ], float_output())


def identity(out):
    # output = img0; img1 and timestep unused but still fed
    save(out, "identity", [helper.make_node("Identity", [IMG0], [OUTPUT])], float_output())


def second(out):
    # output = img1: tells the two inputs apart
    save(out, "second", [helper.make_node("Identity", [IMG1], [OUTPUT])], float_output())


def not_a_model(out):
    path = os.path.join(out, "not-a-model")
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, FILE_NAME), "wb") as f:
        f.write(b"this is not an ONNX model\n")


def fixed_64(out):
    # output = img0 reshaped to [1,3,64,64]: runs for 64x64 tensors, and fails inside Run
    # for every other size, so one session shows a run failure followed by a good run.
    shape = helper.make_tensor("shape_v", TensorProto.INT64, [4], [1, 3, 64, 64])
    save(out, "fixed-64", [
        helper.make_node("Constant", [], ["shape"], value=shape),
        helper.make_node("Reshape", [IMG0, "shape"], [OUTPUT]),
    ], float_output((1, 3, 64, 64)))


def short_output(out):
    # output = timestep: a float tensor of one element, far fewer than a frame needs
    save(out, "short-output", [helper.make_node("Identity", [TIMESTEP], [OUTPUT])],
         float_output((1,)))


# ---- probes of the tensor conversions and of the output checks -------------------------

def int64_const(name, values):
    return helper.make_node("Constant", [], [name], value=helper.make_tensor(
        name + "_v", TensorProto.INT64, [len(values)], list(values)))


def float_const(name, values):
    return helper.make_node("Constant", [], [name], value=helper.make_tensor(
        name + "_v", TensorProto.FLOAT, [len(values)], [float(v) for v in values]))


def byte_index(src, name):
    # Recovers the byte k of each sample k / 255 as an int64 index: round(sample * 255).
    return [
        const(name + "_255", 255.0),
        helper.make_node("Mul", [src, name + "_255"], [name + "_scaled"]),
        helper.make_node("Round", [name + "_scaled"], [name + "_rounded"]),
        helper.make_node("Cast", [name + "_rounded"], [name], to=TensorProto.INT64),
    ]


def per_channel(values_3, name=OUTPUT):
    # Broadcasts a [3] float tensor to img0's shape: channel c holds values_3[c] everywhere.
    return [
        int64_const("per_channel_shape", [1, 3, 1, 1]),
        helper.make_node("Reshape", [values_3, "per_channel_shape"], ["per_channel"]),
        helper.make_node("Shape", [IMG0], ["img0_shape"]),
        helper.make_node("Expand", ["per_channel", "img0_shape"], [name]),
    ]


def unit_check(out):
    # output = 1 where both img0 and img1 hold exactly float32(k) / float32(255) for the
    # byte k their sample rounds to, else 0. The table is numpy's own single-precision
    # division, so any other arithmetic (a reciprocal multiply, a double rounding that
    # lands elsewhere) shows up as a 0 byte.
    table = (np.arange(256, dtype=np.float32) / np.float32(255)).astype(np.float32)
    nodes = [helper.make_node("Constant", [], ["table"], value=helper.make_tensor(
        "table_v", TensorProto.FLOAT, [256], table.tolist()))]
    for i, src in enumerate((IMG0, IMG1)):
        nodes += byte_index(src, f"k{i}")
        nodes += [helper.make_node("Gather", ["table", f"k{i}"], [f"want{i}"]),
                  helper.make_node("Equal", [src, f"want{i}"], [f"exact{i}"])]
    nodes += [helper.make_node("And", ["exact0", "exact1"], ["exact"]),
              const("one", 1.0), const("zero", 0.0),
              helper.make_node("Where", ["exact", "one", "zero"], [OUTPUT])]
    save(out, "unit-check", nodes, float_output())


# The output samples the lookup model produces for input bytes 0, 1, 2, ...; the tests
# list the byte each must become. Bytes from len(LOOKUP_VALUES) on map to k / 255.
LOOKUP_VALUES = [
    -0.3, 0.0, 0.001, 0.003, 0.5, 0.999, 1.0, 7.0,           # the documented table
    float("nan"), -float("nan"), float("inf"), -float("inf"),
    -0.0, 1e-45, -1e-45, 3e38, -3e38,
    0.5039215683937073,  # float32 0x3F010101: v * 255 rounds to 128.5 in single precision,
                         # so + 0.5 truncated gives 129; rounding to nearest even or doing
                         # the arithmetic in double precision gives 128
    0.998,           # 254.49 + 0.5: 254
    0.99999994,      # the largest float below 1: 255
    1.0000001,       # the smallest float above 1: clamped to 255
    128.0 / 255.0,   # 128
]


def lookup(out):
    # output = LOOKUP_VALUES[k] for every sample of img0 holding byte k.
    values = np.arange(256, dtype=np.float32) / np.float32(255)
    values[:len(LOOKUP_VALUES)] = np.array(LOOKUP_VALUES, dtype=np.float32)
    nodes = [helper.make_node("Constant", [], ["lut"], value=helper.make_tensor(
        "lut_v", TensorProto.FLOAT, [256], values.tolist()))]
    nodes += byte_index(IMG0, "k")
    nodes += [helper.make_node("Gather", ["lut", "k"], [OUTPUT])]
    save(out, "lookup", nodes, float_output())


def timestep_probe(out):
    # Channel 0 = t, channel 1 = 1 / t (so +0 gives +inf -> 255 and -0 gives -inf -> 0),
    # channel 2 = 1 - t.
    save(out, "timestep", [
        const("one", 1.0),
        helper.make_node("Reciprocal", [TIMESTEP], ["inv"]),
        helper.make_node("Sub", ["one", TIMESTEP], ["rest"]),
        helper.make_node("Concat", [TIMESTEP, "inv", "rest"], ["values"], axis=0),
    ] + per_channel("values"), float_output())


def shape_probe(out):
    # Channel 0 = img0's H / 64, channel 1 = img0's W / 64, channel 2 = 1 when img1 has
    # the same shape as img0, else 0; each as a byte (value / 255).
    save(out, "shape", [
        helper.make_node("Shape", [IMG0], ["s0"]),
        helper.make_node("Shape", [IMG1], ["s1"]),
        helper.make_node("Cast", ["s0"], ["s0f"], to=TensorProto.FLOAT),
        int64_const("hw", [2, 3]),
        helper.make_node("Gather", ["s0f", "hw"], ["dims"]),
        const("unit", 64.0 * 255.0),
        helper.make_node("Div", ["dims", "unit"], ["dims_bytes"]),
        helper.make_node("Equal", ["s0", "s1"], ["same_each"]),
        helper.make_node("Cast", ["same_each"], ["same_each_f"], to=TensorProto.FLOAT),
        helper.make_node("ReduceMin", ["same_each_f"], ["same"], keepdims=1),
        helper.make_node("Concat", ["dims_bytes", "same"], ["values"], axis=0),
    ] + per_channel("values"), float_output())


def nonzero_count(out):
    # S = number of samples that are not 0.0 in img0 and img1 together, padding included,
    # written as three base-256 digits: channel 0 = S / 65536, 1 = (S / 256) % 256,
    # 2 = S % 256 (each as a byte). Exact up to 2^24 samples.
    nodes = []
    for i, src in enumerate((IMG0, IMG1)):
        nodes += [const(f"z{i}", 0.0),
                  helper.make_node("Equal", [src, f"z{i}"], [f"is_zero{i}"]),
                  helper.make_node("Not", [f"is_zero{i}"], [f"nz{i}"]),
                  helper.make_node("Cast", [f"nz{i}"], [f"nzf{i}"], to=TensorProto.FLOAT),
                  helper.make_node("ReduceSum", [f"nzf{i}"], [f"n{i}"], keepdims=0)]
    nodes += [
        helper.make_node("Add", ["n0", "n1"], ["s"]),
        const("b1", 256.0), const("b2", 65536.0), const("byte", 255.0),
        helper.make_node("Div", ["s", "b2"], ["s2"]),
        helper.make_node("Floor", ["s2"], ["d2"]),
        helper.make_node("Div", ["s", "b1"], ["s1"]),
        helper.make_node("Floor", ["s1"], ["f1"]),
        helper.make_node("Mul", ["d2", "b1"], ["d2x"]),
        helper.make_node("Sub", ["f1", "d2x"], ["d1"]),
        helper.make_node("Mul", ["f1", "b1"], ["f1x"]),
        helper.make_node("Sub", ["s", "f1x"], ["d0"]),
        int64_const("one_dim", [1]),
        helper.make_node("Reshape", ["d2", "one_dim"], ["e2"]),
        helper.make_node("Reshape", ["d1", "one_dim"], ["e1"]),
        helper.make_node("Reshape", ["d0", "one_dim"], ["e0"]),
        helper.make_node("Concat", ["e2", "e1", "e0"], ["digits"], axis=0),
        helper.make_node("Div", ["digits", "byte"], ["values"]),
    ]
    save(out, "nonzero-count", nodes + per_channel("values"), float_output())


def cast_output(out, name, element_type):
    # output = img0 with a non-float element type, full size.
    save(out, name, [helper.make_node("Cast", [IMG0], [OUTPUT], to=element_type)],
         helper.make_tensor_value_info(OUTPUT, element_type, [1, 3, "H", "W"]))


def wrong_types(out):
    cast_output(out, "int64-output", TensorProto.INT64)
    cast_output(out, "double-output", TensorProto.DOUBLE)


def sliced_output(out, name, starts, ends, axes, shape):
    save(out, name, [
        int64_const("starts", starts), int64_const("ends", ends), int64_const("axes", axes),
        helper.make_node("Slice", [IMG0, "starts", "ends", "axes"], [OUTPUT]),
    ], float_output(shape))


def small_outputs(out):
    # [1,3,1,1]: a fixed corner; [1,3,H,W-1]: exactly 3 x H samples short.
    sliced_output(out, "corner-output", [0, 0], [1, 1], [2, 3], (1, 3, 1, 1))
    sliced_output(out, "one-column-short", [0], [-1], [3], (1, 3, "H", "Wm1"))


def wide_output(out):
    # [1,4,H,W]: more than needed; the first three planes are img0.
    save(out, "four-planes", [
        int64_const("starts", [0]), int64_const("ends", [1]), int64_const("axes", [1]),
        helper.make_node("Slice", [IMG1, "starts", "ends", "axes"], ["extra"]),
        helper.make_node("Concat", [IMG0, "extra"], [OUTPUT], axis=1),
    ], float_output((1, 4, "H", "W")))


def sequence_output(out):
    # output is a sequence holding img0, not a tensor.
    seq = helper.make_tensor_sequence_value_info(OUTPUT, TensorProto.FLOAT, [1, 3, "H", "W"])
    save(out, "sequence-output", [helper.make_node("SequenceConstruct", [IMG0], [OUTPUT])],
         seq)


LONG_INPUT_NAME = "x" * 600


def extra_input(out):
    # A fourth input, with a 600-character name, that the library never feeds: Run fails
    # with a message longer than the error text holds.
    inputs = standard_inputs() + [
        helper.make_tensor_value_info(LONG_INPUT_NAME, TensorProto.FLOAT, [1])]
    save(out, "extra-input", [helper.make_node("Add", [IMG0, LONG_INPUT_NAME], [OUTPUT])],
         float_output(), inputs=inputs)


BUILDERS = [blend, identity, second, not_a_model, fixed_64, short_output, unit_check,
            lookup, timestep_probe, shape_probe, nonzero_count, wrong_types, small_outputs,
            wide_output, sequence_output, extra_input]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "test-models"
    os.makedirs(out, exist_ok=True)
    for build in BUILDERS:
        build(out)


if __name__ == "__main__":
    main()
