# shellcheck shell=bash
# Shared helpers of the benchmark scripts (sourced).
: "${RUVAR:?run through bench/run-all}"
: "${BENCH_DIR:?run through bench/run-all}"
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"  # timing, rows
fixture() {  # name, ffmpeg args
  local f="$BENCH_DIR/$1"
  [ -s "$f" ] || ffmpeg -v error -y $2 "$f"
  echo "$f"
}
