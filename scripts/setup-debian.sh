#!/usr/bin/env bash
# Installs the Debian 12 packages the library, its tools and its tests need.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config clang lld libclang-rt-14-dev ccache
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libopencv-core-dev libopencv-imgproc-dev
  libtbb-dev
  libboost-dev libboost-filesystem-dev libboost-thread-dev libboost-date-time-dev
  libjsoncpp-dev
  libspdlog-dev
  libffmpeg-nvenc-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg python3
  python3-gi gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
