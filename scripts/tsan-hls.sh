#!/usr/bin/env bash
# Builds the HLS writers and their tests under ThreadSanitizer and runs them: the renditions of
# MultiStreamHlsWriter encode on TBB workers and call the segment callback there.
#   BUILD_DIR  build folder (default build/tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/tsan}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DRUVAR_WERROR=ON -DRUVAR_TSAN=ON "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" --target HlsWriterTest MultiStreamHlsWriterTest
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
export RUVAREDUZID_LOG_LEVEL=${RUVAREDUZID_LOG_LEVEL:-3}
"$BUILD_DIR/tests/HlsWriterTest"
# The exported-function case loads the shared library with dlopen; its frames are not symbolized
# under ThreadSanitizer, and it runs the same writer code as the cases before it.
"$BUILD_DIR/tests/MultiStreamHlsWriterTest" --gtest_filter=-HlsExportedFunctions.*
echo "ThreadSanitizer: HLS writers clean"
