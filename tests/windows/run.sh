#!/usr/bin/env bash
# Runs the Windows test program of a cross build under Wine, headless, in a Wine prefix
# of its own inside the build folder (made on first use, kept for later runs).
#   tests/windows/run.sh <cross build folder>
# Needs Debian's wine64 and /usr/bin/python3 (python3-onnx, python3-pil) for the fixtures.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:?usage: run.sh <cross build folder>}" && pwd)
exe=$build/kri_windows_test.exe
[ -f "$exe" ] || { echo "run.sh: $exe not built" >&2; exit 1; }

wine=${KRI_WINE:-}
if [ -z "$wine" ]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
  done
fi
[ -n "$wine" ] || { echo "run.sh: wine64 not found (apt-get install wine64)" >&2; exit 1; }
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)

export WINEPREFIX=$build/wineprefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko install prompts, no display needed for console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

fixtures=$build/wine-fixtures
rm -rf "$fixtures"
mkdir -p "$fixtures"
/usr/bin/python3 "$src/tests/make_models.py" "$fixtures/models"
/usr/bin/python3 "$src/tests/windows/make_fixtures.py" "$fixtures"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  start=$(date +%s%N)
  timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || {
    echo "run.sh: creating the Wine prefix failed" >&2; exit 1; }
  timeout 120 "$wineserver" -w || true
  echo "run.sh: Wine prefix created in $(( ($(date +%s%N) - start) / 1000000 )) ms"
fi

start=$(date +%s%N)
status=0
# Wine's Z: drive is the Unix root, so Z:<fixtures> names the folder for the program.
(cd "$build" && timeout 600 "$wine" "$exe" "Z:$fixtures") || status=$?
timeout 120 "$wineserver" -w || true
echo "run.sh: Windows test program ran in $(( ($(date +%s%N) - start) / 1000000 )) ms" \
  "under $("$wine" --version), exit status $status"
exit $status
