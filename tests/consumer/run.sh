#!/usr/bin/env bash
# Installs the library from the build tree into a scratch prefix, then configures, builds
# and runs the consumer project against that prefix (CMake package and pkg-config).
# usage: run.sh <build-dir> <model-dir>
set -euo pipefail
build=$1 models=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" cmake -S "$here" -B "$work/build" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/consumer_cmake" "$models"
"$work/build/consumer_pkgconfig" "$models"
# The installed library finds ONNX Runtime beside itself, without LD_LIBRARY_PATH.
# (ldd's output is taken whole first: `ldd | grep -q` can fail under pipefail when grep
# stops reading early.)
deps=$(ldd "$work/prefix/lib/libkestrune-rife-inference.so.1")
grep -q "libonnxruntime.so.1 => $work/prefix/lib/" <<<"$deps"
