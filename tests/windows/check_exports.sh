#!/usr/bin/env bash
# Checks the Windows DLL's PE tables with objdump -p:
#   - the export table names exactly the seven API functions (so no stb, C++ runtime or
#     winpthreads symbol leaked out of the static runtime libraries);
#   - the DLL imports only onnxruntime.dll and Windows' own DLLs (the toolchain's runtime
#     is linked in statically, so no libstdc++/libgcc/libwinpthread DLL is needed).
# Usage: check_exports.sh <kestrune-rife-inference.dll>
set -euo pipefail
dll=${1:?usage: check_exports.sh <dll>}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
command -v "$objdump" >/dev/null || objdump=objdump

dump=$("$objdump" -p "$dll")
exports=$(printf '%s\n' "$dump" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' |
  sort)
expected=$(printf '%s\n' rife_cancel rife_get_error rife_get_progress rife_init \
  rife_interpolate rife_interpolate_files rife_shutdown | sort)
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print $3}' | sort -u)

status=0
if [ "$exports" != "$expected" ]; then
  echo "check_exports: export table of $dll is not the seven API functions:" >&2
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$exports") >&2 || true
  status=1
fi
if ! printf '%s\n' "$imports" | grep -qix 'onnxruntime.dll'; then
  echo "check_exports: $dll does not import onnxruntime.dll" >&2
  status=1
fi
# Windows' own DLLs: kernel32, the C runtime (msvcrt or the UCRT with its api sets) and
# the other core system libraries.
foreign=$(printf '%s\n' "$imports" |
  grep -viE '^(onnxruntime|kernel32|msvcrt|ucrtbase|ntdll|advapi32|user32|ws2_32|api-ms-win-.*)\.dll$' ||
  true)
if [ -n "$foreign" ]; then
  echo "check_exports: $dll needs DLLs beyond onnxruntime.dll and the system's:" >&2
  printf '  %s\n' $foreign >&2
  status=1
fi
if [ $status = 0 ]; then
  echo "check_exports: ok: $(printf '%s\n' "$exports" | wc -l) exports ($(echo $exports)); imports: $(echo $imports)"
fi
exit $status
