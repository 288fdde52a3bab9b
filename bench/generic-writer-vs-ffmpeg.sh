#!/usr/bin/env bash
# GenericVideoWriter against the ffmpeg CLI on the same 1080p frames, the same encoder and the
# same options (H.264 by libopenh264 or else libx264, bit rate 400k, crf 23, GOP 12, yuv420p,
# 25 frames/s, MP4). Prints both frame rates and their ratio (ours / ffmpeg's; above 1 is faster).
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   FRAMES     number of frames (default 60); WIDTH/HEIGHT (default 1920x1080).
# Our writer gets the frames from memory; the CLI reads them from a raw file (in the page cache
# after the first run). Best of three runs each.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
FRAMES=${FRAMES:-60}
WIDTH=${WIDTH:-1920}
HEIGHT=${HEIGHT:-1080}
work=$(mktemp -d)
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}  # no info lines between the results
trap 'rm -rf "$work"' EXIT

source bench/lib.sh
build_bench bench/GenericWriterBench.cpp "$work/GenericWriterBench" -lopencv_core

encoder=libx264
ffmpeg -hide_banner -h encoder=libopenh264 2>/dev/null | grep -q "Encoder libopenh264" && encoder=libopenh264
raw="$work/frames.yuv"
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=${WIDTH}x${HEIGHT}:rate=25" -frames:v "$FRAMES" \
  -pix_fmt yuv420p -f rawvideo "$raw"

ours_once() { "$work/GenericWriterBench" "$raw" "$WIDTH" "$HEIGHT" "$work/ours.mp4" | awk '{ print $2 }'; }
theirs_once() {
  seconds_of ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt yuv420p -s "${WIDTH}x${HEIGHT}" -r 25 -i "$raw" \
    -c:v "$encoder" -b:v 400000 -crf 23 -g 12 -pix_fmt yuv420p -f mp4 "$work/theirs.mp4"
}
ours=$(best_of_3_printed ours_once)
theirs=$(best_of_3_printed theirs_once)
count() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
echo "encoder $encoder, ${WIDTH}x${HEIGHT}, $FRAMES frames (ours wrote $(count "$work/ours.mp4"), ffmpeg $(count "$work/theirs.mp4"))"
awk -v n="$FRAMES" -v a="$ours" -v b="$theirs" 'BEGIN {
  printf "GenericVideoWriter %8.2f frames/s (%.3f s)\n", n / a, a
  printf "ffmpeg CLI         %8.2f frames/s (%.3f s)\n", n / b, b
  printf "ratio (ours/ffmpeg) %.3f\n", (n / a) / (n / b) }'
