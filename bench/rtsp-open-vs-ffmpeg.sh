#!/usr/bin/env bash
# Opening a live RTSP stream: time from starting the client process to its first frame, and the
# frames lost at the open, for `ruvar decode` (plain RTSP, and --vms for each video-management
# system) and for `ffmpeg -rtsp_transport tcp -i URL -f framemd5 -`. The stand-in VMS server
# (tests/vms/vms_rtsp_server.py) streams 70 frames of 160x120 H.264 in real time (25 frames/s, a
# key frame every 25, sender reports every 25 frames, Dvtel header extensions, GET_PARAMETER
# replies naming the next frame's clock time and carrying SeeTec's times, an RTCP BYE after the
# last frame), a fresh server for each client. Lost = frames sent after PLAY - frames delivered;
# "digests" tells whether the delivered pictures are the stream's first N (or which run of it).
# Both decode on one thread. Prints the clients' tables on standard error and three rows: plain
# RTSP, and the slowest video-management system, against ffmpeg; and, from a server whose first
# sender report comes 0.3 s after PLAY, the slowest of the families whose frames wait for it
# (Milestone, Genetec, Camera) against ffmpeg on the same server; and the frames each client
# delivers of a stream sent over UDP through the stand-in's seeded lossy relay stage.
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
table "$work/results" >&2
# Rows: plain RTSP, and the slowest of the video-management systems, each against ffmpeg.
theirs=$(awk -F'\t' '$1 == "ffmpeg CLI" { print $2 }' "$work/results")
theirs_lost=$(awk -F'\t' '$1 == "ffmpeg CLI" { print $5 }' "$work/results")
for which in rtsp vms; do
  read -r ours lost bad < <(awk -F'\t' -v w="$which" '(w == "rtsp" ? $1 == "rtsp" : $1 ~ /^vms /) {
      if ($2 == "-") t = 1e9; else t = $2
      if (t > worst) worst = t
      lost += $5; if ($6 !~ /^first/ || $7 != 0) bad = bad " " $1 }
    END { printf "%s %d %s\n", (worst >= 1e9 ? "-" : worst), lost, (bad == "" ? "-" : bad) }' "$work/results")
  note=""
  if [ "$lost" -ne 0 ] || [ "$theirs_lost" -ne 0 ]; then note="frames lost: ours $lost, ffmpeg $theirs_lost"; fi
  if [ "$bad" != "-" ]; then note="${note:+$note; }wrong pictures or exit:$bad"; fi
  what="ruvar decode URL (plain RTSP) vs ffmpeg -threads 1 -rtsp_transport tcp; s from start to first frame"
  [ "$which" = vms ] && what="ruvar decode --vms NAME, slowest of 8 systems, vs the same ffmpeg; s to first frame"
  row "live-open-$which" "$what" "$ours s, lost $lost" "$theirs s, lost $theirs_lost" "$(ratio "$theirs" "$ours")" 1.00 "$note"
done

# The first sender report 0.3 s after PLAY (then every 25 frames): the families that need one hand
# out no frame before it.
late_config=${config/\"every\": 25\}/\"every\": 25, \"first_ms\": 300\}}
late_clients=(--client "rtsp" "$ruvar" decode @URL@ --md5 --json)
for family in Milestone Genetec Camera; do
  late_clients+=(--client "vms $family" "$ruvar" decode @URL@ --vms "$family" --md5 --json)
done
late_clients+=(--client "ffmpeg CLI" ffmpeg -v error -nostdin -threads 1 -rtsp_transport tcp -i @URL@ -flush_packets 1 -f framemd5 -)
/usr/bin/python3 bench/rtsp_open_clients.py --h264 "$stream" --config "$late_config" --digests "$work/digests" \
  "${late_clients[@]}" > "$work/late"
echo "first sender report 0.3 s after PLAY:" >&2
table "$work/late" >&2
theirs=$(awk -F'\t' '$1 == "ffmpeg CLI" { print $2 }' "$work/late")
read -r ours lost < <(awk -F'\t' '$1 ~ /^vms / { t = ($2 == "-" ? 1e9 : $2); if (t > worst) worst = t; lost += $5 }
  END { printf "%s %d\n", (worst >= 1e9 ? "-" : worst), lost }' "$work/late")
row "live-open-late-report" "ruvar decode --vms Milestone/Genetec/Camera (slowest; frames wait for the first sender report, 0.3 s after PLAY) vs ffmpeg on the same server; s to first frame" \
  "$ours s, lost $lost" "$theirs s" "$(ratio "$theirs" "$ours")" 1.00 ""

# RTP over UDP through the stand-in's seeded relay stage (2 % of packets dropped, 1 % sent twice,
# reordered within 30 ms, a burst held every 300 packets): frames delivered of 350, ours and FFmpeg's
# client (the test LiveStreamRelay checks that ours are each their own frame at its own time).
relay_config='{"frames": 350, "pace_ms": 10, "ts0": 4294861096, "step": 3600, "lifetime": 60, "bye": true,
 "bye_delay_ms": 300, "transports": ["udp"], "impair": {"seed": 7, "drop": 0.02, "duplicate": 0.01,
 "reorder_ms": 30, "burst_every": 300, "burst_ms": 120}}'
/usr/bin/python3 bench/rtsp_open_clients.py --h264 "$stream" --config "$relay_config" --digests "$work/digests" \
  --client "rtsp" "$ruvar" decode @URL@ --transport udp --md5 --json \
  --client "ffmpeg CLI" ffmpeg -v error -nostdin -threads 1 -rtsp_transport udp -i @URL@ -f framemd5 - > "$work/relay"
echo "through the relay (UDP):" >&2
table "$work/relay" >&2
ours=$(awk -F'\t' '$1 == "rtsp" { print $3 }' "$work/relay")
theirs=$(awk -F'\t' '$1 == "ffmpeg CLI" { print $3 }' "$work/relay")
row "live-relay-udp" "ruvar decode --transport udp vs ffmpeg -rtsp_transport udp through a seeded lossy relay; frames delivered of 350" \
  "$ours frames" "$theirs frames" "$(ratio "$ours" "$theirs")" 0.95 ""
