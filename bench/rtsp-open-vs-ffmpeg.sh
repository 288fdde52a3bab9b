#!/usr/bin/env bash
# Opening a live RTSP stream: time from starting the client process to its first frame, and the
# frames lost at the open, for `ruvar decode` (plain RTSP, and --vms for each video-management
# system) and for `ffmpeg -rtsp_transport tcp -i URL -f framemd5 -`. The stand-in VMS server
# (tests/vms/vms_rtsp_server.py) streams 70 frames of 160x120 H.264 in real time (25 frames/s, a
# key frame every 25, sender reports every 25 frames, Dvtel header extensions, GET_PARAMETER
# replies naming the next frame's clock time and carrying SeeTec's times, an RTCP BYE after the
# last frame), a fresh server for each client. Lost = frames sent after PLAY - frames delivered;
# "digests" tells whether the delivered pictures are the stream's first N (or which run of it).
# Both decode on one thread. Prints the table and the first-frame time ratio of plain RTSP
# (ours / ffmpeg's; below 1 is sooner). A second table: the same stream from a server whose first
# sender report comes 0.3 s after PLAY, for the families whose frames wait for it (Milestone,
# Genetec, Camera) beside plain RTSP, which does not wait.
#   BUILD_DIR  release build folder (default build/release); ruvar is built there when needed.
#   RUVAR      the ruvar tool to time instead (set by bench/run-all).
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build/release}
work=$(mktemp -d)
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}
trap 'rm -rf "$work"' EXIT

source bench/lib.sh
ruvar=${RUVAR:-$(build_ruvar)}

stream="$work/stream.h264"
ffmpeg -v error -nostdin -f lavfi -i testsrc=size=160x120:rate=25 -frames:v 70 -c:v libx264 -g 25 -keyint_min 25 \
  -sc_threshold 0 -bf 0 -pix_fmt yuv420p -x264-params aud=1:repeat-headers=1:sliced-threads=0 -threads 1 -f h264 "$stream"
ffmpeg -v error -nostdin -i "$stream" -pix_fmt yuv420p -f framemd5 - | awk -F', *' '!/^#/ { print $NF }' > "$work/digests"

ts0=90000
# 2021-01-01 00:00:00 UTC as NTP time, Unix microseconds and milliseconds, and 100-ns ticks since year 1.
ntp=16400109281476608000
config=$(cat <<JSON
{"frames": 70, "pace_ms": 40, "ts0": $ts0, "step": 3600, "lifetime": 60, "bye": true,
 "sender_report": {"ntp": $ntp, "frame": 0, "every": 25},
 "dvtel": {"base": 637450560000000000, "step": 400000},
 "get_parameter": {"next_frame_range": {"base_us": 1609459200000000, "us_per_frame": 40000},
                   "body": "SeeTecTimestamp: 1609459200000\r\nLastRTPTimestamp: $ts0\r\n"}}
JSON
)

clients=(--client "rtsp" "$ruvar" decode @URL@ --md5 --json)
for family in Generic Milestone SeeTec VmsAgent Iss Genetec Dvtel Camera; do
  clients+=(--client "vms $family" "$ruvar" decode @URL@ --vms "$family" --md5 --json)
done
clients+=(--client "ffmpeg CLI" ffmpeg -v error -nostdin -threads 1 -rtsp_transport tcp -i @URL@ -flush_packets 1 -f framemd5 -)

table() {
  awk -F'\t' 'BEGIN { printf "%-16s %12s %18s %5s  %-14s\n", "client", "first frame", "delivered / sent", "lost", "digests" }
    { printf "%-16s %10s s %8d / %-7d %5d  %-14s%s\n", $1, $2, $3, $4, $5, $6, ($7 != 0 ? " (exit " $7 ")" : "") }' "$1"
}
/usr/bin/python3 bench/rtsp_open_clients.py --h264 "$stream" --config "$config" --digests "$work/digests" \
  "${clients[@]}" > "$work/results"
table "$work/results"
awk -F'\t' '$1 == "rtsp" { ours = $2 } $1 == "ffmpeg CLI" { theirs = $2 }
  END { if (ours != "-" && theirs != "-" && theirs > 0) printf "ratio (ours/ffmpeg) %.3f\n", ours / theirs }' "$work/results"

# The first sender report 0.3 s after PLAY (then every 25 frames): the families that need one hand
# out no frame before it.
late_config=${config/\"every\": 25\}/\"every\": 25, \"first_ms\": 300\}}
late_clients=(--client "rtsp" "$ruvar" decode @URL@ --md5 --json)
for family in Milestone Genetec Camera; do
  late_clients+=(--client "vms $family" "$ruvar" decode @URL@ --vms "$family" --md5 --json)
done
echo
echo "first sender report 0.3 s after PLAY:"
/usr/bin/python3 bench/rtsp_open_clients.py --h264 "$stream" --config "$late_config" --digests "$work/digests" \
  "${late_clients[@]}" > "$work/late"
table "$work/late"
