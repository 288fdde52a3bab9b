#!/usr/bin/env bash
# Soak run (not a CI test): decodes a file (from its path and through the live buffer) and writes
# its frames into an MP4 file and a two-rendition HLS presentation over and over for a chosen time,
# printing the segments written, the resident memory and the open file descriptors of the process
# at intervals. Memory and descriptors must stay flat.
#   soak.sh [SECONDS] [INTERVAL]    defaults 600 and 30
#   BUILD_DIR   build folder (default build/soak; a Release build without sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
interval=${2:-30}
BUILD_DIR=${BUILD_DIR:-build/soak}

source bench/lib.sh
mkdir -p "$BUILD_DIR"
build_bench bench/SoakRun.cpp "$BUILD_DIR/RuvarSoak"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -y -hide_banner -loglevel error -f lavfi -i testsrc2=size=640x360:rate=25 -t 4 \
    -c:v libx264 -preset veryfast -bf 2 -g 25 -pix_fmt yuv420p -f mpegts "$work/input.ts"
RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3} "$BUILD_DIR/RuvarSoak" "$seconds" "$interval" \
    "$work/input.ts" "$work"
