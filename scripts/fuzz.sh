#!/usr/bin/env bash
# Builds the libFuzzer targets (Clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs each
# for a chosen time over its seed corpus, then prints executions and result per target.
#   fuzz.sh [SECONDS] [TARGET...]      SECONDS per target (default 60); all targets by default
#   BUILD_DIR    build folder (default build/fuzz)
#   CORPUS_DIR   working corpora, grown by the runs (default BUILD_DIR/corpus)
#   JOBS         build jobs (default: number of cores)
# Crash, leak and time-out reproducers land in BUILD_DIR/artifacts/<target>/. Exit status 1 when
# any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
BUILD_DIR=${BUILD_DIR:-build/fuzz}
CORPUS_DIR=${CORPUS_DIR:-$BUILD_DIR/corpus}
JOBS=${JOBS:-$(nproc)}

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRUVAR_FUZZ=ON -DRUVAR_WERROR=ON \
    -DRUVAR_BUILD_TESTS=OFF -DRUVAR_BUILD_TOOLS=OFF "${launcher[@]}" >/dev/null

if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < <(ls fuzz/*Fuzzer.cpp | xargs -n1 basename | sed 's/\.cpp$//')
fi
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${targets[@]}"

[ -d "$CORPUS_DIR" ] || bash scripts/make-fuzz-corpus.sh "$CORPUS_DIR" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=${FUZZ_DETECT_LEAKS:-1}:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp}
summary=()
failed=0
for t in "${targets[@]}"; do
    mkdir -p "$CORPUS_DIR/$t" "$BUILD_DIR/artifacts/$t"
    log="$BUILD_DIR/artifacts/$t/last-run.log"
    max_len=4096
    case "$t" in Decoder*|H264Mp4*) max_len=65536 ;; esac
    set +e
    "$BUILD_DIR/fuzz/$t" "$CORPUS_DIR/$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 ${FUZZ_SEED:+-seed=$FUZZ_SEED} \
        -max_len=$max_len -print_final_stats=1 -artifact_prefix="$BUILD_DIR/artifacts/$t/" >"$log" 2>&1
    rc=$?
    set -e
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    [ -n "$execs" ] || execs=$(grep -o '#[0-9]*' "$log" | tail -1 | tr -d '#' || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
    if [ $rc -eq 0 ]; then result=ok; else result="FAILED (rc $rc, see $log)"; failed=1; fi
    summary+=("$(printf '%-28s %10s execs  cov %-6s %s' "$t" "${execs:-?}" "${cov:-?}" "$result")")
    [ $rc -eq 0 ] || tail -40 "$log"
done
echo "fuzzing, ${seconds}s per target:"
printf '%s\n' "${summary[@]}"
exit $failed
