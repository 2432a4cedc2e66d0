#!/usr/bin/env bash
# Frame-rate doubling at 1280x720, in one run on this machine:
#   kestrune-interp video IN -o OUT --factor 2   (the library with the model)
#   ffmpeg -vf minterpolate=fps=2R:mi_mode=mci   (ffmpeg's motion-compensated interpolation)
#   ffmpeg -vf fps=2R                            (frames repeated: decode + encode alone)
# All three decode the same clip and encode H.264 the same way (libx264 -preset fast -crf 18,
# yuv420p), so the figures differ by the interpolation alone. Prints frames per second of
# output, and kestrune-interp's own account of where its time went (--stats): the library's
# share versus waiting for the decoder and the encoder.
#
# Then, on the same clip, --jobs 1 against --jobs 2 (engine processes), in alternating runs,
# the median of KRI_BENCH_RUNS each: by video, and by pair -n on two frames of the clip.
# Last, a 24 fps clip (ffmpeg's moving test pattern) converted to 60 fps with --fps 60.
#
# usage: bench/host_speed.sh [build-dir]      (default: build)
# Environment: KRI_BENCH_FRAMES (input frames, default 24), KRI_BENCH_MODEL_DIR (another
# model folder; default the shipped model), KRI_BENCH_CLIP (another source video),
# KRI_BENCH_RUNS (runs of each --jobs setting, default 3).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
host=$build/host/kestrune-interp
frames=${KRI_BENCH_FRAMES:-24}
runs=${KRI_BENCH_RUNS:-3}
model_dir=${KRI_BENCH_MODEL_DIR:-$root/models}
source_clip=${KRI_BENCH_CLIP:-/usr/share/pymecavideo/data/video/balle-jbart.mp4}
[ -x "$host" ] || { echo "host_speed: $host not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
encode=(-c:v libx264 -preset fast -crf 18 -pix_fmt yuv420p)

# The input: a real clip scaled to 1280x720 when python3-mecavideo is there, else
# ffmpeg's moving test pattern; near-lossless so that decoding it costs what a normal
# clip costs.
if [ -f "$source_clip" ]; then
  ffmpeg -nostdin -v error -y -i "$source_clip" -an -vf scale=1280:720 -frames:v "$frames" \
    "${encode[@]}" "$work/in.mp4"
  what="$(basename "$source_clip") scaled to 1280x720"
else
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -frames:v "$frames" \
    "${encode[@]}" "$work/in.mp4"
  what="testsrc2 1280x720"
fi
rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$work/in.mp4")
out_rate="$(( ${rate%/*} * 2 ))/${rate#*/}"

count() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of csv=p=0 "$1"
}
now() { date +%s.%N; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN { print a - b }'; }
report() {  # name seconds file
  local n; n=$(count "$3")
  awk -v name="$1" -v s="$2" -v n="$n" \
    'BEGIN { printf "%-34s %5d frames out  %8.2f s  %7.2f fps\n", name, n, s, n / s }'
}

echo "host_speed: $frames frames of $what at $rate fps, doubled to $out_rate fps; $(nproc) CPUs"
echo "host_speed: model $model_dir/rife49_ensemble.onnx ($(stat -c %s "$model_dir/rife49_ensemble.onnx") bytes)"

t0=$(now)
"$host" video "$work/in.mp4" -o "$work/host.mp4" --factor 2 --model-dir "$model_dir" \
  --no-scene-detect --stats --quiet 2>"$work/stats.txt"
t1=$(now)
ffmpeg -nostdin -v error -y -i "$work/in.mp4" -vf "minterpolate=fps=$out_rate:mi_mode=mci" \
  "${encode[@]}" "$work/mi.mp4"
t2=$(now)
ffmpeg -nostdin -v error -y -i "$work/in.mp4" -vf "fps=$out_rate" "${encode[@]}" "$work/dup.mp4"
t3=$(now)

report "kestrune-interp video --factor 2" "$(minus "$t1" "$t0")" "$work/host.mp4"
report "ffmpeg minterpolate mi_mode=mci" "$(minus "$t2" "$t1")" "$work/mi.mp4"
report "ffmpeg fps (repeat, no interp.)" "$(minus "$t3" "$t2")" "$work/dup.mp4"
echo "kestrune-interp --stats:"
sed 's/^kestrune-interp: stats: /  /' "$work/stats.txt"

# ---- --jobs 1 against --jobs 2
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
timed() {  # command...: prints the seconds it took
  local t0; t0=$(now)
  "$@" >/dev/null 2>&1 || { echo "host_speed: failed: $*" >&2; exit 1; }
  minus "$(now)" "$t0"
}
compare_jobs() {  # label frames-out command... (the command gets --jobs J appended)
  local label=$1 out=$2 j1=() j2=(); shift 2
  for ((i = 0; i < runs; i++)); do
    j1+=("$(timed "$@" --jobs 1)")
    j2+=("$(timed "$@" --jobs 2)")
  done
  local m1 m2; m1=$(printf '%s\n' "${j1[@]}" | median); m2=$(printf '%s\n' "${j2[@]}" | median)
  awk -v l="$label" -v n="$out" -v a="$m1" -v b="$m2" 'BEGIN {
    printf "%-34s --jobs 1: %7.2f s %6.2f fps   --jobs 2: %7.2f s %6.2f fps   ratio %.2fx\n",
           l, a, n / a, b, n / b, a / b }'
}

echo "host_speed: --jobs 1 against --jobs 2, median of $runs alternating runs each, frames out per second"
video=("$host" video "$work/in.mp4" -o "$work/jobs.mp4" --factor 2 --model-dir "$model_dir"
       --no-scene-detect --quiet)
compare_jobs "video --factor 2 ($frames frames)" "$(count "$work/host.mp4")" "${video[@]}"
middle=$((frames / 2))
ffmpeg -nostdin -v error -y -i "$work/in.mp4" -fps_mode passthrough \
  -vf "select=eq(n\,$((middle - 1)))+eq(n\,$middle)" "$work/frame-%d.png"
pair_frames=12
compare_jobs "pair -n $((pair_frames + 1)) (1280x720)" "$pair_frames" "$host" pair \
  "$work/frame-1.png" "$work/frame-2.png" -o "$work/pair.png" -n $((pair_frames + 1)) \
  --model-dir "$model_dir"

# ---- 24 fps to 60 fps
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=24 -frames:v "$frames" \
  "${encode[@]}" "$work/24.mp4"
s=$(timed "$host" video "$work/24.mp4" -o "$work/60.mp4" --fps 60 --model-dir "$model_dir" \
    --no-scene-detect --quiet)
report "video --fps 60 ($frames frames at 24)" "$s" "$work/60.mp4"
