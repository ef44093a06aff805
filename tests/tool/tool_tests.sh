#!/usr/bin/env bash
# tool_tests.sh TOOL CASE: one end-to-end case of the mpegexport tool, run in a
# fresh temporary directory. Exits non-zero with a reason when a check fails.
set -euo pipefail

tool=$(realpath "$1")
case_name=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }

# ffprobe's value of one video stream entry (codec_name, nb_read_packets, ...).
probe() {
  ffprobe -v error -count_packets -select_streams v:0 -show_entries "stream=$2" -of default=nw=1:nk=1 "$1"
}
duration() { ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1"; }
stream_count() { ffprobe -v error -show_entries stream=index -of csv=p=0 "$1" | wc -l; }

expect_eq() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }
# expect_between VALUE LOW HIGH WHAT
expect_between() {
  python3 -c "import sys; v=float(sys.argv[1]); sys.exit(0 if float(sys.argv[2]) <= v <= float(sys.argv[3]) else 1)" \
    "$1" "$2" "$3" || fail "$4: $1 not in [$2, $3]"
}
# Every picture decodes without a complaint from the decoder.
expect_decodes() {
  local errors
  errors=$(ffmpeg -nostdin -v error -i "$1" -f null - 2>&1) || fail "$1 does not decode"
  [ -z "$errors" ] || fail "$1 decodes with errors: $errors"
}

# make_input NAME SECONDS FFMPEG-OUTPUT-OPTIONS...: a 25 fps test pattern.
make_input() {
  local name=$1 seconds=$2
  shift 2
  ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=352x288:rate=25:duration=$seconds" "$@" -y "$name" ||
    fail "ffmpeg could not make $name"
}

# json_field FILE PYTHON-EXPRESSION over the parsed summary d.
json_field() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print($2)" "$1"; }

case $case_name in
default_run)
  # No input: the built-in test card, exported to both containers here.
  "$tool" >stdout.txt 2>stderr.txt || fail "exit $? ($(cat stderr.txt))"
  [ ! -s stderr.txt ] || fail "unexpected stderr: $(cat stderr.txt)"
  expected=mpeg4
  [[ $(ffmpeg -hide_banner -encoders 2>/dev/null) == *" libx264 "* ]] && expected=h264
  for file in demo.mp4 demo.mov; do
    [ -f "$file" ] || fail "$file missing"
    grep -q "$file" stdout.txt || fail "the summary does not name $file"
    expect_eq "$(probe "$file" codec_name)" "$expected" "$file codec"
    expect_eq "$(probe "$file" width)x$(probe "$file" height)" 1280x720 "$file size"
    expect_eq "$(probe "$file" nb_read_packets)" 250 "$file pictures"
    expect_eq "$(probe "$file" avg_frame_rate)" 25/1 "$file frame rate"
    expect_between "$(duration "$file")" 9.95 10.1 "$file duration"
    expect_decodes "$file"
  done
  expect_eq "$(ls | LC_ALL=C sort | tr '\n' ' ')" "demo.mov demo.mp4 stderr.txt stdout.txt " "files made"
  ;;

inputs)
  # Codec per container: copied where the container carries it, MPEG-4 otherwise.
  make_input mjpeg.mkv 2 -c:v mjpeg
  make_input h263.mkv 2 -c:v h263
  make_input mpeg4.avi 2 -c:v mpeg4
  # Annex B without codec-private data; no B-frames, as a camera sends it.
  make_input raw.h264 2 -c:v libx264 -bf 0
  while read -r input container expected; do
    output="out-${input%.*}.$container"
    "$tool" --quiet "$input" "$output" 2>stderr.txt || fail "$input -> $output: exit $? ($(cat stderr.txt))"
    expect_eq "$(probe "$output" codec_name)" "$expected" "$output codec"
    expect_eq "$(probe "$output" nb_read_packets)" 50 "$output pictures"
    expect_between "$(duration "$output")" 1.95 2.1 "$output duration"
    expect_decodes "$output"
  done <<'EOF'
mjpeg.mkv mp4 mjpeg
mjpeg.mkv mov mjpeg
h263.mkv mp4 mpeg4
h263.mkv mov h263
mpeg4.avi mp4 mpeg4
mpeg4.avi mov mpeg4
raw.h264 mp4 h264
EOF
  # The default output: the input's name with .mp4, in the current directory.
  mkdir sub && cp mjpeg.mkv sub/clip.mkv
  "$tool" --quiet sub/clip.mkv || fail "default output name: exit $?"
  expect_eq "$(probe clip.mp4 codec_name)" mjpeg "default output"
  # The time scale follows the nominal frame rate, rounded; an explicit one wins.
  ffmpeg -nostdin -v error -f lavfi -i testsrc=size=352x288:rate=30000/1001:duration=2 -c:v mpeg4 -y ntsc.ts
  "$tool" --quiet --json ntsc.ts ntsc.mp4 >ntsc.json || fail "29.97 fps: exit $?"
  expect_eq "$(json_field ntsc.json 'd["exports"][0]["timeScale"]')" 30 "time scale at 29.97 fps"
  expect_eq "$(probe ntsc.mp4 nb_read_packets)" 60 "pictures at 29.97 fps"
  expect_between "$(duration ntsc.mp4)" 1.95 2.1 "duration at 29.97 fps"
  "$tool" --quiet --json --time-scale 50 mjpeg.mkv scaled.mp4 >scaled.json || fail "--time-scale: exit $?"
  expect_eq "$(json_field scaled.json 'd["exports"][0]["timeScale"]')" 50 "time scale"
  expect_eq "$(probe scaled.mp4 nb_read_packets)" 50 "pictures at time scale 50"
  # One picture per call, and everything in one call.
  for batch in 1 3600000; do
    "$tool" --quiet --batch-ms $batch h263.mkv batch$batch.mp4 || fail "--batch-ms $batch: exit $?"
    expect_eq "$(probe batch$batch.mp4 nb_read_packets)" 50 "pictures with --batch-ms $batch"
    expect_decodes batch$batch.mp4
  done
  ;;

names)
  make_input 'in "quoted".mkv' 2 -c:v mjpeg
  # The library takes UTF-16 names: accents and characters beyond the BMP.
  name=$'vid\u00e9o \U0001F600.mov'
  "$tool" --quiet --json 'in "quoted".mkv' "$name" >summary.json || fail "exit $?"
  expect_eq "$(probe "$name" nb_read_packets)" 50 "pictures in $name"
  expect_eq "$(json_field summary.json 'd["exports"][0]["input"]')" 'in "quoted".mkv' "input name in JSON"
  expect_eq "$(json_field summary.json 'd["exports"][0]["files"][0]["path"]')" "$name" "output name in JSON"
  # Split parts go next to the first file.
  mkdir parts
  "$tool" --quiet --split-every 1 'in "quoted".mkv' parts/clip.mp4 || fail "split into a folder: exit $?"
  expect_eq "$(ls parts | LC_ALL=C sort | tr '\n' ' ')" "clip-001.mp4 clip.mp4 " "parts"
  # Refused before anything is written.
  status=0
  "$tool" --quiet 'in "quoted".mkv' $'bad\xff.mp4' 2>stderr.txt || status=$?
  [ "$status" -ne 0 ] && grep -q "is not UTF-8" stderr.txt || fail "a name that is not UTF-8 was taken"
  [ -z "$(ls | grep bad)" ] || fail "a file was left for the bad name"
  # What the tool did not write is never removed: here a folder in the way.
  mkdir taken.mp4 && touch taken.mp4/keep
  "$tool" --quiet 'in "quoted".mkv' taken.mp4 2>/dev/null && fail "wrote over a folder"
  [ -f taken.mp4/keep ] || fail "the folder in the way was touched"
  ;;

json)
  make_input h263.mkv 3 -c:v h263
  "$tool" --json --batch-ms 200 h263.mkv out.mp4 >summary.json 2>stderr.txt || fail "exit $? ($(cat stderr.txt))"
  python3 - summary.json <<'EOF' || fail "summary: $(cat summary.json)"
import json, os, sys
d = json.load(open(sys.argv[1]))
(e,) = d["exports"]
assert (e["container"], e["codecIn"], e["codecOut"], e["video"]) == ("mp4", "h263", "mpeg4", "transcoded"), e
assert e["timeScale"] == 25 and e["packetsRead"] == 75 and e["packetsSent"] == 75, e
assert not e["stopped"] and not e["interrupted"] and e["secondsTaken"] >= 0, e
(f,) = e["files"]
assert f["path"] == "out.mp4" and f["bytes"] == os.path.getsize("out.mp4"), f
assert f["frames"] == 75 and 2.95 <= f["seconds"] <= 3.1, f
EOF
  # Copied into mov; the text summary stays off stdout with --json.
  "$tool" --json h263.mkv out.mov >mov.json || fail "mov: exit $?"
  expect_eq "$(json_field mov.json 'd["exports"][0]["video"]')" copied "h263 into mov"
  # The default run reports both exports.
  "$tool" --json >demo.json || fail "default run: exit $?"
  expect_eq "$(json_field demo.json '[e["files"][0]["path"] for e in d["exports"]]')" "['demo.mp4', 'demo.mov']" \
    "default run files"
  ;;

split)
  make_input mjpeg.mkv 4 -c:v mjpeg
  "$tool" --json --split-every 2 mjpeg.mkv parts.mov >summary.json 2>stderr.txt || fail "exit $? ($(cat stderr.txt))"
  expect_eq "$(json_field summary.json '[f["path"] for f in d["exports"][0]["files"]]')" \
    "['parts.mov', 'parts-001.mov']" "files listed"
  for file in parts.mov parts-001.mov; do
    expect_eq "$(probe "$file" nb_read_packets)" 50 "$file pictures"
    expect_between "$(duration "$file")" 1.95 2.1 "$file duration"
    expect_eq "$(json_field summary.json "[f['bytes'] for f in d['exports'][0]['files'] if f['path'] == '$file'][0]")" \
      "$(stat -c %s "$file")" "$file size reported"
    expect_decodes "$file"
  done
  [ ! -e parts-002.mov ] || fail "a third file was made"
  # A new file begins at the first key picture after each boundary (2.5, 5,
  # 7.5 s); the test card has one every second.
  "$tool" --quiet --split-every 2.5 || fail "test card split: exit $?"
  counts=""
  for file in demo.mp4 demo-001.mp4 demo-002.mp4 demo-003.mp4; do
    counts+="$(probe "$file" nb_read_packets) "
    expect_decodes "$file"
  done
  expect_eq "$counts" "75 50 75 50 " "pictures per part of the test card"
  [ ! -e demo-004.mp4 ] || fail "a fifth test card file was made"
  ;;

stop_after)
  make_input mjpeg.mkv 4 -c:v mjpeg
  "$tool" --json --batch-ms 500 --stop-after 2 mjpeg.mkv stopped.mp4 >summary.json || fail "exit $?"
  expect_eq "$(json_field summary.json 'd["exports"][0]["stopped"]')" True "stopped"
  expect_eq "$(json_field summary.json 'd["exports"][0]["packetsSent"]')" 50 "packets handed over"
  expect_eq "$(probe stopped.mp4 nb_read_packets)" 50 "pictures written"
  expect_eq "$(json_field summary.json 'd["exports"][0]["files"][0]["frames"]')" 50 "pictures reported"
  expect_between "$(duration stopped.mp4)" 1.95 2.1 "duration"
  expect_decodes stopped.mp4
  # Stopping together with splitting finishes the file in progress.
  "$tool" --quiet --split-every 1 --stop-after 1.5 mjpeg.mkv both.mp4 || fail "with split: exit $?"
  expect_eq "$(probe both.mp4 nb_read_packets) $(probe both-001.mp4 nb_read_packets)" "25 13" "pictures per part"
  [ ! -e both-002.mp4 ] || fail "a file after the stop"
  ;;

audio_input)
  # Audio is not exported yet: said once, and the video still comes out.
  make_input av.mkv 2 -f lavfi -i sine=duration=2 -c:v mpeg4 -c:a pcm_s16le -shortest
  "$tool" av.mkv out.mp4 >stdout.txt 2>stderr.txt || fail "exit $? ($(cat stderr.txt))"
  grep -q "audio export is not available yet" stderr.txt || fail "no word about the audio: $(cat stderr.txt)"
  expect_eq "$(stream_count out.mp4)" 1 "streams"
  expect_eq "$(probe out.mp4 nb_read_packets)" 50 "pictures"
  "$tool" --quiet av.mkv quiet.mp4 2>stderr.txt || fail "--quiet: exit $?"
  [ ! -s stderr.txt ] || fail "--quiet still printed: $(cat stderr.txt)"
  # Pictures sent ahead of those they follow are reported too.
  make_input bframes.mp4 2 -c:v libx264 -bf 2
  "$tool" bframes.mp4 reordered.mp4 >/dev/null 2>stderr.txt || fail "B-frames: exit $?"
  grep -q "out of presentation order" stderr.txt || fail "no word about reordering: $(cat stderr.txt)"
  ;;

failures)
  # run_failing EXPECTED-TEXT ARGS...: non-zero exit, one line on stderr
  # naming the problem, no file left behind.
  run_failing() {
    local text=$1
    shift
    mkdir run && pushd run >/dev/null
    local status=0
    "$tool" "$@" >/dev/null 2>../stderr.txt || status=$?
    popd >/dev/null
    [ "$status" -ne 0 ] || fail "'$*' succeeded"
    expect_eq "$(wc -l <stderr.txt)" 1 "lines on stderr for '$*' ($(cat stderr.txt))"
    grep -q "^mpegexport: .*$text" stderr.txt || fail "'$*': stderr lacks '$text': $(cat stderr.txt)"
    [ -z "$(ls run)" ] || fail "'$*' left $(ls run)"
    rm -rf run
  }
  make_input ffv1.mkv 1 -c:v ffv1
  make_input vp9.mkv 1 -c:v libvpx-vp9 -deadline realtime
  make_input mjpeg.mkv 1 -c:v mjpeg
  run_failing "video codec ffv1 is not supported (supported: H.264, H.265, MPEG-4, MJPEG, H.263, BMP)" ../ffv1.mkv
  run_failing "video codec vp9 is not supported" ../vp9.mkv out.mov
  run_failing "cannot open 'missing.mkv': No such file or directory" missing.mkv
  run_failing "::avio_open: No such file or directory" ../mjpeg.mkv no/such/dir/out.mp4
  run_failing "must end in .mp4 or .mov" ../mjpeg.mkv out.avi
  run_failing "unknown option '--bogus'" --bogus
  run_failing "--split-every wants a positive number of seconds" --split-every 0 ../mjpeg.mkv
  # The default output of an .mp4 in the current directory is the input itself.
  make_input clip.mp4 1 -c:v mjpeg
  status=0
  "$tool" --quiet clip.mp4 2>stderr.txt || status=$?
  [ "$status" -ne 0 ] && grep -q "is the input itself" stderr.txt || fail "the input was taken as output"
  expect_eq "$(probe clip.mp4 nb_read_packets)" 25 "input after refusing to overwrite it"
  # A failure while writing: BMP pictures go through the MPEG-4 transcoder.
  # Whatever the outcome, no broken file stays behind.
  mkdir bmp && ffmpeg -nostdin -v error -f lavfi -i testsrc=size=176x144:rate=25:duration=1 -c:v bmp bmp/%03d.bmp
  status=0
  "$tool" --quiet "bmp/%03d.bmp" bmp.mp4 2>stderr.txt || status=$?
  if [ "$status" -eq 0 ]; then
    expect_eq "$(probe bmp.mp4 nb_read_packets)" 25 "BMP pictures"
  else
    expect_eq "$(wc -l <stderr.txt)" 1 "lines on stderr for BMP ($(cat stderr.txt))"
    [ ! -e bmp.mp4 ] || ffprobe -v error bmp.mp4 || fail "a broken bmp.mp4 was left: $(cat stderr.txt)"
  fi
  ;;

*)
  fail "unknown case"
  ;;
esac
echo "ok [$case_name]"
