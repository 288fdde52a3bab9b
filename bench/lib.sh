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

# Wall seconds of one run of a command (its output discarded).
seconds_of() {
  local s e
  s=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  e=$(date +%s.%N)
  awk -v s="$s" -v e="$e" 'BEGIN { print e - s }'
}

# Smallest of three numbers printed by three runs of a command (seconds).
best_of_3_printed() {
  local best="" t
  for _ in 1 2 3; do
    t=$("$@")
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

# Best wall time in seconds of three runs of a command.
best_of_3() { best_of_3_printed seconds_of "$@"; }
