#!/usr/bin/env bash
# GPU checks for a machine with an NVIDIA GPU and driver (they cannot run without one):
#   - decoding of a fixture with the CUVID and CUDA decoder types (frames in GPU memory,
#     GetParam(0, ...), MoveToRam, pixels against FFmpeg's framemd5);
#   - when the GPU has an NVENC encoder: two clips encoded by NvVideoWriter on one session and a
#     third fed from another thread than the one that made the writer, wrapped by ConvertH264_MP4
#     and checked with ffprobe (a GPU without an encoder is reported clearly).
# Builds the shared libraries (Release) into build/gpu-check and runs everything in under five
# minutes. Usage: scripts/gpu-check.sh [BUILD_DIR]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build/gpu-check}"
WORK="$BUILD/gpu-check-work"
JOBS="$(nproc 2>/dev/null || echo 2)"
deadline=$((SECONDS + 290))

if command -v nvidia-smi >/dev/null 2>&1; then
  nvidia-smi -L || true
else
  echo "nvidia-smi not found: is the NVIDIA driver installed?"
fi

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DRUVAR_BUILD_TESTS=OFF -DRUVAR_BUILD_TOOLS=OFF >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target RuvarEduzid HalvoraCommon >/dev/null
g++ -std=c++17 -O1 -Wall -pthread -I"$ROOT" -I/usr/include/opencv4 "$ROOT/scripts/gpu-check/GpuCheck.cpp" \
  -o "$BUILD/ruvar-gpu-check" -L"$BUILD" -Wl,-rpath,"$BUILD" -lRuvarEduzid -lHalvoraCommon \
  $(pkg-config --cflags --libs libavutil ffnvcodec jsoncpp) -lboost_date_time -ldl

rm -rf "$WORK" && mkdir -p "$WORK"
ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i testsrc2=size=640x360:rate=25 -frames:v 50 \
  -c:v libx264 -pix_fmt yuv420p "$WORK/fixture.mp4"
ffmpeg -hide_banner -loglevel error -nostdin -i "$WORK/fixture.mp4" -pix_fmt yuv420p -f framemd5 "$WORK/ref.framemd5"

left=$((deadline - SECONDS)); [ "$left" -gt 10 ] || left=10
set +e
timeout "$left" "$BUILD/ruvar-gpu-check" "$WORK/fixture.mp4" "$WORK/ref.framemd5" "$WORK"
rc=$?
set -e
if [ "$rc" -eq 2 ]; then
  echo "RESULT: no usable NVIDIA driver or GPU here"
  exit 2
fi

fail=0
[ "$rc" -eq 0 ] || fail=1
for clip in clip1:640:360:50 clip2:320:240:30 clip3:480:272:40; do
  IFS=: read -r name w h n <<<"$clip"
  [ -f "$WORK/$name.mp4" ] || continue
  info="$(ffprobe -v error -select_streams v:0 -count_frames \
      -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$WORK/$name.mp4" || true)"
  if [ "$info" = "h264,$w,$h,$n" ]; then
    echo "  ok    ffprobe $name.mp4: $info"
  else
    echo "  FAIL  ffprobe $name.mp4: '$info', expected 'h264,$w,$h,$n'"; fail=1
  fi
  if ! ffmpeg -hide_banner -v error -nostdin -i "$WORK/$name.h264" -f null - 2>"$WORK/$name.err" || [ -s "$WORK/$name.err" ]; then
    echo "  FAIL  FFmpeg reports errors decoding $name.h264:"; head -5 "$WORK/$name.err"; fail=1
  fi
done
[ "$fail" -eq 0 ] && echo "RESULT: GPU checks passed" || echo "RESULT: GPU checks FAILED"
exit "$fail"
