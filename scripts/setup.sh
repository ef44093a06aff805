#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks
# need, by names that Debian 12 and 13 (and testing) share. Quiet, and quick
# when everything is already there.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev
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
  # The benchmarks (bench/): in-process on Google Benchmark
  libbenchmark-dev
)
# Installed where the release has it (Debian testing is without it at times):
# hyperfine for the benchmarks' whole-process rows, which run_all.sh leaves
# out otherwise.
optional=(hyperfine)

# The real-browser check (tests/browser): Debian's chromium, and node with npm
# for puppeteer-core unless a node is on PATH already.
packages+=(chromium)
command -v node >/dev/null || packages+=(nodejs npm)

installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)" = installed ]; }
# The optional packages that are missing and that apt knows of.
wanted() {
  for package in "${optional[@]}"; do
    installed "$package" || ! apt-cache show "$package" >/dev/null 2>&1 || echo "$package"
  done
}
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && [ -z "$(wanted)" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
mapfile -t -O ${#missing[@]} missing < <(wanted)
echo "Installing: ${missing[*]}"
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
