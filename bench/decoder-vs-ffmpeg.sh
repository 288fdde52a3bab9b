#!/usr/bin/env bash
# FFMpegDecoder against the ffmpeg CLI decoding the same 1080p H.264 MP4 on one thread
# (`ffmpeg -threads 1 -i FILE -f null -`). Both are timed from outside, as whole processes, best
# of three runs each. Prints both frame rates and their ratio (ours / ffmpeg's; above 1 is faster).
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   FRAMES     number of frames (default 300); WIDTH/HEIGHT (default 1920x1080).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
FRAMES=${FRAMES:-300}
WIDTH=${WIDTH:-1920}
HEIGHT=${HEIGHT:-1080}
work=$(mktemp -d)
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}  # no info lines between the results
trap 'rm -rf "$work"' EXIT

source bench/lib.sh
build_bench bench/DecoderBench.cpp "$work/DecoderBench" -lavformat -lavcodec -lavutil

clip="$work/clip.mp4"
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=${WIDTH}x${HEIGHT}:rate=25" -frames:v "$FRAMES" \
  -c:v libx264 -preset veryfast -crf 23 -pix_fmt yuv420p "$clip"

decoded=$("$work/DecoderBench" "$clip" | awk '{ print $2 }')
ours=$(best_of_3 "$work/DecoderBench" "$clip")
theirs=$(best_of_3 ffmpeg -v error -nostdin -threads 1 -i "$clip" -f null -)
echo "H.264 ${WIDTH}x${HEIGHT}, $FRAMES frames (ours decoded $decoded)"
awk -v n="$FRAMES" -v a="$ours" -v b="$theirs" 'BEGIN {
  printf "FFMpegDecoder      %8.2f frames/s (%.3f s)\n", n / a, a
  printf "ffmpeg -threads 1  %8.2f frames/s (%.3f s)\n", n / b, b
  printf "ratio (ours/ffmpeg) %.3f\n", (n / a) / (n / b) }'
