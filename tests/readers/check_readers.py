#!/usr/bin/env python3
"""Reads the exports that reader_exports wrote with readers that share no
code with libavformat's MP4 demuxer: GStreamer (qtdemux, decoders chosen by
decodebin) and MediaInfo. Each file is held to what the host handed over;
where a reader's figure follows from how the library times files, the
expectation says so.

    check_readers.py <reader_exports> <directory> [file ...]

Exits 77 (skipped) when a reader is not installed.
"""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SKIPPED = 77
TIMEOUT = 120  # seconds for one reader run

# Expected names per FFmpeg codec name.
GST_CAPS = {
    "h264": ("video/x-h264", {}),
    "mjpeg": ("image/jpeg", {}),
    "mpeg4": ("video/mpeg", {"mpegversion": "4"}),
    "aac": ("audio/mpeg", {"mpegversion": "4"}),
    "pcm_mulaw": ("audio/x-mulaw", {}),
}
MEDIAINFO_FORMAT = {
    "h264": ("AVC", None),
    "mjpeg": ("JPEG", None),
    "mpeg4": ("MPEG-4 Visual", None),
    "aac": ("AAC", None),
    # MediaInfo files G.711 under ADPCM.
    "pcm_mulaw": ("ADPCM", "U-Law"),
}
MEDIAINFO_CONTAINER = {"mp4": "Base Media", "mov": "QuickTime"}

MS = 0.0015  # readers print milliseconds; one of rounding either way


class Checks:
    def __init__(self, name):
        self.name = name
        self.failures = []
        self.notes = []

    def equal(self, what, got, expected):
        if got != expected:
            self.failures.append(f"{what}: {got!r}, expected {expected!r}")

    def near(self, what, got, expected, tolerance):
        if got is None or abs(got - expected) > tolerance:
            self.failures.append(f"{what}: {got}, expected {expected:.4f} +- {tolerance:.4f}")

    def note(self, text):
        self.notes.append(text)


def run(command):
    result = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=TIMEOUT)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} exited {result.returncode}: {result.stderr[-2000:]}")
    return result.stdout


def gst_time(text):
    hours, minutes, seconds = text.split(":")
    return int(hours) * 3600 + int(minutes) * 60 + float(seconds)


def caps_fields(caps):
    """'video/x-h264, width=(int)320, ...' -> ('video/x-h264', {'width': '320', ...})"""
    name, _, rest = caps.partition(",")
    fields = {}
    for match in re.finditer(r"([\w-]+)=\([\w]+\)([^,]*)", rest):
        fields[match.group(1)] = match.group(2).strip().strip('"')
    return name.strip(), fields


def discover(path):
    """gst-discoverer-1.0 -v: overall duration, container caps, stream caps by kind."""
    output = run(["gst-discoverer-1.0", "-v", path])
    info = {"duration": None, "container": None, "video": [], "audio": []}
    for line in output.splitlines():
        line = line.strip()
        match = re.match(r"Duration: (\d+:\d+:[\d.]+)$", line)
        if match and info["duration"] is None:
            info["duration"] = gst_time(match.group(1))
        match = re.match(r"container #\d+: (.*)$", line)
        if match and info["container"] is None:
            info["container"] = caps_fields(match.group(1))
        match = re.match(r"(video|audio) #\d+: (.*)$", line)
        if match:
            info[match.group(1)].append(caps_fields(match.group(2)))
    return info


def decode(path, pad, raw_path=None):
    """Demuxes one pad with qtdemux and decodes it with whatever decodebin picks.
    Returns the decoded buffers as (running time, duration, bytes) in seconds
    and the caps that reached the sink. Audio is converted to mono S16LE and,
    with raw_path, stored there."""
    if pad.startswith("audio"):
        tail = ["audioconvert", "!", "audio/x-raw,format=S16LE", "!", "identity", "name=probe", "silent=false", "!"]
        tail += ["filesink", f"location={raw_path}", "sync=false"] if raw_path else ["fakesink", "sync=false"]
    else:
        tail = ["identity", "name=probe", "silent=false", "!", "fakesink", "sync=false"]
    command = ["gst-launch-1.0", "-v", "filesrc", f"location={path}", "!", "qtdemux", "name=d",
               f"d.{pad}", "!", "queue", "!", "decodebin", "!"] + tail
    output = run(command)
    buffers, caps = [], None
    base = start = 0
    for line in output.splitlines():
        if "GstIdentity:probe" not in line:
            continue
        if "GstPad:sink: caps = " in line:
            caps = caps_fields(line.split("caps = ", 1)[1])
        elif "type: segment" in line:
            base = int(re.search(r"[ ,]base=\(guint64\)(\d+)", line).group(1))
            start = int(re.search(r"[ ,]start=\(guint64\)(\d+)", line).group(1))
        elif "chain   ******* (probe:sink)" in line:
            size = int(re.search(r"\((\d+) bytes", line).group(1))
            pts = re.search(r"pts: (\d+:\d+:[\d.]+)", line)
            duration = re.search(r"duration: (\d+:\d+:[\d.]+)", line)
            # Running time, as a sink would schedule the buffer.
            running = base / 1e9 + gst_time(pts.group(1)) - start / 1e9 if pts else None
            buffers.append((running, gst_time(duration.group(1)) if duration else 0.0, size))
    return buffers, caps


def onset(raw_path, buffers, rate, level=0.25):
    """Running time of the first sample above `level` of full scale."""
    with open(raw_path, "rb") as file:
        data = file.read()
    samples = struct.unpack(f"<{len(data) // 2}h", data[: len(data) // 2 * 2])
    first = next((i for i, s in enumerate(samples) if abs(s) > level * 32768), None)
    if first is None:
        return None
    offset = 0
    for running, _, size in buffers:
        if first < offset + size // 2:
            return running + (first - offset) / rate
        offset += size // 2
    return None


def mediainfo(path):
    tracks = json.loads(run(["mediainfo", "--Output=JSON", path]))["media"]["track"]
    by_type = {}
    for track in tracks:
        by_type.setdefault(track["@type"], []).append(track)
    return by_type


def number(value):
    return float(value) if value is not None else None


def check(entry, directory):
    path = os.path.join(directory, entry["file"])
    checks = Checks(entry["file"])
    video, audio, libav = entry["video"], entry.get("audio"), entry["libav"]
    tick = 1.0 / video["fps"]
    frames = video["frames"]
    # The first picture is at tick 1 (the host's start time is tick 0), so the
    # muxer opens the track with a one-tick empty edit: pictures run from one
    # tick to frames + 1 ticks.
    video_end = (frames + 1) * tick
    container = entry["file"].rsplit(".", 1)[1]

    if audio:
        frame = audio["frame"]
        # Copied and transcoded audio alike start where the host's did: the
        # transcoder's priming is cut by the file's edit list.
        lag = 0.0
        audio_end = audio["end"]

    # --- GStreamer: what the discoverer reports
    found = discover(path)
    checks.equal("gst container", found["container"][0] if found["container"] else None, "video/quicktime")
    if container == "mp4":
        checks.equal("gst container variant", found["container"][1].get("variant"), "iso")
    checks.equal("gst video streams", len(found["video"]), 1)
    checks.equal("gst audio streams", len(found["audio"]), 1 if audio else 0)
    if found["video"]:
        name, fields = found["video"][0]
        caps, extra = GST_CAPS[video["codec"]]
        checks.equal("gst video caps", name, caps)
        for key, value in extra.items():
            checks.equal(f"gst video {key}", fields.get(key), value)
        checks.equal("gst video size", (fields.get("width"), fields.get("height")),
                     (str(video["width"]), str(video["height"])))
        checks.equal("gst video frame rate", fields.get("framerate"), f"{video['fps']}/1")
    if audio and found["audio"]:
        name, fields = found["audio"][0]
        caps, extra = GST_CAPS[audio["codec"]]
        checks.equal("gst audio caps", name, caps)
        for key, value in extra.items():
            checks.equal(f"gst audio {key}", fields.get(key), value)
        checks.equal("gst audio rate", fields.get("rate"), str(audio["rate"]))
        checks.equal("gst audio channels", fields.get("channels"), str(audio["channels"]))
    expected_duration = max(video_end, audio_end) if audio else video_end
    checks.near("gst duration", found["duration"], expected_duration, frame if audio else MS)
    checks.near("gst duration against libavformat's end", found["duration"], libav["end"], MS)

    # --- GStreamer: every picture and sample, decoded
    pictures, _ = decode(path, "video_0")
    checks.equal("gst decoded pictures", len(pictures), frames)
    checks.equal("libavformat decoded pictures", libav["video_frames"], frames)
    if pictures:
        checks.near("gst first picture", pictures[0][0], tick, MS)
        checks.near("gst end of the last picture", pictures[-1][0] + pictures[-1][1], video_end, MS)
        steps = {round(b[0] - a[0], 4) for a, b in zip(pictures, pictures[1:])}
        checks.equal("gst picture spacing", steps, {round(tick, 4)})
    if audio:
        with tempfile.TemporaryDirectory() as scratch:
            raw = os.path.join(scratch, "audio.raw")
            buffers, caps = decode(path, "audio_0", raw)
            samples = sum(size for _, _, size in buffers) // 2
            if caps:
                checks.equal("gst decoded rate", caps[1].get("rate"), str(audio["rate"]))
                checks.equal("gst decoded channels", caps[1].get("channels"), str(audio["channels"]))
            if buffers:
                end = buffers[-1][0] + buffers[-1][1]
                checks.near("gst audio end", end, audio_end, frame)
                # The decoded samples cover the track: no more than a frame
                # is missing or extra wherever the track has no gaps.
                checks.near("gst audio samples", samples / audio["rate"], end - buffers[0][0], frame)
                # Where the track ends inside its last packet, GStreamer drops
                # the packet and libavformat decodes it whole: a frame short
                # and a frame long at most, so two frames apart.
                checks.near("libavformat audio samples", libav["audio_samples"] / audio["rate"], samples / audio["rate"],
                            2 * frame)
                heard = onset(raw, buffers, audio["rate"])
                # The tone begins where the host's audio did; a coded onset
                # may smear by a fraction of a frame.
                checks.near("gst tone onset", heard, audio["start"] + lag, frame / 2 if audio["codec"] == "aac" else MS)
                if heard is not None and pictures:
                    checks.note(f"audio onset {heard:.4f} s, picture for that host time at "
                                f"{audio['start'] + tick:.4f} s")

    # --- MediaInfo
    info = mediainfo(path)
    general = info.get("General", [{}])[0]
    checks.equal("mediainfo format", general.get("Format"), "MPEG-4")
    checks.equal("mediainfo profile", general.get("Format_Profile"), MEDIAINFO_CONTAINER[container])
    checks.near("mediainfo duration", number(general.get("Duration")), found["duration"] or 0, MS)
    mi_video = info.get("Video", [])
    checks.equal("mediainfo video tracks", len(mi_video), 1)
    if mi_video:
        track = mi_video[0]
        checks.equal("mediainfo video format", (track.get("Format"), None), MEDIAINFO_FORMAT[video["codec"]])
        checks.equal("mediainfo video size", (track.get("Width"), track.get("Height")),
                     (str(video["width"]), str(video["height"])))
        checks.near("mediainfo frame rate", number(track.get("FrameRate")), video["fps"], 0.001)
        # The samples themselves, without the leading empty edit ...
        checks.near("mediainfo video media duration", number(track.get("Source_Duration")), frames * tick, MS)
        # ... which MediaInfo counts as one more picture in the track's.
        checks.near("mediainfo video duration", number(track.get("Duration")), video_end, MS)
        checks.equal("mediainfo frame count", track.get("FrameCount"), str(frames + 1))
    mi_audio = info.get("Audio", [])
    checks.equal("mediainfo audio tracks", len(mi_audio), 1 if audio else 0)
    if audio and mi_audio:
        track = mi_audio[0]
        fmt, profile = MEDIAINFO_FORMAT[audio["codec"]]
        checks.equal("mediainfo audio format", track.get("Format"), fmt)
        if profile:
            checks.equal("mediainfo audio profile", track.get("Format_Profile"), profile)
        checks.equal("mediainfo channels", track.get("Channels"), str(audio["channels"]))
        checks.equal("mediainfo sampling rate", track.get("SamplingRate"), str(audio["rate"]))
        checks.near("mediainfo audio duration", number(track.get("Duration")), audio_end, frame)
    return checks


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    missing = [tool for tool in ("gst-launch-1.0", "gst-discoverer-1.0", "mediainfo") if not shutil.which(tool)]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        return SKIPPED
    writer, directory = sys.argv[1], sys.argv[2]
    wanted = set(sys.argv[3:])
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    subprocess.run([writer, directory] + sorted(wanted), check=True, timeout=TIMEOUT)
    with open(os.path.join(directory, "manifest.json")) as file:
        entries = json.load(file)
    failed = passed = 0
    for entry in entries:
        if wanted and entry["file"] not in wanted:
            continue
        try:
            checks = check(entry, directory)
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            checks = Checks(entry["file"])
            checks.failures.append(str(error))
        for note in checks.notes:
            print(f"  note {checks.name}: {note}")
        if checks.failures:
            failed += 1
            print(f"FAIL {checks.name}")
            for failure in checks.failures:
                print(f"    {failure}")
        else:
            passed += 1
            print(f"ok   {checks.name}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
