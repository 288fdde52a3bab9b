# shellcheck shell=bash
# Shared pieces of the per-class benchmark scripts (sourced, from the repository root).

# Builds the library in release mode in $BUILD_DIR (default build/release) and compiles one
# benchmark program against it: build_bench SOURCE OUTPUT [EXTRA LINKER FLAGS...]
build_bench() {
  local source=$1 output=$2
  shift 2
  local build=${BUILD_DIR:-build/release} launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DRUVAR_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
  cmake --build "$build" -j 2 --target RuvarEduzid >/dev/null
  local libdir common
  libdir=$(dirname "$(find "$build" -name 'libRuvarEduzid.so' | head -1)")
  common=$(dirname "$(find "$build" -name 'libHalvoraCommon.so' | head -1)")
  g++ -O2 -std=c++17 "$source" -I. -I/usr/include/opencv4 \
    -L"$libdir" -L"$common" -Wl,-rpath,"$libdir" -Wl,-rpath,"$common" \
    -lRuvarEduzid -lHalvoraCommon "$@" -o "$output"
}

# Builds the ruvar tool in release mode in $BUILD_DIR (default build/release) and prints its path.
build_ruvar() {
  local build=${BUILD_DIR:-build/release} launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DRUVAR_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
  cmake --build "$build" -j 2 --target ruvar >/dev/null
  case $build in /*) ;; *) build=$PWD/$build ;; esac
  echo "$build/bin/ruvar"
}

# Wall seconds of one run of a command (its output discarded); a command that fails fails the
# measurement (a quick failure is no time to report).
seconds_of() {
  local s e
  s=$(date +%s.%N)
  if ! "$@" >/dev/null 2>&1; then echo "bench: failed: $*" >&2; return 1; fi
  e=$(date +%s.%N)
  awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'
}

# CPU seconds (user + system, children included) of one run of a command, its output discarded;
# a command that fails fails the measurement.
cpu_of() {
  local f
  f=$(mktemp)
  if ! /usr/bin/time -f "%U %S" -o "$f" "$@" >/dev/null 2>&1; then
    echo "bench: failed: $*" >&2
    rm -f "$f"
    return 1
  fi
  awk '{ print $1 + $2 }' "$f"
  rm -f "$f"
}

# Alternates RUNS runs (default 5) of the functions ours_once and theirs_once, which print one
# number each (smaller is better), and prints the smallest of each: "OURS THEIRS". Alternating
# spreads the load of a busy machine over both sides.
best_pair() {
  local a="" b="" t
  for _ in $(seq "${1:-5}"); do
    t=$(ours_once)
    if [ -z "$a" ] || awk -v t="$t" -v b="$a" 'BEGIN { exit !(t < b) }'; then a=$t; fi
    t=$(theirs_once)
    if [ -z "$b" ] || awk -v t="$t" -v b="$b" 'BEGIN { exit !(t < b) }'; then b=$t; fi
  done
  awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f %.3f\n", a, b }'
}

# THEIRS / OURS with three decimals: above 1, ours is faster or cheaper.
ratio() { awk -v t="$1" -v o="$2" 'BEGIN { printf "%.3f", (o > 0 ? t / o : 0) }'; }

# One row of the table of bench/run-all: row NAME WHAT OURS THEIRS RATIO GOAL [NOTE]. RATIO as
# `ratio` gives it; GOAL the least RATIO that meets the goal ("-": none); NOTE a reason the row
# cannot count (unequal work, frames lost).
row() { printf 'ROW	%s	%s	%s	%s	%s	%s	%s
' "$1" "$2" "$3" "$4" "$5" "$6" "${7:-}"; }

# The x264 options two H.264 files were encoded with, as the encoder notes them in the stream:
# nothing when they are equal, else "x264 options differ: ours K=V, ffmpeg K=V ...".
x264_differences() {
  local a b
  _x264_options() { ffmpeg -v error -nostdin -i "$1" -map 0:v:0 -c copy -frames:v 1 -f h264 - 2>/dev/null |
    tr -c '[:print:]' '\n' | grep -m1 -o 'options: .*' | tr ' ' '\n' | tail -n +2; }
  a=$(_x264_options "$1")
  b=$(_x264_options "$2")
  [ -n "$a" ] && [ "$a" = "$b" ] && return
  [ -z "$a$b" ] && { echo "x264 options not found"; return; }
  echo "x264 options differ: ours $(comm -23 <(sort <<<"$a") <(sort <<<"$b") | tr '\n' ' ')," \
    "ffmpeg $(comm -13 <(sort <<<"$a") <(sort <<<"$b") | tr '\n' ' ')"
}

# Waits at most SECONDS (default 20) until the RTSP server at URL answers DESCRIBE with 200 OK:
# a server that is still starting refuses or answers 503. False when it never does.
rtsp_ready() {
  local url=$1 hostport status
  hostport=${url#rtsp://}
  hostport=${hostport%%/*}
  local deadline=$((SECONDS + ${2:-20}))
  while [ "$SECONDS" -lt "$deadline" ]; do
    if exec 3<>"/dev/tcp/${hostport%:*}/${hostport#*:}"; then
      printf 'DESCRIBE %s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n' "$url" >&3
      status=""
      read -r -t 5 status <&3 || true
      exec 3<&-
      case $status in *" 200 "*) return 0 ;; esac
    fi 2>/dev/null
    sleep 0.2
  done
  return 1
}
