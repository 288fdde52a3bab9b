#!/usr/bin/env bash
# Transcoding a 720p H.264 file (250 frames) through the ruvar tool against the same work in
# ffmpeg: the source decoded on one thread, then libx264 with the options our writers give it
# (MP4: x264's default preset, crf 23, a key frame every 12 frames; HLS: 1280x720 and 640x360
# scaled bilinearly, preset ultrafast, crf 23, a key frame every 2 s, 6 s segments, threads =
# 2 x cores). Each row checks that both encoders ran with the same x264 options. Wall seconds,
# best of 3 alternating runs.
set -euo pipefail
source "$(dirname "$0")/common.sh"
src=$(fixture write720.mp4 "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 -c:v libx264 -preset veryfast -pix_fmt yuv420p")
ours_once() { seconds_of "$RUVAR" mp4 -y "$src" "$BENCH_DIR/out.mp4" --quiet; }
theirs_once() {
  seconds_of ffmpeg -v error -nostdin -y -threads 1 -i "$src" -c:v libx264 -crf 23 -g 12 -pix_fmt yuv420p "$BENCH_DIR/out-ff.mp4"
}
read -r o t < <(best_pair 3)
row mp4-720p-transcode "ruvar mp4 vs ffmpeg -threads 1 -i F -c:v libx264 -crf 23 -g 12; wall s" "$o s" "$t s" \
  "$(ratio "$t" "$o")" 1.00 "$(x264_differences "$BENCH_DIR/out.mp4" "$BENCH_DIR/out-ff.mp4")"

threads=$((2 * $(nproc)))
hls="$BENCH_DIR/hls"
ours_once() {
  rm -rf "$hls/ours" && mkdir -p "$hls/ours"
  seconds_of "$RUVAR" hls "$src" "$hls/ours/master.m3u8" --rendition 1280x720 --rendition 640x360 --quiet
}
theirs_once() {
  rm -rf "$hls/theirs" && mkdir -p "$hls/theirs"
  seconds_of ffmpeg -v error -nostdin -y -threads 1 -i "$src" \
    -filter_complex "[0:v]split=2[a][b];[b]scale=640:360:flags=bilinear[c]" -map "[a]" -map "[c]" \
    -c:v libx264 -preset ultrafast -crf 23 -g 50 -threads "$threads" -pix_fmt yuv420p \
    -f hls -hls_time 6 -hls_playlist_type vod -hls_segment_filename "$hls/theirs/%v/out%03d.ts" \
    -master_pl_name master.m3u8 -var_stream_map "v:0 v:1" "$hls/theirs/%v/video.m3u8"
}
read -r o t < <(best_pair 3)
row hls-720p+360p-transcode "ruvar hls (2 renditions) vs ffmpeg split+scale, 2 x libx264 ultrafast crf 23; wall s" \
  "$o s" "$t s" "$(ratio "$t" "$o")" 1.00 \
  "$(x264_differences "$hls/ours/1/out000.ts" "$hls/theirs/1/out000.ts")"
