#!/usr/bin/python3
"""Writes the small ONNX models the tests run, each as <out>/<name>/rife49_ensemble.onnx.

Run with Debian's /usr/bin/python3 (python3-onnx, python3-numpy). Every model has the
library's interface: inputs "img0", "img1" [1,3,H,W] float, "timestep" [1] float, and
output "output"; what it computes is chosen to make one behaviour observable.
"""
import os
import sys

import onnx
from onnx import TensorProto, helper

OPSET = 17
FILE_NAME = "rife49_ensemble.onnx"


def image_input(name):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 3, "H", "W"])


def standard_inputs():
    return [image_input("img0"), image_input("img1"),
            helper.make_tensor_value_info("timestep", TensorProto.FLOAT, [1])]


def const(name, value):
    return helper.make_node("Constant", [], [name],
                            value=helper.make_tensor(name + "_v", TensorProto.FLOAT, [1], [value]))


def save(out_dir, name, nodes, output, initializers=()):
    graph = helper.make_graph(nodes, name, standard_inputs(), [output], list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    path = os.path.join(out_dir, name)
    os.makedirs(path, exist_ok=True)
    onnx.save(model, os.path.join(path, FILE_NAME))


def float_output(shape=(1, 3, "H", "W")):
    return helper.make_tensor_value_info("output", TensorProto.FLOAT, list(shape))


def blend(out):
    # output = (1 - t) * img0 + t * img1
    save(out, "blend", [
        const("one", 1.0),
        helper.make_node("Sub", ["one", "timestep"], ["w0"]),
        helper.make_node("Mul", ["img0", "w0"], ["a"]),
        helper.make_node("Mul", ["img1", "timestep"], ["b"]),
        helper.make_node("Add", ["a", "b"], ["output"]),
    ], float_output())


def identity(out):
    # output = img0; img1 and timestep unused but still fed
    save(out, "identity", [helper.make_node("Identity", ["img0"], ["output"])], float_output())


def second(out):
    # output = img1: tells the two inputs apart
    save(out, "second", [helper.make_node("Identity", ["img1"], ["output"])], float_output())


def not_a_model(out):
    path = os.path.join(out, "not-a-model")
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, FILE_NAME), "wb") as f:
        f.write(b"this is not an ONNX model\n")


BUILDERS = [blend, identity, second, not_a_model]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "test-models"
    os.makedirs(out, exist_ok=True)
    for build in BUILDERS:
        build(out)


if __name__ == "__main__":
    main()
