#!/usr/bin/env bash
# Many cameras, one process: N live RTSP streams (1280x720, 25 frames/s, H.264 without B-frames,
# 2 Mbit/s, a key frame every 2 s, RTP over the RTSP connection) decoded at once, for N in COUNTS,
# by one process holding N FFMpegDecoders (one thread each, bench/RtspDecodeBench.cpp) and by N
# `ffmpeg -threads 1 -rtsp_transport tcp -i URL -f null -` processes. GStreamer's RTSP server on
# 127.0.0.1 sends each client the same file made by the ffmpeg CLI, payloaded without
# re-encoding, so that serving 16 streams costs little; every client gets the whole file from its
# first frame, so frames lost = frames of the file x N - frames decoded. Rows per N: CPU per
# decoded frame, and peak resident memory per stream (ours: the process's peak / N; ffmpeg: the
# mean of its processes' peaks).
#   BUILD_DIR  release build folder (default build/release); the library is built there when needed.
#   DURATION   stream length in seconds (default 12); COUNTS (default "1 4 16").
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
DURATION=${DURATION:-12}
COUNTS=${COUNTS:-1 4 16}
work=$(mktemp -d)
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}
server_pid=""
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

source bench/lib.sh
build_bench bench/RtspDecodeBench.cpp "$work/RtspDecodeBench" -lavformat -lavcodec -lavutil -lpthread

clip="$work/camera.mp4"
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=1280x720:rate=25" -t "$DURATION" -c:v libx264 -preset veryfast \
  -bf 0 -g 50 -b:v 2M -maxrate 2M -bufsize 4M -pix_fmt yuv420p "$clip"
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$clip")
launch="( filesrc location=$clip ! qtdemux ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )"
runs=$(wc -w <<<"$COUNTS")
/usr/bin/python3 tests/rtsp/gst_rtsp_server.py --launch "$launch" --protocols tcp \
  --max-seconds $((runs * 2 * (DURATION + 30) + 60)) > "$work/port" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="rtsp://127.0.0.1:$(head -1 "$work/port")/test"
rtsp_ready "$url" 30 || { echo "GStreamer's RTSP server did not answer at $url" >&2; exit 1; }

for n in $COUNTS; do
  read -r ours_frames ours_cpu ours_kib _ < <("$work/RtspDecodeBench" "$url" "$n" $((DURATION + 30)))
  pids=()
  for i in $(seq "$n"); do
    /usr/bin/time -f "%U %S %M" -o "$work/ff$i.time" ffmpeg -v error -nostdin -stats -threads 1 -rtsp_transport tcp \
      -i "$url" -fps_mode passthrough -f null - 2>"$work/ff$i.err" &
    pids+=($!)
  done
  wait "${pids[@]}" || true
  theirs_frames=0
  for i in $(seq "$n"); do
    f=$(tr '\r' '\n' <"$work/ff$i.err" | grep -o 'frame= *[0-9]*' | tail -1 | tr -dc 0-9)
    theirs_frames=$((theirs_frames + ${f:-0}))
  done
  read -r theirs_cpu theirs_kib < <(cat "$work"/ff*.time | awk '{ c += $1 + $2; m += $3 } END { print c, m / NR }')
  rm -f "$work"/ff*.time "$work"/ff*.err
  lost_ours=$((n * frames - ours_frames))
  lost_theirs=$((n * frames - theirs_frames))
  note=""
  if [ "$lost_ours" -ne 0 ] || [ "$lost_theirs" -ne 0 ]; then note="frames lost: ours $lost_ours, ffmpeg $lost_theirs"; fi
  per_frame() { awk -v c="$1" -v f="$2" 'BEGIN { printf "%.3f", (f > 0 ? c * 1000 / f : 0) }'; }
  o=$(per_frame "$ours_cpu" "$ours_frames")
  t=$(per_frame "$theirs_cpu" "$theirs_frames")
  row "rtsp-${n}x720p-cpu" "$n live RTSP stream(s) at once: 1 process, $n decoders vs $n ffmpeg -threads 1; CPU ms/frame" \
    "$o ms, lost $lost_ours" "$t ms, lost $lost_theirs" "$(ratio "$t" "$o")" 1.00 "$note"
  o=$(awk -v k="$ours_kib" -v n="$n" 'BEGIN { printf "%.1f", k / n / 1024 }')
  t=$(awk -v k="$theirs_kib" 'BEGIN { printf "%.1f", k / 1024 }')
  row "rtsp-${n}x720p-memory" "the same: peak resident MiB per stream (ours: process / $n)" "$o MiB" "$t MiB" \
    "$(ratio "$t" "$o")" 1.00
done
