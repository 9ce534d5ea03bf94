#!/usr/bin/env bash
# The host's scaler_probe and the 32-bit ARM one (under the emulator) make the
# same five files from the same input, at 1, 2 and 4 scaler threads.
#   same_output_test.sh HOST_BIN_DIR ARM_BIN_DIR LAUNCHER
set -euo pipefail
host=$(realpath "$1") arm=$(realpath "$2") launcher=$3
fail() { echo "same output test: $*" >&2; exit 1; }
[ -x "$host/scaler_probe" ] && [ -x "$host/make_test_frame" ] ||
  fail "no host build in $host (build it first: cmake --build --preset dev)"
work=$(mktemp -d /tmp/lumaset-same-output.XXXXXX)
trap 'rm -rf "$work"' EXIT

"$host/make_test_frame" "$work/source_image_720.yuv" >/dev/null
outputs="scaled_1080.yuv scaled_720.yuv scaled_480.yuv scaled_360.yuv scaled_360_dup.yuv"
for threads in 1 2 4; do
  for side in host arm; do
    mkdir "$work/$side$threads"
    cp "$work/source_image_720.yuv" "$work/$side$threads/"
  done
  (cd "$work/host$threads" && LUMASET_C2D_THREADS=$threads "$host/scaler_probe" 2>log) ||
    fail "host run at $threads threads: $(cat "$work/host$threads/log")"
  (cd "$work/arm$threads" && LUMASET_C2D_THREADS=$threads $launcher "$arm/scaler_probe" 2>log) ||
    fail "ARM run at $threads threads: $(cat "$work/arm$threads/log")"
  for file in $outputs; do
    [ -s "$work/host$threads/$file" ] || fail "the host made no $file"
    cmp "$work/host$threads/$file" "$work/arm$threads/$file" ||
      fail "$file differs between the host and ARM at $threads threads"
  done
done
echo "same output test: five identical files from both builds at 1, 2 and 4 threads"
