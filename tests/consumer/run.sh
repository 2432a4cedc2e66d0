#!/usr/bin/env bash
# Installs the library from the build tree into a scratch prefix and uses it from there as
# a user would: a C program built with the CMake package and with pkg-config (each told
# the shipped model's folder by them), the Python package as installed, and the Python
# package installed from the source tree with pip, without network, into a venv.
# Nothing sets LD_LIBRARY_PATH: everything must find its libraries by itself.
# usage: run.sh <build-dir> <blend-model-dir> <python3> <python-package-source>
set -euo pipefail
build=$1 blend=$2 python=$3 package_source=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH KESTRUNE_RIFE_LIBRARY
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(dirname "$(find "$prefix" -name 'libkestrune-rife-inference.so.1')")
if [ -e "$lib/libonnxruntime.so" ]; then
  echo "ONNX Runtime's development link was installed" >&2; exit 1
fi

echo "== C, CMake package"
cmake -S "$here" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/consumer_cmake" "$blend"

echo "== C, pkg-config"
export PKG_CONFIG_PATH=$lib/pkgconfig
modeldir=$(pkg-config --variable=modeldir kestrune-rife-inference)
# shellcheck disable=SC2046
cc -o "$work/consumer_pkgconfig" "$here/consumer.c" -DKRI_SHIPPED_MODEL_DIR="\"$modeldir\"" \
  $(pkg-config --cflags --libs kestrune-rife-inference)
"$work/consumer_pkgconfig" "$blend"

# The library finds ONNX Runtime beside itself. (ldd's output is taken whole first:
# `ldd | grep -q` can fail under pipefail when grep stops reading early.)
deps=$(ldd "$lib/libkestrune-rife-inference.so.1")
grep -q "libonnxruntime.so.1 => $lib/" <<<"$deps"

# A still frame comes back unchanged from the shipped model, found without being named.
check_python='
import numpy as np, kestrune_rife
still = np.arange(48 * 3, dtype=np.uint8).reshape(6, 8, 3)
with kestrune_rife.Engine() as engine:
    assert (engine.interpolate(still, still) == still).all()
    print("python: ok, model from", engine.model_dir)
'
echo "== Python, as installed by cmake --install"
PYTHONPATH=$(dirname "$(dirname "$(find "$prefix" -name _installed.py)")") "$python" -c "$check_python"

echo "== Python, pip install from the source tree into a venv, offline"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --no-cache-dir "$package_source"
(cd "$work" && KESTRUNE_RIFE_LIBRARY=$lib/libkestrune-rife-inference.so.1 \
  "$work/venv/bin/python" -c "$check_python")
