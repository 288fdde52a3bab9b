#!/usr/bin/env bash
# Installs what is needed, builds the library, its tool and the examples with warnings as errors
# under AddressSanitizer and UndefinedBehaviorSanitizer, and runs the whole test suite (which also
# runs the examples, built against a staged install: PackageConsumerTest).
#   BUILD_DIR   build folder (default build/test)
#   JOBS        parallel build and test jobs (default: number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh

BUILD_DIR=${BUILD_DIR:-build/test}
JOBS=${JOBS:-$(nproc)}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

# Configured for /usr like a Debian package build (libraries in lib/<multiarch>): the package
# test stages that install under DESTDIR and builds projects and the examples against it.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DRUVAR_WERROR=ON -DRUVAR_SANITIZE=ON -DRUVAR_BUILD_EXAMPLES=ON \
    -DCMAKE_INSTALL_PREFIX=/usr "${launcher[@]}" ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$JOBS"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}
