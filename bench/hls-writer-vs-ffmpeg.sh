#!/usr/bin/env bash
# MultiStreamHlsWriter against the ffmpeg CLI on the same 1080p frames: a two-rendition HLS
# presentation (1280x720 and 640x360 scaled bilinearly from the source, libx264 preset ultrafast,
# crf 23, a key frame every 2 s, 2 s segments, threads = 2 x cores, MPEG-TS segments, a master
# playlist). The CLI reads the frames once, splits and scales them, and runs both encodes in one
# process. Prints both frame rates and their ratio (ours / ffmpeg's; above 1 is faster).
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   FRAMES     number of frames (default 100); WIDTH/HEIGHT (default 1920x1080).
# Our writer gets the frames from memory; the CLI reads them from a raw file (in the page cache
# after the first run). Best of three runs each.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
FRAMES=${FRAMES:-100}
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
  "$work/HlsWriterBench" "$raw" "$WIDTH" "$HEIGHT" "$work/ours/master.m3u8" | awk '{ print $2 }'
}
theirs_once() {
  rm -rf "$work/theirs" && mkdir -p "$work/theirs"
  seconds_of ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt yuv420p -s "${WIDTH}x${HEIGHT}" -r 25 -i "$raw" \
    -filter_complex "[0:v]split=2[a][b];[a]scale=1280:720:flags=bilinear[v0];[b]scale=640:360:flags=bilinear[v1]" \
    -map "[v0]" -map "[v1]" -c:v libx264 -preset ultrafast -crf 23 -g 50 -threads "$threads" -pix_fmt yuv420p \
    -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename "$work/theirs/%v/out%03d.ts" \
    -master_pl_name master.m3u8 -var_stream_map "v:0 v:1" "$work/theirs/%v/video.m3u8"
}
ours=$(best_of_3_printed ours_once)
theirs=$(best_of_3_printed theirs_once)
count() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1" | grep -m1 .; }
echo "libx264 ultrafast, ${WIDTH}x${HEIGHT} -> 1280x720 + 640x360, $FRAMES frames, $(nproc) cores" \
  "(ours wrote $(count "$work/ours/0/video.m3u8") + $(count "$work/ours/1/video.m3u8")," \
  "ffmpeg $(count "$work/theirs/0/video.m3u8") + $(count "$work/theirs/1/video.m3u8"))"
awk -v n="$FRAMES" -v a="$ours" -v b="$theirs" 'BEGIN {
  printf "MultiStreamHlsWriter %8.2f frames/s (%.3f s)\n", n / a, a
  printf "ffmpeg CLI           %8.2f frames/s (%.3f s)\n", n / b, b
  printf "ratio (ours/ffmpeg)  %.3f\n", (n / a) / (n / b) }'
