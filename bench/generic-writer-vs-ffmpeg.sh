#!/usr/bin/env bash
# GenericVideoWriter against the ffmpeg CLI on the same 1080p frames, the same encoder and the
# same options (H.264 by libopenh264 or else libx264, bit rate 400k, crf 23, GOP 12, yuv420p,
# 25 frames/s, MP4); the row checks that both ran libx264 with the same options. Both read the
# frames from a raw file (in the page cache after the first run). Wall seconds of the whole
# processes, best of 5 alternating runs.
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   FRAMES     number of frames (default 60); WIDTH/HEIGHT (default 1920x1080).
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

ours_once() { seconds_of "$work/GenericWriterBench" "$raw" "$WIDTH" "$HEIGHT" "$work/ours.mp4"; }
theirs_once() {
  seconds_of ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt yuv420p -s "${WIDTH}x${HEIGHT}" -r 25 -i "$raw" \
    -c:v "$encoder" -b:v 400000 -crf 23 -g 12 -pix_fmt yuv420p -f mp4 "$work/theirs.mp4"
}
read -r ours theirs < <(best_pair 5)
count() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
note=$(x264_differences "$work/ours.mp4" "$work/theirs.mp4")
[ "$(count "$work/ours.mp4")" = "$FRAMES" ] || note="ours wrote $(count "$work/ours.mp4") of $FRAMES frames $note"
row "mp4-writer-${HEIGHT}p" "GenericVideoWriter vs ffmpeg -c:v $encoder -b:v 400k -crf 23 -g 12, $FRAMES raw frames; wall s" \
  "$ours s" "$theirs s" "$(ratio "$theirs" "$ours")" 1.00 "$note"
