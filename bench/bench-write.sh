#!/usr/bin/env bash
# Transcoding to H.264 MP4 and to two-rendition HLS: ruvar against the same work in ffmpeg.
set -euo pipefail
source "$(dirname "$0")/common.sh"
src=$(fixture write720.mp4 "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 -c:v libx264 -preset veryfast -pix_fmt yuv420p")
ours=$(best_of_3 "$RUVAR" mp4 "$src" "$BENCH_DIR/out.mp4" --quiet)
theirs=$(best_of_3 ffmpeg -v error -y -i "$src" -c:v libx264 -crf 23 -g 12 -pix_fmt yuv420p "$BENCH_DIR/out-ff.mp4")
echo "RESULT mp4-720p-250f $ours $theirs"
rm -rf "$BENCH_DIR/hls" && mkdir -p "$BENCH_DIR/hls"
ours=$(best_of_3 "$RUVAR" hls "$src" "$BENCH_DIR/hls/master.m3u8" --rendition 1280x720 --rendition 640x360 --quiet)
theirs=$(best_of_3 ffmpeg -v error -y -i "$src" -filter_complex "[0:v]split=2[a][b];[b]scale=640:360[c]" \
  -map "[a]" -c:v libx264 -crf 23 -f hls -hls_time 6 "$BENCH_DIR/hls/ff0.m3u8" \
  -map "[c]" -c:v libx264 -crf 23 -f hls -hls_time 6 "$BENCH_DIR/hls/ff1.m3u8")
echo "RESULT hls-720p+360p-250f $ours $theirs"
