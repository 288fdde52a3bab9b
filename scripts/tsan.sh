#!/usr/bin/env bash
# Builds the threaded test programs under ThreadSanitizer and runs them.
# A test program counts as threaded when its source starts threads or drives code that does:
# std::thread, std::async, TBB, the multi-stream HLS writer, a decoder interrupted from another
# thread. Only those programs (and the libraries) are built.
#   BUILD_DIR   build folder (default build/tsan)
#   JOBS        parallel build and test jobs (default: number of cores)
#   TSAN_TESTS  program names to run instead of the detected ones (space separated)
#   TSAN_EXCLUDE  ctest -E pattern of cases left out (default: the cases that run the ruvar tool)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/tsan}
JOBS=${JOBS:-$(nproc)}
if [ -n "${TSAN_TESTS:-}" ]; then
    read -r -a programs <<<"$TSAN_TESTS"
else
    mapfile -t programs < <(grep -l -E 'std::thread|std::async|tbb::|MultiStreamHlsWriter|->Interrupt\(|\.Interrupt\(' tests/*Test.cpp |
        xargs -n1 basename | sed 's/\.cpp$//')
fi
echo "ThreadSanitizer: ${programs[*]}"
list=$(IFS=';'; echo "${programs[*]}")

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DRUVAR_WERROR=ON -DRUVAR_TSAN=ON \
    -DRUVAR_BUILD_TOOLS=OFF "-DRUVAR_TEST_PROGRAMS=$list" "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${programs[@]}"

export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:history_size=4:suppressions=$PWD/tests/tsan.supp}
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}
# The GStreamer interop runs the ruvar tool in processes of its own: this build leaves the tool out.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" --timeout 600 -E "${TSAN_EXCLUDE:-RtspGStreamer}" \
    ${CTEST_ARGS:-}
