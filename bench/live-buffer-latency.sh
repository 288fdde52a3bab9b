#!/usr/bin/env bash
# Latency of the live memory buffer fed on the decoding thread: how many 1,316-byte pieces (seven
# MPEG-TS packets, the usual UDP payload) behind the feeder each frame comes out, for MPEG-TS and
# raw H.264 of a camera-like stream (1280x720, 25 frames/s, 2 Mbit/s, a key frame every 2 s, no
# B-frames), and what FFmpeg's demuxer needs by itself. Not a speed comparison: the figures do not
# depend on the machine.
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   PIECE      piece size in bytes (default 1316)
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build/release}
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source bench/lib.sh
build_bench bench/LiveBufferLatencyBench.cpp "$work/latency" -lavformat -lavcodec -lavutil

for format in mpegts h264; do
  ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 -c:v libx264 -preset veryfast \
    -b:v 2M -maxrate 2M -bufsize 1M -g 50 -bf 0 -pix_fmt yuv420p -f "$format" "$work/stream.$format"
  "$work/latency" "$work/stream.$format" "${PIECE:-1316}"
done
