#!/usr/bin/env bash
# tool_tests.sh TOOL CASE: one end-to-end case of the mpegexport tool in a fresh temporary
# directory; inputs made with ffmpeg, outputs checked with ffprobe.
set -euo pipefail
tool=$(realpath "$1")
case_name=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }
ff() { ffmpeg -nostdin -v error -y "$@" || fail "ffmpeg $*"; }
# probe FILE v|a ENTRIES: entries of the first video or audio stream (codec_name,nb_read_packets,...).
probe() { ffprobe -v error -count_packets -select_streams "$2:0" -show_entries "stream=$3" -of csv=p=0 "$1"; }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }
expect_between() { [ "$(echo "$2 <= $1 && $1 <= $3" | bc -l)" = 1 ] || fail "$4: $1 not in [$2, $3]"; } # VALUE LOW HIGH
# Every packet decodes without a complaint; with gst, GStreamer plays it too.
expect_plays() {
  local errors
  errors=$(ffmpeg -nostdin -v error -i "$1" -f null - 2>&1) && [ -z "$errors" ] || fail "$1 does not decode: $errors"
  [ "${2:-}" != gst ] || gst-launch-1.0 -q filesrc location="$1" ! decodebin name=d d. ! queue ! fakesink d. ! queue ! \
    fakesink >/dev/null 2>&1 || fail "$1 does not play in GStreamer"
}
# make NAME SECONDS FFMPEG-OPTIONS...: a 25 fps test pattern, and what the options add.
make() { ff -f lavfi -i "testsrc=size=352x288:rate=25:duration=$2" "${@:3}" "$1"; }
# Audio silent but for a 1 kHz beep at START seconds; and where FILE's audio first gets loud.
beep_at() { echo "aevalsrc='if(between(t,$1,$1+0.1),0.5*sin(2*PI*1000*t),0)':s=8000:d=$2"; }
first_beep() {
  ffmpeg -nostdin -v error -i "$1" -map 0:a:0 -f s16le -ac 1 -ar 8000 - | python3 -c "
import array, sys
a = array.array('h'); a.frombytes(sys.stdin.buffer.read())
print(float(sys.argv[1]) + next((i / 8000 for i, v in enumerate(a) if abs(v) > 8000), -1))" "$(probe "$1" a start_time)"
}
# refused STATUS TEXT ARGS...: the exit status, one line on stderr holding TEXT, and no file made or changed.
files() { find . -type d | sort && find . -type f ! -name stderr.txt -exec md5sum {} + | sort; }
refused() {
  local before=$(files) got=0
  timeout 30 "$tool" "${@:3}" >/dev/null 2>stderr.txt || got=$? # 124: it hung
  expect_eq "$got $(wc -l <stderr.txt)" "$1 1" "exit status and lines on stderr of '${*:3}' ($(cat stderr.txt))"
  grep -qF -- "$2" stderr.txt || fail "'${*:3}': stderr lacks '$2': $(cat stderr.txt)"
  expect_eq "$(files)" "$before" "files after '${*:3}'"
}

# Crash recovery: a 60 s H.264 + G.711 source, and the finished export of each case to compare
# with. 0: G.711 copied into MOV; 1: transcoded to AAC in MP4; 2: Annex B H.264 with ADTS AAC.
recovery_sources() {
  ff -f lavfi -i testsrc=size=160x120:rate=25:duration=60 -f lavfi -i sine=r=8000:d=60 -c:v libx264 -g 25 -bf 0 \
    -pix_fmt yuv420p -c:a pcm_mulaw src.mkv
  ff -i src.mkv -map 0:v -c copy -bsf:v h264_mp4toannexb src.h264
  ff -i src.mkv -map 0:a -c:a aac -b:a 32k -f adts src.aac
  for i in 0 1 2; do
    "$tool" --quiet $(recovery_case $i) full-$i.$(ext $i) && [ ! -e full-$i.$(ext $i).journal ] || fail "finished $i"
  done
}
recovery_case() { [ "$1" = 2 ] && echo --audio src.aac src.h264 || echo src.mkv; }
ext() { [ "$1" = 0 ] && echo mov || echo mp4; }
# kill_export CASE OUTPUT SECONDS: SIGKILL after SECONDS of an export at 10x real time; prints the seconds it ran.
kill_export() {
  local began=$(date +%s.%N)
  "$tool" --quiet --batch-ms 200 --pace 10 $(recovery_case "$1") "$2" &
  sleep "$3" && echo "$(date +%s.%N) - $began" | bc && kill -9 $! && ! wait $! 2>/dev/null || fail "$2 ended unkilled"
  [ -s "$2.journal" ] || fail "no journal beside $2"
}
# same_packets FINISHED RECOVERED: each recovered packet is the finished one, byte for byte with its
# timestamps (the last one's length may differ by a tick); prints the recovered video seconds.
same_packets() {
  python3 - "$1" "$2" <<'PY' || fail "$2 differs from $1"
import json, subprocess, sys
def packets(f, s):
    out = subprocess.run(['ffprobe', '-v', 'error', '-select_streams', str(s), '-show_data_hash', 'crc32', '-of', 'json',
                          '-show_entries', 'packet=pts,dts,duration,size,flags,data_hash', f], capture_output=True).stdout
    return [dict(p, side_data_list=0) for p in json.loads(out)['packets']]
for s in (0, 1):
    full, rec = packets(sys.argv[1], s), packets(sys.argv[2], s)
    assert 0 < len(rec) <= len(full) and rec[:-1] == full[:len(rec) - 1], 'stream %d' % s
    assert dict(rec[-1], duration=0) == dict(full[len(rec) - 1], duration=0), 'stream %d' % s
print(len(packets(sys.argv[2], 0)) / 25)
PY
}

case $case_name in
default_run)
  # The test card into both containers: the tone transcoded into MP4, copied into MOV.
  "$tool" >stdout.txt 2>stderr.txt || fail "exit $? ($(cat stderr.txt))"
  [ ! -s stderr.txt ] || fail "unexpected stderr: $(cat stderr.txt)"
  grep -q "with a G.711 mu-law 8 kHz tone" stdout.txt || fail "the summary does not mention the tone"
  codec=mpeg4
  [[ $(ffmpeg -hide_banner -encoders 2>/dev/null) == *" libx264 "* ]] && codec=h264
  for file in demo.mp4:aac demo.mov:pcm_mulaw; do
    audio=${file#*:} file=${file%:*}
    grep -q "$file" stdout.txt || fail "the summary does not name $file"
    expect_eq "$(probe $file v codec_name,width,height,avg_frame_rate,nb_read_packets)" "$codec,1280,720,25/1,250" $file
    expect_eq "$(probe $file a codec_name,sample_rate)" "$audio,8000" "$file audio"
    expect_between "$(probe $file v duration)" 9.95 10.05 "$file video duration"
    expect_between "$(probe $file a duration)" 9.95 10.15 "$file audio duration"
    expect_plays $file
  done
  # The beep of every whole second stays with its picture where the audio is copied.
  expect_between "$(first_beep demo.mov)" 0 0.01 "first beep in demo.mov"
  expect_eq "$(ls | tr '\n' ' ')" "demo.mov demo.mp4 stderr.txt stdout.txt " "files made"
  ;;

video)
  # Copied where the container carries the codec, MPEG-4 otherwise; Annex B H.264 as a camera sends it.
  make mjpeg.mkv 2 -c:v mjpeg && make h263.mkv 2 -c:v h263 && make raw.h264 2 -c:v libx264 -bf 0
  # The library takes UTF-16 names: accents and characters beyond the BMP.
  for run in mjpeg.mkv:mp4:mjpeg h263.mkv:mp4:mpeg4 h263.mkv:mov:h263 raw.h264:mp4:h264; do
    IFS=: read -r input container codec <<<"$run"
    out=$'vid\u00e9o \U0001F600.'$container
    "$tool" --quiet "$input" "$out"
    expect_eq "$(probe "$out" v codec_name,nb_read_packets)" "$codec,50" "$input in $container"
    expect_plays "$out"
  done
  # A transcoded picture that does not decode (its header zeroed after the start code) is skipped with
  # those after it up to the next key picture (one in 12), and --json counts them.
  make broken.h263 2 -c:v h263 -f h263
  at=$(ffprobe -v error -select_streams v -show_entries packet=pos -of csv=p=0 broken.h263 | sed -n 20p)
  printf '\0\0\0\0' | dd of=broken.h263 bs=1 seek="$((at + 3))" conv=notrunc status=none
  "$tool" --json broken.h263 broken.mp4 >summary.json || fail "broken.h263: exit $?"
  expect_eq "$(python3 -c 'import json; print(json.load(open("summary.json"))["exports"][0]["packetsSkipped"])')" 5 \
    "pictures skipped"
  expect_eq "$(probe broken.mp4 v nb_read_packets)" 45 "pictures of broken.h263"
  expect_plays broken.mp4
  # A stream cut off mid-picture: the last picture, which players stop at, is left out with a note.
  cp raw.h264 cut.h264 && truncate -s -50 cut.h264
  "$tool" cut.h264 cut.mp4 >/dev/null 2>stderr.txt && grep -q "left out the last picture, which is cut short" \
    stderr.txt || fail "cut stream: $(cat stderr.txt)"
  expect_eq "$(probe cut.mp4 v nb_read_packets)" 49 "pictures of the cut stream"
  expect_plays cut.mp4
  # Split at the first key picture (one a second) after every 2.5 s, with audio; a stop finishes the part.
  "$tool" --quiet --split-every 2.5
  for part in demo.mp4:75 demo-001.mp4:50 demo-002.mp4:75 demo-003.mp4:50 demo.mov:75 demo-003.mov:50; do
    file=${part%:*} seconds=$((${part#*:} / 25))
    expect_eq "$(probe $file v nb_read_packets)" ${part#*:} "pictures in $file"
    expect_between "$(probe $file a duration)" "$((seconds - 1)).99" "$seconds.15" "audio of $file"
  done
  [ ! -e demo-004.mp4 ] || fail "a fifth test card file"
  "$tool" --quiet --split-every 1 --stop-after 1.5 mjpeg.mkv both.mp4
  expect_eq "$(probe both.mp4 v nb_read_packets) $(probe both-001.mp4 v nb_read_packets)" "25 13" "pictures per part"
  [ ! -e both-002.mp4 ] || fail "a file after the stop"
  ;;

audio)
  # G.726 goes into MOV as Microsoft ADPCM (G.711: default_run).
  make g726.mkv 2 -f lavfi -i sine=r=8000:d=2 -c:v mpeg4 -c:a g726 -b:a 32k
  "$tool" --quiet g726.mkv g726.mov
  expect_eq "$(probe g726.mov a codec_name,sample_rate)" "adpcm_ms,8000" "G.726 in MOV"
  expect_between "$(probe g726.mov a duration)" 1.95 2.15 "G.726 duration in MOV"
  # --audio FILE: 16-bit little-endian WAV goes in as PCM S16BE, sample for sample;
  # half-second packets straddle the batches, and nothing is added where they do.
  make video.mkv 5 -c:v mpeg4
  ff -f lavfi -i sine=sample_rate=16000:duration=5 -c:a pcm_s16le le.wav
  "$tool" --quiet --audio le.wav video.mkv le.mov && [ "$(probe le.mov a codec_name)" = pcm_s16be ] || fail "le.wav"
  expect_eq "$(ffmpeg -v error -i le.mov -map 0:a -f s16le - | md5sum)" \
    "$(ffmpeg -v error -i le.wav -f s16le - | md5sum)" "samples from the wav"
  ff -f lavfi -i "$(beep_at 4.5 5)" -c:a pcm_mulaw beep.wav
  "$tool" --quiet --audio beep.wav video.mkv beep.mov
  expect_between "$(first_beep beep.mov)" 4.49 4.51 "beep from the wav"
  # Raw AAC from MP4 gets ADTS headers, keeping rate and channels, also in a split's second part.
  make raw.mp4 2 -f lavfi -i sine=sample_rate=44100:duration=2 -ac 2 -c:v mpeg4 -c:a aac
  "$tool" --quiet --split-every 1 raw.mp4 parts.mov
  for file in parts.mov parts-001.mov; do
    expect_eq "$(probe $file a codec_name,sample_rate,channels)" "aac,44100,2" "raw AAC in $file"
    expect_plays $file
  done
  ;;

failures)
  make ffv1.mkv 1 -c:v ffv1 && make mjpeg.mkv 1 -c:v mjpeg && make bframes.mp4 1 -c:v libx264 -bf 2
  for audio in flac:flac stereo:"pcm_alaw -ac 2" g726:"g726 -b:a 24k"; do
    make ${audio%%:*}.mkv 1 -f lavfi -i sine=r=8000:d=1 -c:v mjpeg -c:a ${audio#*:}
  done
  refused 1 "video codec ffv1 is not supported (supported: H.264, H.265, MPEG-4, MJPEG, H.263, BMP)" ffv1.mkv
  refused 1 "bframes.mp4: the video has B-frames" bframes.mp4 out.mp4
  refused 1 "flac.mkv: audio codec flac is not supported (supported: AAC, MP2, G.711 mu-law, G.711 A-law, G.726, \
G.726 little-endian, PCM S16BE); --no-audio exports the video alone" flac.mkv out.mov
  refused 1 "G.711 A-law audio has 2 channels; the library takes it in mono only" stereo.mkv
  refused 1 "G.726 audio at 3 bits a sample; the library decodes G.726 at 4 bits a sample only" g726.mkv
  refused 1 "cannot open 'missing.mkv': No such file or directory" missing.mkv
  refused 1 "::open: No such file or directory" mjpeg.mkv no/such/dir/out.mp4
  refused 1 "must end in .mp4 or .mov" mjpeg.mkv out.avi
  refused 1 "is not UTF-8" mjpeg.mkv $'bad\xff.mp4'
  refused 1 "'mjpeg.mkv' has no audio stream" --audio mjpeg.mkv mjpeg.mkv
  refused 2 "unknown option '--bogus' (see mpegexport --help)" --bogus
  refused 2 "--split-every wants a positive number of seconds, not '0'" --split-every 0 mjpeg.mkv
  refused 2 "--audio and --no-audio contradict each other" --audio flac.mkv --no-audio mjpeg.mkv
  # The default output of an .mp4 here is the input itself; a folder in the way is left alone.
  make clip.mp4 1 -c:v mjpeg && refused 1 "is the input itself" --quiet clip.mp4
  mkdir taken.mp4 && touch taken.mp4/keep && refused 1 "'taken.mp4': " --quiet mjpeg.mkv taken.mp4
  ;;

recover_kill)
  # SIGKILL at random moments: the file recovered plays and holds what was handed over 1.3 s before.
  recovery_sources
  seed=${RECOVERY_SEED:-$RANDOM}
  for trial in $(seq 0 $((${RECOVERY_TRIALS:-9} - 1))); do
    i=$((trial % 3)) out=k.$(ext $((trial % 3)))
    delay=$(python3 -c "import random; random.seed($seed + $trial); print(round(random.uniform(0.3, 4.5), 2))")
    elapsed=$(kill_export $i $out $delay)
    status=0 && "$tool" --recover $out >recover.txt 2>&1 || status=$?
    # Killed before the first sync, nothing was durable yet (7); else the journal goes.
    [ $status = 7 ] && expect_between "$elapsed" 0 1.3 "trial $trial (seed $seed): no packet in the journal" &&
      rm $out $out.journal && continue
    [ $status = 0 ] && grep -q "^stream 0 (h264): kept" recover.txt && [ ! -e $out.journal ] ||
      fail "trial $trial: exit $status $(cat recover.txt)"
    expect_plays $out gst
    lost=$(echo "$elapsed - $(same_packets full-$i.$(ext $i) $out) / 10" | bc -l)
    expect_between "$lost" -100 1.3 "trial $trial (seed $seed, case $i): seconds lost" && rm $out
  done
  # A split export killed in its third file: the two finished ones keep no journal; the third is recovered.
  # Killed once the third file's journal has grown past its header (its first sync), however
  # slow the machine: a fixed delay found nothing durable yet under a sanitizer on a loaded machine.
  "$tool" --quiet --batch-ms 200 --pace 10 --split-every 10 src.mkv split.mp4 &
  for _ in $(seq 600); do
    [ -e split-002.mp4.journal ] && header=${header:-$(stat -c %s split-002.mp4.journal)}
    [ -n "${header:-}" ] && [ "$(stat -c %s split-002.mp4.journal 2>/dev/null || echo 0)" -gt "$header" ] && break
    sleep 0.05
  done
  kill -9 $! && ! wait $! 2>/dev/null || fail "the split export ended before it was killed"
  [ ! -e split.mp4.journal ] && [ ! -e split-001.mp4.journal ] || fail "a finished file kept its journal"
  "$tool" --recover split-002.mp4 >/dev/null || fail "split: --recover exit $?"
  for file in split.mp4 split-001.mp4 split-002.mp4; do expect_plays $file; done
  ;;

recover_power_cut)
  # A power cut keeps what one sync made durable, and recovery what the journal lists then.
  # Syncs change nothing in a finished file.
  recovery_sources
  "$tool" --quiet --batch-ms 200 --pace 30 src.mkv paced.mp4 && cmp full-1.mp4 paced.mp4 || fail "paced export differs"
  kill_export 1 p.mp4 4.5 >/dev/null
  # The media file's durable size and the journal's size at each sync (Journal.h:
  # chunks of u32 kind, u32 size, body, u32 CRC; a packet chunk opens with the i64 size).
  python3 -c "
import struct
b, at = open('p.mp4.journal', 'rb').read(), 0
while at + 12 <= len(b):
    kind, size = struct.unpack_from('<II', b, at)
    if kind == 2 and at + 12 + size <= len(b) and struct.unpack_from('<q', b, at + 8)[0] >= 0:
        print(struct.unpack_from('<q', b, at + 8)[0], at + 12 + size)
    at += 12 + size" >syncs.txt
  [ "$(wc -l <syncs.txt)" -ge 6 ] || fail "fewer than 6 syncs in 4.5 s: $(cat syncs.txt)"
  read -r media journal < <(sed -n 2p syncs.txt)
  truncate -s "$media" p.mp4 && truncate -s "$journal" p.mp4.journal
  # LeakSanitizer cannot run under ptrace.
  trace=() && ! command -v strace >/dev/null || trace=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0"
    strace -f -qq -o trace.txt -e trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat)
  "${trace[@]}" "$tool" --recover p.mp4 >recover.txt && same_packets full-1.mp4 p.mp4 >/dev/null ||
    fail "recovery after the cut"
  # The rebuilt file and then its directory are synced before the file replaces the original and before
  # the journal goes.
  [ ${#trace[@]} = 0 ] || awk '/fsync\(/ { synced = 1 } /rename.*"p\.mp4"/ { if (!synced) exit 1; renamed = 1; synced = 0 }
    /unlink.*p\.mp4\.journal/ { if (!renamed || !synced) exit 1; ok = 1 } END { exit !ok }' trace.txt ||
    fail "recovery is not durable before it replaces: $(cat trace.txt)"
  # The muxer holds back under a second of pictures to interleave the streams.
  grep -qE "^stream 0 \(h264\): kept [0-9]+ packets .*, dropped ([0-9]|1[0-9]|2[0-5])$" recover.txt ||
    fail "pictures kept after the power cut: $(cat recover.txt)"
  expect_plays p.mp4 gst
  ;;

recover_bad_input)
  # Finished files, missing, damaged, foreign and mismatched journals, files that are not regular, and a
  # file still being written: one line, a distinct exit status, and no file touched. A journal cut
  # mid-chunk is read up to the chunk before.
  recovery_sources
  kill_export 0 a.mov 1.5 >/dev/null && kill_export 2 b.mp4 1.5 >/dev/null
  cp a.mov.journal full-0.mov.journal && refused 3 "is finished" --recover full-0.mov
  refused 4 "No such file" --recover none.mp4
  cp b.mp4 c.mp4 && refused 4 "has no journal" --recover c.mp4
  mkfifo fifo.mp4 && refused 4 "'fifo.mp4': not a regular file" --recover fifo.mp4
  mkfifo c.mp4.journal && refused 4 "'c.mp4.journal': not a regular file" --recover c.mp4 && rm c.mp4.journal
  # A journal belongs to the file it was written beside, not to a copy of it (same bytes, another file).
  # A container the library does not write, checksums right: JournalParse.
  cp b.mp4.journal c.mp4.journal
  refused 6 "does not match its journal: the journal was written for another file" --recover c.mp4
  printf 'X' | dd of=c.mp4.journal bs=1 seek=20 conv=notrunc status=none && refused 5 "is damaged" --recover c.mp4
  # Its own journal, but the file changed in place: no MP4 any more, or other media data.
  printf 'XXXX' | dd of=a.mov bs=1 seek=4 conv=notrunc status=none
  refused 6 "does not match its journal: no MP4" --recover a.mov
  printf 'ftyp' | dd of=a.mov bs=1 seek=4 conv=notrunc status=none
  python3 -c "
import sys
f = open('a.mov', 'r+b'); b = f.read(); at = b.index(b'mdat') + 4
f.seek(at); f.write(bytes(len(b) - at))"
  refused 6 "does not match its journal: none of its" --recover a.mov
  truncate -s -7 b.mp4.journal && "$tool" --recover b.mp4 >/dev/null && same_packets full-2.mp4 b.mp4 >/dev/null ||
    fail "a journal cut mid-chunk"
  expect_plays b.mp4
  # An export still running holds its file: recovery refuses it, and the export finishes a whole file.
  "$tool" --quiet --json --batch-ms 200 --pace 10 --stop-after 20 src.mkv live.mp4 >live.json &
  sleep 1 && status=0 && "$tool" --recover live.mp4 >/dev/null 2>stderr.txt || status=$?
  expect_eq "$status $(wc -l <stderr.txt)" "8 1" "recovery of a file being written ($(cat stderr.txt))"
  grep -q "'live.mp4' is being written by a running export" stderr.txt || fail "stderr: $(cat stderr.txt)"
  wait $! || fail "the export was disturbed"
  expect_eq "$(python3 -c "import json; print(json.load(open('live.json'))['exports'][0]['files'][0]['bytes'])")" \
    "$(stat -c %s live.mp4)" "bytes reported and on disk"
  expect_plays live.mp4
  ;;

recover_names)
  # Any name is a file name: a colon is no protocol, and a name too long for ".journal" gets a journal
  # name that fits. Export, recovery and read-back agree on both.
  make src.mkv 30 -c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p
  for out in cam1:front.mp4 "$(printf 'n%.0s' $(seq 251)).mp4"; do
    "$tool" --quiet src.mkv "$out" || fail "export to ${out:0:20}..."
    expect_eq "$(probe "./$out" v nb_read_packets)" 750 "pictures in ${out:0:20}..."
    rm "$out"
    "$tool" --quiet --batch-ms 200 --pace 10 src.mkv "$out" &
    sleep 1.5 && kill -9 $! && ! wait $! 2>/dev/null || fail "${out:0:20}... ended unkilled"
    [ "$(ls | grep -c '\.journal$')" = 1 ] || fail "no journal beside ${out:0:20}...: $(ls)"
    "$tool" --recover "$out" >/dev/null || fail "recovery of ${out:0:20}..."
    expect_plays "./$out"
    [ "$(ls | grep -c '\.journal$')" = 0 ] || fail "a journal left: $(ls)"
  done
  ;;

silent_audio)
  # A source whose sound stops for good does not hold the pictures back: killed nine minutes
  # into ten minutes of video whose audio ends after ten seconds, the export keeps more than
  # eight minutes of pictures for recovery, with the silence filled where the sound was missing.
  ff -f lavfi -i testsrc=size=64x48:rate=25:duration=600 -f lavfi -i sine=r=8000:d=10 -c:v mjpeg -c:a pcm_mulaw src.mkv
  # Killed by its progress, not by the clock, so that a slow machine cannot make it early.
  "$tool" --progress --pace 100 src.mkv out.mov 2>progress.txt &
  for _ in $(seq 600); do grep -q '90% of input' progress.txt && break; sleep 0.05; done
  sleep 0.2 && kill -9 $! && ! wait $! 2>/dev/null || fail "the export ended unkilled"
  "$tool" --recover out.mov >recover.txt || fail "--recover exit $?: $(cat recover.txt)"
  expect_between "$(probe out.mov v duration)" 480 600 "seconds of pictures recovered"
  expect_plays out.mov
  ;;

*) fail "unknown case" ;;
esac
echo "ok [$case_name]"
