#!/usr/bin/env bash
# MultiStreamHlsWriter against the ffmpeg CLI on the same 1080p frames: a two-rendition HLS
# presentation (1280x720 and 640x360 scaled bilinearly from the source, libx264 preset ultrafast,
# crf 23, a key frame every 2 s, 2 s segments, threads = 2 x cores, MPEG-TS segments, a master
# playlist); the row checks that both ran libx264 with the same options. The CLI reads the frames
# once, splits and scales them, and runs both encodes in one process; both read the frames from
# a raw file. Wall seconds of the whole processes, best of 5 alternating runs.
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   FRAMES     number of frames (default 250); WIDTH/HEIGHT (default 1920x1080).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
FRAMES=${FRAMES:-250}
WIDTH=${WIDTH:-1920}
HEIGHT=${HEIGHT:-1080}
work=$(mktemp -d)
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}  # no info lines between the results
trap 'rm -rf "$work"' EXIT

source bench/lib.sh
build_bench bench/HlsWriterBench.cpp "$work/HlsWriterBench" -lopencv_core

threads=$((2 * $(nproc)))
raw="$work/frames.yuv"
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=${WIDTH}x${HEIGHT}:rate=25" -frames:v "$FRAMES" \
  -pix_fmt yuv420p -f rawvideo "$raw"

ours_once() {
  rm -rf "$work/ours" && mkdir -p "$work/ours"
  seconds_of "$work/HlsWriterBench" "$raw" "$WIDTH" "$HEIGHT" "$work/ours/master.m3u8"
}
theirs_once() {
  rm -rf "$work/theirs" && mkdir -p "$work/theirs"
  seconds_of ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt yuv420p -s "${WIDTH}x${HEIGHT}" -r 25 -i "$raw" \
    -filter_complex "[0:v]split=2[a][b];[a]scale=1280:720:flags=bilinear[v0];[b]scale=640:360:flags=bilinear[v1]" \
    -map "[v0]" -map "[v1]" -c:v libx264 -preset ultrafast -crf 23 -g 50 -threads "$threads" -pix_fmt yuv420p \
    -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename "$work/theirs/%v/out%03d.ts" \
    -master_pl_name master.m3u8 -var_stream_map "v:0 v:1" "$work/theirs/%v/video.m3u8"
}
read -r ours theirs < <(best_pair 5)
row "hls-writer-${HEIGHT}p-to-720p+360p" "MultiStreamHlsWriter vs ffmpeg split+scale, 2 x libx264 ultrafast crf 23, $FRAMES raw frames; wall s" \
  "$ours s" "$theirs s" "$(ratio "$theirs" "$ours")" 1.00 \
  "$(x264_differences "$work/ours/1/out000.ts" "$work/theirs/1/out000.ts")"
