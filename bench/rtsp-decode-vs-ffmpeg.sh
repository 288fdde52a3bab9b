#!/usr/bin/env bash
# Decoding the same RTSP stream through the library (FFMpegDecoder over its RTSP layer, RTP over
# the RTSP connection) and through `ffmpeg -rtsp_transport tcp -i URL -f null -`. GStreamer's RTSP
# server on 127.0.0.1 encodes SECONDS of a live 1280x720 test picture at 25 frames/s for each
# client. Prints the CPU seconds per decoded frame of both and their ratio (ours / ffmpeg's; the
# goal is at most 1.05).
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   SECONDS    stream length (default 10); SIZE (default 1280x720).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
SECONDS_=${SECONDS:-10}
SIZE=${SIZE:-1280x720}
work=$(mktemp -d)
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}
server_pid=""
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

source bench/lib.sh
build_bench bench/RtspDecodeBench.cpp "$work/RtspDecodeBench" -lavformat -lavcodec -lavutil

frames=$((SECONDS_ * 25))
w=${SIZE%x*}; h=${SIZE#*x}
launch="( videotestsrc is-live=true num-buffers=$frames pattern=ball ! video/x-raw,width=$w,height=$h,framerate=25/1 ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=50 ! rtph264pay name=pay0 pt=96 )"
/usr/bin/python3 tests/rtsp/gst_rtsp_server.py --launch "$launch" --max-seconds $((SECONDS_ * 4 + 30)) \
  > "$work/port" 2>/dev/null &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="rtsp://127.0.0.1:$(head -1 "$work/port")/test"

ours=$("$work/RtspDecodeBench" "$url" $((SECONDS_ + 10)))
# ffmpeg: the same decoder settings as FFMpegDecoder (one decoding thread), CPU from the kernel.
theirs=$( { /usr/bin/time -f "TIME %U %S" ffmpeg -v error -nostdin -stats -threads 1 -rtsp_transport tcp -i "$url" \
  -f null - ; } 2>&1 | tr '\r' '\n' | awk '/^frame=/ { f = $2; if (f == "") f = $3 } /^TIME/ { t = $2 + $3 } END { print f, t }')
awk -v a="$ours" -v b="$theirs" 'BEGIN {
  split(a, o, " "); split(b, t, " ")
  po = o[2] / o[1]; pt = t[2] / t[1]
  printf "library (RTSP layer) %5d frames %7.3f s CPU %8.3f ms/frame\n", o[1], o[2], po * 1000
  printf "ffmpeg CLI           %5d frames %7.3f s CPU %8.3f ms/frame\n", t[1], t[2], pt * 1000
  printf "ratio (ours/ffmpeg) %.3f\n", po / pt }'
