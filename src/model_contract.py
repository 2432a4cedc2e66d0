#!/usr/bin/python3
"""The model contract of src/model_contract.h (file name, tensor names, padding multiple)
for Python and shell scripts, read from that header so the facts are written once.

    from model_contract import CONTRACT        CONTRACT["kFileName"] == "rife49_ensemble.onnx"
    python3 src/model_contract.py kFileName    prints one value
"""
import os
import re
import sys

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "model_contract.h")


def read_contract(path=HEADER):
    with open(path, encoding="utf-8") as header:
        text = header.read()
    strings = re.findall(r'constexpr const char (k\w+)\[\] = "([^"]*)";', text)
    numbers = re.findall(r"constexpr size_t (k\w+) = (\d+);", text)
    contract = dict(strings)
    contract.update((name, int(value)) for name, value in numbers)
    if not {"kFileName", "kFirstFrame", "kSecondFrame", "kTimestep", "kOutput", "kPadMultiple"} <= contract.keys():
        raise RuntimeError(f"{path}: the model contract is incomplete: {sorted(contract)}")
    return contract


CONTRACT = read_contract()

if __name__ == "__main__":
    print(CONTRACT[sys.argv[1]])
