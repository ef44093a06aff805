#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks
# need, by names that Debian 12 and 13 (and testing) share. Quiet, and quick
# when everything is already there.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  # zlib's crc32 for the recovery journal
  zlib1g-dev
  # mpegexport's command line and JSON summary
  libcli11-dev nlohmann-json3-dev
  ffmpeg
  googletest libgtest-dev
  binutils
  # Readers that share no code with libavformat's MP4 demuxer (tests/readers)
  gstreamer1.0-tools gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good gstreamer1.0-libav
  mediainfo python3
  # arithmetic in the tool tests
  bc
  # libFuzzer and the sanitizer runtimes for the fuzzing harnesses (fuzz/)
  clang libclang-rt-dev
  # The benchmarks (bench/): in-process on Google Benchmark, whole processes on hyperfine
  libbenchmark-dev hyperfine
)

# The real-browser check (tests/browser): Debian's chromium, and node with npm
# for puppeteer-core unless a node is on PATH already.
packages+=(chromium)
command -v node >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
