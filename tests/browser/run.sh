#!/usr/bin/env bash
# run.sh TOOL BINARY-DIR: the real-browser check. Exports the tool's test card
# as the README's main job does (demo.mp4) and at a 90 kHz video time scale,
# makes a reference with the ffmpeg command line whose timing is right (if it
# fails, the checker or the browser is at fault, not the library), kills one
# export part-way and recovers it, and plays all four in headless Chromium
# (check.mjs, with puppeteer-core installed by npm ci into BINARY-DIR).
# Exits 77 (skipped) without chromium or node; scripts/setup.sh installs both.
set -euo pipefail
tool=$(realpath "$1") bin=$2 source_dir=$(dirname "$(realpath "$0")")
chromium=$(command -v chromium || true)
if [ -z "$chromium" ] || ! command -v node >/dev/null; then
  echo "skipped: the browser check needs chromium and node (scripts/setup.sh installs them)"
  exit 77
fi
mkdir -p "$bin"
cp "$source_dir/package.json" "$source_dir/package-lock.json" "$source_dir/check.mjs" "$bin/"
if ! cmp -s "$bin/package-lock.json" "$bin/node_modules/.installed-lock.json" 2>/dev/null; then
  (cd "$bin" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$bin/package-lock.json" "$bin/node_modules/.installed-lock.json"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$tool" --quiet
mkdir k90 && (cd k90 && "$tool" --quiet --time-scale 90000)
# Every picture on its 25 fps slot and the sound from its first sample,
# re-encoded by ffmpeg (whose AAC encoder writes its priming edit list).
ffmpeg -nostdin -v error -i demo.mov -vf "setpts=N/(25*TB)" -af "asetpts=N/SR/TB" \
  -c:v libx264 -preset veryfast -g 50 -bf 0 -c:a aac -y ref.mp4
# Killed once its journal has made a few seconds durable (at twice real
# time), recovered, and checked at the length the recovered file reports.
mkdir killed
(cd killed && exec "$tool" --quiet --pace 2) &
pid=$!
for _ in $(seq 600); do [ -s killed/demo.mp4.journal ] && break; sleep 0.1; done
sleep 4
kill -9 $pid
wait $pid 2>/dev/null || true
"$tool" --recover killed/demo.mp4
seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 killed/demo.mp4)
node "$bin/check.mjs" "$chromium" ref.mp4 demo.mp4 k90/demo.mp4 "killed/demo.mp4=$seconds"
