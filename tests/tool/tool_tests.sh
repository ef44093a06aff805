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

# ffprobe's value of one video (probe) or audio (aprobe) stream entry
# (codec_name, nb_read_packets, duration, ...).
probe() {
  ffprobe -v error -count_packets -select_streams v:0 -show_entries "stream=$2" -of default=nw=1:nk=1 "$1"
}
aprobe() {
  ffprobe -v error -count_packets -select_streams a:0 -show_entries "stream=$2" -of default=nw=1:nk=1 "$1"
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

# Audio that is silent but for a 1 kHz beep from START seconds on, for lavfi.
beep_at() { echo "aevalsrc='if(between(t,$1,$1+0.1),0.5*sin(2*PI*1000*t),0)':s=8000:d=$2"; }
# Seconds into FILE where its audio first gets loud.
first_beep() {
  ffmpeg -nostdin -v error -i "$1" -map 0:a:0 -f s16le -ac 1 -ar 8000 - | python3 -c "
import array, sys
a = array.array('h'); a.frombytes(sys.stdin.buffer.read())
print(float(sys.argv[1]) + next((i / 8000 for i, v in enumerate(a) if abs(v) > 8000), -1))" "$(aprobe "$1" start_time)"
}

# json_field FILE PYTHON-EXPRESSION over the parsed summary d.
json_field() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print($2)" "$1"; }


# --- crash recovery -----------------------------------------------------------
# A 60 s 160x120 H.264 + G.711 mu-law source, its video as Annex B, its audio
# as ADTS AAC; and the finished export of each recovery case, to compare with.
make_recovery_sources() {
  ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=160x120:rate=25:duration=60" \
    -f lavfi -i "sine=f=440:r=8000:d=60" -c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p \
    -c:a pcm_mulaw -ar 8000 -ac 1 -y src.mkv || fail "cannot make src.mkv"
  ffmpeg -nostdin -v error -i src.mkv -map 0:v -c copy -bsf:v h264_mp4toannexb -y src.h264
  ffmpeg -nostdin -v error -i src.mkv -map 0:a -c:a aac -b:a 32k -f adts -y src.aac
  local i
  for i in 0 1 2; do
    "$tool" --quiet $(recovery_case $i) "full-$i.$(recovery_ext $i)" || fail "finished export $i: exit $?"
    [ ! -e "full-$i.$(recovery_ext $i).journal" ] || fail "a finished export kept its journal"
  done
}
# Case 0: mu-law copied into MOV; 1: mu-law transcoded to AAC into MP4 (avcC
# H.264); 2: Annex B H.264 with ADTS AAC into MP4.
recovery_case() { case $1 in 0 | 1) echo src.mkv ;; 2) echo --audio src.aac src.h264 ;; esac; }
recovery_ext() { case $1 in 0) echo mov ;; *) echo mp4 ;; esac; }
readonly pace=10
# kill_export CASE OUTPUT SECONDS: an export at $pace times real time killed
# with SIGKILL after SECONDS; prints the seconds from start to kill.
kill_export() {
  local began pid
  began=$(date +%s.%N)
  "$tool" --quiet --batch-ms 200 --pace $pace $(recovery_case "$1") "$2" &
  pid=$!
  sleep "$3"
  python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$began" "$(date +%s.%N)"
  kill -9 $pid
  wait $pid 2>/dev/null && fail "the export ended before it was killed"
  [ -s "$2.journal" ] || fail "no journal beside $2"
}
# same_packets FINISHED RECOVERED: every packet of RECOVERED is the finished
# export's packet of the same place, byte for byte and with its timestamps
# (a stream's last packet may end sooner: the muxer takes its duration as
# given, not from the next one). Prints the recovered video seconds.
same_packets() {
  python3 - "$1" "$2" <<'PY' || fail "$2 differs from $1"
import json, subprocess, sys
def packets(f):
    out = subprocess.run(['ffprobe', '-v', 'error', '-show_packets', '-show_data_hash', 'crc32', '-show_entries',
                          'packet=stream_index,pts,dts,duration,size,flags,data_hash', '-of', 'json', f],
                         capture_output=True, text=True, check=True).stdout
    d = {}
    for p in json.loads(out)['packets']:
        d.setdefault(p['stream_index'], []).append(p)
    return d
full, rec = packets(sys.argv[1]), packets(sys.argv[2])
assert set(rec) == set(full), 'streams'
for s, got in rec.items():
    assert got and len(got) <= len(full[s]), 'stream %d: %d packets' % (s, len(got))
    for i, (a, b) in enumerate(zip(full[s], got)):
        if i == len(got) - 1:
            # The recovered track ends with this packet; its length (and the
            # padding FFmpeg 9.0 reports as discarded from it) may differ by a tick.
            a, b = dict(a, duration=0), dict(b, duration=0)
            a.pop('side_data_list', None)
            b.pop('side_data_list', None)
        assert a == b, 'stream %d packet %d: %s != %s' % (s, i, a, b)
print(len(rec[0]) / 25)
PY
}
# Plays in FFmpeg (every packet decodes) and in GStreamer.
expect_plays() {
  expect_decodes "$1"
  if command -v gst-launch-1.0 >/dev/null; then
    gst-launch-1.0 -q filesrc location="$1" ! decodebin name=d d. ! queue ! fakesink d. ! queue ! fakesink \
      >/dev/null 2>&1 || fail "$1 does not play in GStreamer"
  fi
}

case $case_name in
default_run)
  # No input: the built-in test card, exported to both containers here.
  # The tone is transcoded into MP4 and copied into MOV.
  "$tool" >stdout.txt 2>stderr.txt || fail "exit $? ($(cat stderr.txt))"
  [ ! -s stderr.txt ] || fail "unexpected stderr: $(cat stderr.txt)"
  grep -q "with a G.711 mu-law 8 kHz tone" stdout.txt || fail "the summary does not mention the tone"
  expected=mpeg4
  [[ $(ffmpeg -hide_banner -encoders 2>/dev/null) == *" libx264 "* ]] && expected=h264
  while read -r file audio; do
    [ -f "$file" ] || fail "$file missing"
    grep -q "$file" stdout.txt || fail "the summary does not name $file"
    expect_eq "$(stream_count "$file")" 2 "$file streams"
    expect_eq "$(probe "$file" codec_name)" "$expected" "$file codec"
    expect_eq "$(probe "$file" width)x$(probe "$file" height)" 1280x720 "$file size"
    expect_eq "$(probe "$file" nb_read_packets)" 250 "$file pictures"
    expect_eq "$(probe "$file" avg_frame_rate)" 25/1 "$file frame rate"
    expect_between "$(probe "$file" duration)" 9.95 10.05 "$file video duration"
    expect_eq "$(aprobe "$file" codec_name) $(aprobe "$file" sample_rate)" "$audio 8000" "$file audio"
    expect_between "$(aprobe "$file" duration)" 9.95 10.15 "$file audio duration"
    expect_between "$(duration "$file")" 9.95 10.15 "$file duration"
    expect_decodes "$file"
  done <<'EOF'
demo.mp4 aac
demo.mov pcm_mulaw
EOF
  # The beep of every whole second stays with its picture where the audio is copied.
  expect_between "$(first_beep demo.mov)" 0 0.01 "first beep in demo.mov"
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
  # A stream cut off mid-picture: the last picture, which players would stop
  # at, is left out, and the tool says so.
  cp raw.h264 cut.h264 && truncate -s -50 cut.h264
  "$tool" cut.h264 cut.mp4 >/dev/null 2>stderr.txt || fail "cut stream: exit $? ($(cat stderr.txt))"
  grep -q "left out the last picture, which is cut short" stderr.txt || fail "cut stream: $(cat stderr.txt)"
  expect_eq "$(probe cut.mp4 nb_read_packets)" 49 "pictures of the cut stream"
  expect_decodes cut.mp4
  "$tool" --quiet cut.h264 quiet.mp4 2>stderr.txt || fail "--quiet: exit $?"
  [ ! -s stderr.txt ] || fail "--quiet still printed: $(cat stderr.txt)"
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
assert e["audio"] is None, e
assert not e["stopped"] and not e["interrupted"] and e["secondsTaken"] >= 0, e
(f,) = e["files"]
assert f["path"] == "out.mp4" and f["bytes"] == os.path.getsize("out.mp4"), f
assert f["frames"] == 75 and 2.95 <= f["seconds"] <= 3.1, f
assert (f["audioCodec"], f["audioPackets"]) == (None, 0), f
EOF
  # Copied into mov; the text summary stays off stdout with --json.
  "$tool" --json h263.mkv out.mov >mov.json || fail "mov: exit $?"
  expect_eq "$(json_field mov.json 'd["exports"][0]["video"]')" copied "h263 into mov"
  # The default run reports both exports, each with its audio: 500 packets of 20 ms.
  "$tool" --json >demo.json || fail "default run: exit $?"
  python3 - demo.json <<'EOF' || fail "default run summary: $(cat demo.json)"
import json, sys
mp4, mov = json.load(open(sys.argv[1]))["exports"]
for e, out, treatment in ((mp4, "aac", "transcoded"), (mov, "pcm_mulaw", "copied")):
    a = e["audio"]
    assert (a["source"], a["codecIn"], a["codecOut"], a["treatment"]) == ("test card", "pcm_mulaw", out, treatment), a
    assert (a["sampleRate"], a["channels"], a["packetsRead"], a["packetsSent"]) == (8000, 1, 500, 500), a
    (f,) = e["files"]
    assert f["audioCodec"] == out and f["audioPackets"] > 0 and 9.95 <= f["audioSeconds"] <= 10.15, f
assert [e["files"][0]["path"] for e in (mp4, mov)] == ["demo.mp4", "demo.mov"]
EOF
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
  # With audio, each file gets the audio of its own stretch.
  make_input av.mkv 4 -f lavfi -i sine=sample_rate=8000:duration=4 -c:v mjpeg -c:a pcm_mulaw
  "$tool" --json --split-every 2 av.mkv av.mp4 >av.json 2>stderr.txt || fail "with audio: exit $? ($(cat stderr.txt))"
  expect_eq "$(json_field av.json '[f["path"] for f in d["exports"][0]["files"]]')" "['av.mp4', 'av-001.mp4']" \
    "files with audio"
  for file in av.mp4 av-001.mp4; do
    expect_eq "$(stream_count "$file")" 2 "$file streams"
    expect_eq "$(probe "$file" nb_read_packets) $(aprobe "$file" codec_name)" "50 aac" "$file contents"
    expect_between "$(aprobe "$file" duration)" 1.9 2.2 "$file audio duration"
    expect_decodes "$file"
  done
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
  # The audio stops with the pictures.
  make_input av.mkv 4 -f lavfi -i sine=sample_rate=8000:duration=4 -c:v mjpeg -c:a pcm_mulaw
  "$tool" --quiet --stop-after 2 av.mkv av.mov || fail "with audio: exit $?"
  expect_eq "$(probe av.mov nb_read_packets)" 50 "pictures written with audio"
  expect_between "$(aprobe av.mov duration)" 1.9 2.1 "audio written"
  ;;

audio)
  # G.711 in the same file: transcoded to AAC in MP4, copied into MOV.
  make_input mulaw.mkv 2 -f lavfi -i sine=sample_rate=8000:duration=2 -c:v mpeg4 -c:a pcm_mulaw
  while read -r container expected treatment; do
    "$tool" --json mulaw.mkv "out.$container" >out.json 2>stderr.txt || fail "$container: exit $? ($(cat stderr.txt))"
    expect_eq "$(stream_count "out.$container")" 2 "streams in out.$container"
    expect_eq "$(probe "out.$container" nb_read_packets)" 50 "pictures in out.$container"
    expect_eq "$(aprobe "out.$container" codec_name) $(aprobe "out.$container" sample_rate)" "$expected 8000" \
      "audio in out.$container"
    expect_between "$(aprobe "out.$container" duration)" 1.95 2.15 "audio duration in out.$container"
    expect_eq "$(json_field out.json 'd["exports"][0]["audio"]["treatment"]')" "$treatment" "treatment in $container"
    expect_eq "$(json_field out.json '[d["exports"][0]["audio"][k] for k in ("packetsRead", "packetsSent")]')" \
      "[16, 16]" "audio packets handed over into $container"
    expect_decodes "out.$container"
  done <<'EOF'
mp4 aac transcoded
mov pcm_mulaw copied
EOF
  # G.726 goes into MOV as Microsoft ADPCM, and the summary says so.
  make_input g726.mkv 2 -f lavfi -i sine=sample_rate=8000:duration=2 -c:v mpeg4 -c:a g726 -b:a 32k
  "$tool" --json g726.mkv g726.mov >g726.json 2>stderr.txt || fail "G.726: exit $? ($(cat stderr.txt))"
  expect_eq "$(aprobe g726.mov codec_name)" adpcm_ms "G.726 into MOV"
  expect_eq "$(json_field g726.json 'd["exports"][0]["audio"]["codecOut"]')" adpcm_ms "G.726 codecOut"
  [ ! -s stderr.txt ] || fail "G.726: unexpected stderr: $(cat stderr.txt)"
  # Batches of one picture and of the whole input carry the same audio.
  for batch in 1 3600000; do
    "$tool" --json --batch-ms $batch mulaw.mkv "batch$batch.mov" >batch.json || fail "--batch-ms $batch: exit $?"
    expect_eq "$(json_field batch.json 'd["exports"][0]["audio"]["packetsSent"]')" 16 "audio with --batch-ms $batch"
    expect_between "$(aprobe "batch$batch.mov" duration)" 1.95 2.05 "audio duration with --batch-ms $batch"
  done
  "$tool" --quiet --no-audio mulaw.mkv video.mp4 || fail "--no-audio: exit $?"
  expect_eq "$(stream_count video.mp4)" 1 "streams with --no-audio"

  # Audio that starts after the video keeps its distance: the beep at 1 s of
  # the file is still at 1 s, the gap before it filled.
  make_input late.mkv 2 -itsoffset 0.5 -f lavfi -i "$(beep_at 0.5 1.5)" -c:v mpeg4 -c:a pcm_mulaw
  "$tool" --quiet late.mkv late.mov || fail "late audio: exit $?"
  expect_between "$(first_beep late.mov)" 0.99 1.01 "beep of the late audio"
  expect_between "$(aprobe late.mov duration)" 1.95 2.05 "late audio duration"

  # --audio: another file's audio, starting with the video. The wav's packets
  # of half a second straddle the batches; nothing may be added where they do.
  make_input video.mkv 5 -c:v mpeg4
  ffmpeg -nostdin -v error -f lavfi -i "$(beep_at 4.5 5)" -c:a pcm_mulaw -y beep.wav
  ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=8000:duration=5 -f alaw -y tone.al
  "$tool" --quiet --audio beep.wav video.mkv wav.mov || fail "--audio wav: exit $?"
  expect_eq "$(aprobe wav.mov codec_name)" pcm_mulaw "audio from the wav"
  expect_between "$(first_beep wav.mov)" 4.49 4.51 "beep from the wav"
  expect_between "$(aprobe wav.mov duration)" 4.95 5.05 "audio duration from the wav"
  # 16-bit little-endian PCM, a WAV file's usual content, goes in big-endian,
  # sample for sample.
  ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=16000:duration=5 -c:a pcm_s16le -y le.wav
  "$tool" --quiet --audio le.wav video.mkv le.mov || fail "--audio 16-bit wav: exit $?"
  expect_eq "$(aprobe le.mov codec_name)" pcm_s16be "audio from the 16-bit wav"
  expect_eq "$(ffmpeg -v error -i le.mov -map 0:a -f s16le - | md5sum)" \
    "$(ffmpeg -v error -i le.wav -f s16le - | md5sum)" "samples from the 16-bit wav"
  # Headerless G.711 is taken at 8 kHz.
  "$tool" --quiet --audio tone.al video.mkv alaw.mov || fail "--audio raw A-law: exit $?"
  expect_eq "$(aprobe alaw.mov codec_name) $(aprobe alaw.mov sample_rate)" "pcm_alaw 8000" "raw A-law"
  expect_between "$(aprobe alaw.mov duration)" 4.95 5.05 "raw A-law duration"

  ;;

aac)
  # ADTS input is copied frame for frame.
  make_input video.mkv 2 -c:v mpeg4
  ffmpeg -nostdin -v error -f lavfi -i sine=sample_rate=16000:duration=2 -c:a aac -f adts -y tone.aac
  frames=$(aprobe tone.aac nb_read_packets)
  "$tool" --json --audio tone.aac video.mkv adts.mp4 >adts.json 2>stderr.txt || fail "ADTS: exit $? ($(cat stderr.txt))"
  expect_eq "$(aprobe adts.mp4 codec_name) $(aprobe adts.mp4 nb_read_packets)" "aac $frames" "ADTS audio"
  expect_eq "$(json_field adts.json 'd["exports"][0]["audio"]["treatment"]')" copied "ADTS treatment"
  expect_eq "$(json_field adts.json 'd["exports"][0]["audio"]["packetsSent"]')" "$frames" "ADTS frames handed over"
  expect_decodes adts.mp4
  # Raw AAC from MP4 gets ADTS headers from its AudioSpecificConfig; rate and
  # channels must come through although the stream is declared mono.
  make_input raw.mp4 2 -f lavfi -i sine=sample_rate=44100:duration=2 -ac 2 -c:v mpeg4 -c:a aac
  for container in mp4 mov; do
    "$tool" --json raw.mp4 "raw-out.$container" >raw.json 2>stderr.txt || fail "raw AAC: exit $? ($(cat stderr.txt))"
    expect_eq "$(aprobe "raw-out.$container" codec_name),$(aprobe "raw-out.$container" sample_rate),$(aprobe \
      "raw-out.$container" channels)" "aac,44100,2" "raw AAC into $container"
    expect_eq "$(aprobe "raw-out.$container" nb_read_packets)" \
      "$(json_field raw.json 'd["exports"][0]["audio"]["packetsSent"]')" "AAC frames in raw-out.$container"
    expect_between "$(aprobe "raw-out.$container" duration)" 1.95 2.1 "raw AAC duration in $container"
    expect_decodes "raw-out.$container"
  done
  # The next file of a split opens with a framed packet too.
  "$tool" --quiet --split-every 1 raw.mp4 parts.mov || fail "raw AAC split: exit $?"
  for file in parts.mov parts-001.mov; do
    expect_eq "$(aprobe "$file" codec_name),$(aprobe "$file" channels)" "aac,2" "audio of $file"
    expect_decodes "$file"
  done
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
  # Pictures sent ahead of those shown before them would be shown in file order.
  make_input bframes.mp4 1 -c:v libx264 -bf 2
  run_failing "bframes.mp4: the video has B-frames" ../bframes.mp4
  run_failing "cannot open 'missing.mkv': No such file or directory" missing.mkv
  run_failing "::avio_open: No such file or directory" ../mjpeg.mkv no/such/dir/out.mp4
  run_failing "must end in .mp4 or .mov" ../mjpeg.mkv out.avi
  run_failing "unknown option '--bogus'" --bogus
  run_failing "--split-every wants a positive number of seconds" --split-every 0 ../mjpeg.mkv
  # Audio the library cannot take is refused before anything is written.
  make_input flac.mkv 1 -f lavfi -i sine=duration=1 -c:v mjpeg -c:a flac
  make_input opus.mkv 1 -f lavfi -i sine=duration=1 -c:v mjpeg -c:a libopus
  make_input stereo.mkv 1 -f lavfi -i sine=sample_rate=8000:duration=1 -ac 2 -c:v mjpeg -c:a pcm_alaw
  supported="AAC, MP2, G.711 mu-law, G.711 A-law, G.726, G.726 little-endian, PCM S16BE"
  run_failing "flac.mkv: audio codec flac is not supported (supported: $supported); --no-audio exports the video alone" \
    ../flac.mkv
  run_failing "audio codec opus is not supported" ../opus.mkv out.mov
  run_failing "G.711 A-law audio has 2 channels; the library takes it in mono only" ../stereo.mkv
  make_input g726.mkv 1 -f lavfi -i sine=sample_rate=8000:duration=1 -c:v mjpeg -c:a g726 -b:a 24k
  run_failing "G.726 audio at 3 bits a sample; the library decodes G.726 at 4 bits a sample only" ../g726.mkv
  run_failing "'../mjpeg.mkv' has no audio stream" --audio ../mjpeg.mkv ../mjpeg.mkv
  run_failing "--audio and --no-audio contradict each other" --audio ../flac.mkv --no-audio ../mjpeg.mkv
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

recover_kill)
  # SIGKILL at random moments of 60 s exports at 10x real time; each file is
  # recovered and must hold every packet handed over more than a second (plus
  # start-up) before the kill, as the finished export has it.
  make_recovery_sources
  seed=${RECOVERY_SEED:-$RANDOM}
  worst=0
  for trial in $(seq 0 20); do
    i=$((trial % 3))
    out="k.$(recovery_ext $i)"
    delay=$(python3 -c "import random, sys; random.seed(int(sys.argv[1])); print(round(random.uniform(0.3, 4.5), 2))" \
      "$((seed + trial))")
    elapsed=$(kill_export $i "$out" "$delay")
    status=0
    "$tool" --recover "$out" >recover.txt 2>&1 || status=$?
    if [ $status = 7 ]; then
      # Killed before the first sync: nothing was durable yet.
      expect_between "$elapsed" 0 1.3 "trial $trial (seed $seed): no packet in the journal"
      rm -f "$out" "$out.journal"
      continue
    fi
    [ $status = 0 ] || fail "trial $trial (seed $seed): --recover exit $status ($(cat recover.txt))"
    grep -q "^stream 0 (h264): kept" recover.txt || fail "trial $trial: no report: $(cat recover.txt)"
    [ ! -e "$out.journal" ] || fail "trial $trial: the journal is still there"
    expect_plays "$out"
    kept=$(same_packets "full-$i.$(recovery_ext $i)" "$out")
    # Seconds of wall time lost before the kill.
    lost=$(python3 -c "import sys; print(round(max(0.0, float(sys.argv[1]) - float(sys.argv[2]) / $pace), 3))" \
      "$elapsed" "$kept")
    expect_between "$lost" 0 1.3 "trial $trial (seed $seed, case $i, killed at ${elapsed}s): seconds lost"
    worst=$(python3 -c "import sys; print(max(float(sys.argv[1]), float(sys.argv[2])))" "$worst" "$lost")
    rm -f "$out"
  done
  # A split export killed in its third file: the two finished files keep no
  # journal and play; the third is recovered.
  "$tool" --quiet --batch-ms 200 --pace $pace --split-every 10 src.mkv split.mp4 &
  pid=$!
  sleep 2.8
  kill -9 $pid
  wait $pid 2>/dev/null && fail "the split export ended before it was killed"
  for file in split.mp4 split-001.mp4; do
    [ ! -e $file.journal ] || fail "the finished $file kept its journal"
    expect_plays $file
  done
  "$tool" --recover split-002.mp4 >recover.txt 2>&1 || fail "split: --recover exit $? ($(cat recover.txt))"
  expect_plays split-002.mp4
  echo "21 kill trials (seed $seed): at most ${worst}s of wall time lost"
  ;;

recover_power_cut)
  # A power cut keeps what was made durable: the file and the journal are cut
  # to the sizes one of the journal's sync chunks gives, and recovery must
  # keep every packet listed before it, save those the muxer still held.
  make_recovery_sources
  # Flushes and syncs change nothing in a finished file: a paced export, which
  # syncs several times, is the same as one too quick to sync at all.
  "$tool" --quiet --batch-ms 200 --pace 30 src.mkv paced.mp4 || fail "paced export: exit $?"
  cmp full-1.mp4 paced.mp4 || fail "a paced export differs from a quick one"
  kill_export 1 p.mp4 4.5 >/dev/null
  python3 - p.mp4.journal >syncs.txt <<'PY'
import struct, sys
# The journal as mpegexporter/Journal.h lays it out: chunks of u32 kind, u32
# size, body, u32 CRC; packet chunks: i64 durable size, then entries.
b = open(sys.argv[1], 'rb').read()
def varint(at):
    v, shift = 0, 0
    while True:
        v |= (b[at] & 0x7f) << shift
        shift += 7
        at += 1
        if not b[at - 1] & 0x80:
            return v, at
def svarint(at):
    v, at = varint(at)
    return (v >> 1) ^ -(v & 1), at
at, video, syncs, pts = 0, [], [], {}
while at + 12 <= len(b):
    kind, size = struct.unpack_from('<II', b, at)
    if at + 12 + size > len(b):
        break
    if kind == 2:
        media = struct.unpack_from('<q', b, at + 8)[0]
        e = at + 16
        while e < at + 8 + size:
            stream = b[e] & 15
            n, e = varint(e + 1)
            delta, e = svarint(e + 4)
            _, e = svarint(e)
            _, e = svarint(e)
            pts[stream] = pts.get(stream, 0) + delta
            if stream == 0:
                video.append(pts[0])
        if media >= 0:
            syncs.append((media, at + 12 + size, len(video), video[-1] if video else 0))
    at += 12 + size
for s in syncs:
    print(*s)
PY
  [ "$(wc -l <syncs.txt)" -ge 6 ] || fail "fewer than 6 syncs in 4.5 s: $(cat syncs.txt)"
  # Syncs come twice a second of wall time: at most 0.75 s x $pace of video apart (12800 ticks a second).
  python3 -c "
import sys
rows = [list(map(int, l.split())) for l in open('syncs.txt')]
gaps = [(b[3] - a[3]) / 12800 for a, b in zip(rows, rows[1:])]
sys.exit(0 if max(gaps) <= 0.75 * $pace else 'sync gaps in video seconds: %s' % gaps)" || fail "syncs too far apart"
  read -r media journal videos _ < <(sed -n 2p syncs.txt)
  truncate -s "$media" p.mp4
  truncate -s "$journal" p.mp4.journal
  "$tool" --recover p.mp4 >recover.txt || fail "--recover after the cut: exit $?"
  kept=$(same_packets full-1.mp4 p.mp4)
  # The muxer holds back a few packets to interleave the streams.
  expect_between "$kept" "$(python3 -c "print(($videos - 25) / 25)")" "$(python3 -c "print($videos / 25)")" \
    "video seconds kept after the power cut"
  expect_plays p.mp4
  ;;

recover_bad_input)
  # Finished files, missing, damaged and mismatched journals: one line, a
  # distinct exit status, and no file touched.
  make_recovery_sources
  kill_export 0 a.mov 1.5 >/dev/null
  kill_export 2 b.mp4 1.5 >/dev/null
  cp a.mov.journal full-0.mov.journal
  cp b.mp4.journal src.mkv.journal
  refused() { # refused STATUS MESSAGE FILE
    local before status=0
    before=$(md5sum ./*.mp4 ./*.mov ./*.mkv ./*.journal)
    "$tool" --recover "$3" >stdout.txt 2>stderr.txt || status=$?
    expect_eq "$status" "$1" "--recover $3: exit status"
    grep -q "$2" stderr.txt || fail "--recover $3: $(cat stderr.txt)"
    expect_eq "$(wc -l <stderr.txt)" 1 "--recover $3: lines on stderr"
    expect_eq "$(md5sum ./*.mp4 ./*.mov ./*.mkv ./*.journal)" "$before" "--recover $3: files"
  }
  refused 3 "is finished" full-0.mov
  refused 4 "No such file" none.mp4
  cp b.mp4 c.mp4
  refused 4 "has no journal" c.mp4
  refused 6 "does not match its journal: no MP4" src.mkv
  cp b.mp4.journal c.mp4.journal
  cp a.mov.journal b.mp4.journal
  refused 6 "does not match its journal: none of its" b.mp4
  cp c.mp4.journal b.mp4.journal
  printf 'X' | dd of=c.mp4.journal bs=1 seek=20 conv=notrunc status=none
  refused 5 "is damaged" c.mp4
  head -c 30 b.mp4.journal >c.mp4.journal
  refused 5 "is damaged" c.mp4
  # A journal cut in the middle of a chunk is read up to the chunk before.
  truncate -s -7 b.mp4.journal
  "$tool" --recover b.mp4 >recover.txt || fail "cut journal: exit $?"
  same_packets full-2.mp4 b.mp4 >/dev/null
  expect_plays b.mp4
  ;;

*)
  fail "unknown case"
  ;;
esac
echo "ok [$case_name]"
