# Shared helpers of the benchmark scripts (sourced).
: "${RUVAR:?run through bench/run-all}"
: "${BENCH_DIR:?run through bench/run-all}"
# Best wall time in seconds of three runs of a command.
best_of_3() {
  local best=""
  for _ in 1 2 3; do
    local s e t
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    t=$(awk -v s="$s" -v e="$e" 'BEGIN { print e - s }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}
fixture() {  # name, ffmpeg args
  local f="$BENCH_DIR/$1"
  [ -s "$f" ] || ffmpeg -v error -y $2 "$f"
  echo "$f"
}
