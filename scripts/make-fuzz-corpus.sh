#!/usr/bin/env bash
# Seed corpora for the libFuzzer targets: the small text seeds kept in fuzz/corpus/ plus media and
# packets made here from real fixtures (ffmpeg CLI, tiny pictures, a few KB each).
#   make-fuzz-corpus.sh OUTPUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: make-fuzz-corpus.sh OUTPUT_DIR}
mkdir -p "$out"
cp -r fuzz/corpus/. "$out/"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ff() { ffmpeg -nostdin -y -hide_banner -loglevel error "$@"; }
src=(-f lavfi -i "testsrc=size=64x48:rate=10:duration=0.5")

# Media files of every kind the library opens, each a handful of frames.
ff "${src[@]}" -c:v libx264 -profile:v baseline -g 5 -pix_fmt yuv420p "$tmp/h264.mp4"
ff "${src[@]}" -c:v libx264 -bf 2 -g 5 -pix_fmt yuv420p "$tmp/h264-b.mkv"
ff "${src[@]}" -c:v libx264 -g 5 -pix_fmt yuv420p -f mpegts "$tmp/h264.ts"
ff "${src[@]}" -c:v libx264 -g 5 -pix_fmt yuv420p -f h264 "$tmp/h264.264"
ff "${src[@]}" -c:v libx265 -x265-params log-level=none -g 5 -pix_fmt yuv420p -f hevc "$tmp/hevc.265"
ff "${src[@]}" -c:v libx265 -x265-params log-level=none -g 5 -pix_fmt yuv420p "$tmp/hevc.mp4"
ff "${src[@]}" -c:v mjpeg -q:v 10 -pix_fmt yuvj420p "$tmp/mjpeg.avi"
ff "${src[@]}" -c:v mpeg2video -g 5 -f mpegts "$tmp/mpeg2.ts"
ff "${src[@]}" -c:v flv1 "$tmp/flv1.flv"
ff "${src[@]}" -c:v libx264 -g 5 -pix_fmt yuv444p "$tmp/h264-444.mp4"
ff "${src[@]}" -c:v libx264 -g 5 -pix_fmt yuv420p -movflags frag_keyframe+empty_moov "$tmp/h264-frag.mp4"

seed() {  # seed TARGET FILE...
    mkdir -p "$out/$1"
    local target=$1; shift
    for f in "$@"; do cp "$f" "$out/$target/"; done
}
seed H264Mp4Fuzzer "$tmp/h264.264" "$tmp/hevc.265"
head -c 1200 "$tmp/h264.264" > "$out/H264Mp4Fuzzer/h264-cut.264"
for target in DecoderStaticBufferFuzzer DecoderLiveBufferFuzzer; do
    seed "$target" "$tmp"/h264.mp4 "$tmp"/h264-b.mkv "$tmp"/h264.ts "$tmp"/h264.264 "$tmp"/hevc.265 \
        "$tmp"/hevc.mp4 "$tmp"/mjpeg.avi "$tmp"/mpeg2.ts "$tmp"/flv1.flv "$tmp"/h264-444.mp4 "$tmp"/h264-frag.mp4
done

# RTP packets with and without the Dvtel header extension (profile 0x4000, time entry 0x4001).
mkdir -p "$out/DvtelExtensionFuzzer"
/usr/bin/python3 - "$out/DvtelExtensionFuzzer" <<'PY'
import struct, sys, os
d = sys.argv[1]
def rtp(ext):
    head = struct.pack('>BBHII', 0x90 if ext else 0x80, 96, 1, 90000, 0x1234)
    return head + ext + b'\x65\x88\x84\x00'
time = 638400000000000000
ext1 = struct.pack('>HHI', 0x4000, 3, 1) + struct.pack('>HHQ', 0x4001, 8, time)
ext2 = struct.pack('>HHI', 0x4000, 5, 2) + struct.pack('>HHI', 0x4002, 4, 7) + struct.pack('>HHQ', 0x4001, 8, time)
for name, data in (('time.rtp', rtp(ext1)), ('second-entry.rtp', rtp(ext2)), ('plain.rtp', rtp(b''))):
    open(os.path.join(d, name), 'wb').write(data)
PY
du -sh "$out" | cut -f1 | sed 's/^/seed corpora: /'
