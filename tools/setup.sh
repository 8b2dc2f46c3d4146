#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12. Idempotent:
# apt-get runs only when a package is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools wixl
  wine wine64 xvfb xauth imagemagick xdotool x11-utils
  gstreamer1.0-tools gstreamer1.0-libav gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-x gstreamer1.0-rtsp
  gir1.2-gst-rtsp-server-1.0 python3-gi python3-gst-1.0
  ffmpeg pulseaudio pulseaudio-utils sox openssl
  clang-14 libclang-rt-14-dev clang-format lld
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
