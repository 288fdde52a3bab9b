#!/usr/bin/env bash
# Decoding 1080p files (250 frames, with B-frames) to frames, `ruvar decode` against
# `ffmpeg -i FILE -f null -`, H.264 and HEVC: on one thread each (CPU seconds: a busy machine
# does not change them), and with each side's automatic thread count (wall seconds); then the
# packets of the H.264 file as an Annex B stream. Best of 5 alternating runs.
set -euo pipefail
source "$(dirname "$0")/common.sh"
h264=$(fixture decode1080.mp4 "-f lavfi -i testsrc2=size=1920x1080:rate=25:duration=10 -c:v libx264 -preset veryfast -pix_fmt yuv420p")
hevc=$(fixture decode1080-hevc.mp4 "-f lavfi -i testsrc2=size=1920x1080:rate=25:duration=10 -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p")
for codec in h264 hevc; do
  src=${!codec}
  count=$("$RUVAR" decode "$src" --quiet --threads 0 | wc -l)
  expected=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$src")
  note=""
  [ "$count" -eq "$expected" ] || note="ours decoded $count of $expected frames"
  ours_once() { cpu_of "$RUVAR" decode "$src" --quiet --threads 1; }
  theirs_once() { cpu_of ffmpeg -v error -nostdin -threads 1 -i "$src" -f null -; }
  read -r o t < <(best_pair 5)
  row "decode-$codec-1080p-1thread" "ruvar decode --threads 1 vs ffmpeg -threads 1, $expected frames; CPU s" "$o s" "$t s" \
    "$(ratio "$t" "$o")" 1.00 "$note"
  ours_once() { seconds_of "$RUVAR" decode "$src" --quiet --threads 0; }
  theirs_once() { seconds_of ffmpeg -v error -nostdin -i "$src" -f null -; }
  read -r o t < <(best_pair 5)
  row "decode-$codec-1080p-threads" "ruvar decode --threads 0 vs ffmpeg (both: cores + 1 threads); wall s" "$o s" "$t s" \
    "$(ratio "$t" "$o")" 0.95 "$note"
done
ours_once() { seconds_of "$RUVAR" packets "$h264" --quiet -y -o "$BENCH_DIR/annexb.h264"; }
theirs_once() { seconds_of ffmpeg -v error -nostdin -y -i "$h264" -c copy -bsf:v h264_mp4toannexb -f h264 "$BENCH_DIR/annexb-ff.h264"; }
read -r o t < <(best_pair 5)
note=""
cmp -s "$BENCH_DIR/annexb.h264" "$BENCH_DIR/annexb-ff.h264" || note="the Annex B streams differ"
row packets-annexb-1080p "ruvar packets -o vs ffmpeg -c copy -bsf:v h264_mp4toannexb (equal bytes); wall s" "$o s" "$t s" \
  "$(ratio "$t" "$o")" - "$note"
