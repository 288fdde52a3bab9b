#!/usr/bin/env bash
# Installs what is needed, builds the library and the ruvar tool, and runs `ruvar demo`.
#   BUILD_DIR   build folder (default build/release)
#   DEMO_DIR    where the demo writes its files (default ./ruvar-demo)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh

BUILD_DIR=${BUILD_DIR:-build/release}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DRUVAR_BUILD_TESTS=OFF "${launcher[@]}"
cmake --build "$BUILD_DIR" -j "$(nproc)" --target ruvar

"$BUILD_DIR/bin/ruvar" demo --output "${DEMO_DIR:-ruvar-demo}"
