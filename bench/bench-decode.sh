#!/usr/bin/env bash
# Decoding a 1080p H.264 file to frames: ruvar decode against ffmpeg -f null.
set -euo pipefail
source "$(dirname "$0")/common.sh"
src=$(fixture decode1080.mp4 "-f lavfi -i testsrc2=size=1920x1080:rate=25:duration=10 -c:v libx264 -preset veryfast -pix_fmt yuv420p")
ours=$(best_of_3 "$RUVAR" decode "$src" --quiet)
theirs=$(best_of_3 ffmpeg -v error -threads 0 -i "$src" -f null -)
echo "RESULT decode-h264-1080p-250f $ours $theirs"
ours=$(best_of_3 "$RUVAR" packets "$src" --quiet -o "$BENCH_DIR/annexb.h264")
theirs=$(best_of_3 ffmpeg -v error -y -i "$src" -c copy -bsf:v h264_mp4toannexb -f h264 "$BENCH_DIR/annexb-ff.h264")
echo "RESULT packets-annexb-1080p $ours $theirs"
