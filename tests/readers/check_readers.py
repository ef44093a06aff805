#!/usr/bin/env python3
"""check_readers.py MPEGEXPORT DIR GROUP: makes the group's sources with the
ffmpeg command line, exports each with the tool, and reads the exports with
readers that share no code with libavformat's MP4 demuxer: GStreamer
(qtdemux, decoders chosen by decodebin) and MediaInfo. Each file is held to
its source; ffprobe tells a fault of ours from a reader's quirk. Exits 77
(skipped) when a reader is not installed."""

import json, math, os, re, shutil, struct, subprocess, sys

FPS, SECONDS = 25, 3
TICK = 1 / FPS
MS = 0.0015  # readers print milliseconds; one of rounding either way
H264 = ["-c:v", "libx264", "-bf", "0", "-g", "25"]
# Export, the source's video encoder and size, its audio (encoder, rate,
# start in seconds) or none, then the codecs the file holds.
GROUPS = {
    "video": [("h264_copy.mp4", H264, "320x240", None, "h264", None),
              ("mjpeg_copy.mov", ["-c:v", "mjpeg"], "320x240", None, "mjpeg", None),
              ("mjpeg_copy.mp4", ["-c:v", "mjpeg"], "320x240", None, "mjpeg", None),
              ("h263_transcode.mp4", ["-c:v", "h263"], "352x288", None, "mpeg4", None)],
    "audio_copy": [("mulaw_copy.mov", H264, "320x240", ("pcm_mulaw", 8000, 0), "h264", "pcm_mulaw"),
                   ("mulaw_copy_late.mov", H264, "320x240", ("pcm_mulaw", 8000, 1), "h264", "pcm_mulaw"),
                   ("adts_copy.mp4", H264, "320x240", ("aac", 16000, 0), "h264", "aac"),
                   ("adts_copy_late.mp4", H264, "320x240", ("aac", 16000, 1), "h264", "aac")],
    "audio_transcode": [("mulaw_aac.mp4", H264, "320x240", ("pcm_mulaw", 8000, 0), "h264", "aac"),
                        ("mulaw_aac_late.mp4", H264, "320x240", ("pcm_mulaw", 8000, 1), "h264", "aac")],
    # Split every 2 s at key pictures: split.mp4 and split-001.mp4.
    "split": [("split.mp4", H264, "320x240", ("aac", 16000, 0), "h264", "aac")],
}
# Each codec as GStreamer's caps and MediaInfo's format name (G.711 under ADPCM).
CODECS = {"h264": ("video/x-h264", "AVC"), "mjpeg": ("image/jpeg", "JPEG"), "mpeg4": ("video/mpeg", "MPEG-4 Visual"),
          "aac": ("audio/mpeg", "AAC"), "pcm_mulaw": ("audio/x-mulaw", "ADPCM")}
MEDIAINFO_PROFILE = {"mp4": "Base Media", "mov": "QuickTime"}


def run(command, **options):
    result = subprocess.run(command, capture_output=True, timeout=120, **options)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} exited {result.returncode}: {result.stderr[-2000:]!r}")
    return result.stdout


def gst_time(text):  # H:MM:SS.nnnnnnnnn
    return sum(float(part) * 60 ** i for i, part in enumerate(reversed(text.split(":"))))


def caps(text):
    """'video/x-h264, width=(int)320, ...' -> ('video/x-h264', {'width': '320', ...})"""
    name, _, rest = text.partition(",")
    return name.strip(), {k: v.strip().strip('"') for k, v in re.findall(r"([\w-]+)=\(\w+\)([^,]*)", rest)}


def decode(path, pad):
    """qtdemux's pad decoded by decodebin: each buffer as (running time,
    duration, bytes), the sink's caps, and for audio the mono S16LE samples."""
    tail = ["audioconvert", "!", "audio/x-raw,format=S16LE,channels=1", "!"] if pad.startswith("audio") else []
    output = run(["gst-launch-1.0", "-v", "filesrc", f"location={path}", "!", "qtdemux", "name=d", f"d.{pad}", "!",
                  "queue", "!", "decodebin", "!"] + tail + ["identity", "name=probe", "silent=false", "!", "filesink",
                  f"location={path}.raw", "sync=false"], text=True, errors="replace")
    buffers, sink, base, start = [], None, 0, 0
    for line in (line for line in output.splitlines() if "GstIdentity:probe" in line):
        if "GstPad:sink: caps = " in line:
            sink = caps(line.split("caps = ", 1)[1])
        elif "type: segment" in line:
            base = int(re.search(r"[ ,]base=\(guint64\)(\d+)", line).group(1))
            start = int(re.search(r"[ ,]start=\(guint64\)(\d+)", line).group(1))
        elif "chain   ******* (probe:sink)" in line:
            pts, duration = re.search(r"pts: ([\d:.]+)", line), re.search(r"duration: ([\d:.]+)", line)
            buffers.append(((base - start) / 1e9 + gst_time(pts.group(1)) if pts else None,
                            gst_time(duration.group(1)) if duration else 0.0,
                            int(re.search(r"\((\d+) bytes", line).group(1))))
    with open(f"{path}.raw", "rb") as file:
        raw = file.read()
    return buffers, sink, struct.unpack(f"<{len(raw) // 2}h", raw[: len(raw) // 2 * 2])


def check(path, frames, codec, size, audio):
    """Failures of one export; audio: (codec, rate, start, end, frame, onset
    tolerance) or None."""
    failures = []

    def equal(what, got, expected):
        if got != expected:
            failures.append(f"{what}: {got!r}, expected {expected!r}")

    def near(what, got, expected, tolerance):
        if got is None or abs(got - expected) > tolerance:
            failures.append(f"{what}: {got}, expected {expected:.4f} +- {tolerance:.4f}")

    # The first picture is at the start time: pictures run from 0 to frames ticks.
    video_end = frames * TICK
    audio_end, frame = (audio[3], audio[4]) if audio else (0, MS)
    width, height = size.split("x")
    streams = json.loads(run(["ffprobe", "-v", "error", "-of", "json", "-count_frames", "-show_entries",
                              "stream=start_time,duration,nb_read_frames", path]))["streams"]
    libav_end = max(float(s["start_time"]) + float(s["duration"]) for s in streams)
    equal("libavformat decoded pictures", int(streams[0]["nb_read_frames"]), frames)

    # GStreamer: what the discoverer reports, then every picture and sample.
    found = run(["gst-discoverer-1.0", "-v", path], text=True, errors="replace")
    duration = gst_time(duration.group(1)) if (duration := re.search(r"Duration: ([\d:.]+)", found)) else None
    container = re.search(r"container #\d+: (.*)", found)
    equal("gst container", caps(container.group(1))[0] if container else None, "video/quicktime")
    listed = {kind: [caps(c) for c in re.findall(rf"{kind} #\d+: (.*)", found)] for kind in ("video", "audio")}
    equal("gst streams", (len(listed["video"]), len(listed["audio"])), (1, 1 if audio else 0))
    if listed["video"]:
        name, fields = listed["video"][0]
        equal("gst video", (name, fields.get("width"), fields.get("height"), fields.get("framerate")),
              (CODECS[codec][0], width, height, f"{FPS}/1"))
    if audio and listed["audio"]:
        name, fields = listed["audio"][0]
        equal("gst audio", (name, fields.get("rate"), fields.get("channels")),
              (CODECS[audio[0]][0], str(audio[1]), "1"))
    near("gst duration", duration, max(video_end, audio_end), frame)
    near("gst duration against libavformat's end", duration, libav_end, MS)
    pictures, _, _ = decode(path, "video_0")
    equal("gst decoded pictures", len(pictures), frames)
    if pictures:
        near("gst first picture", pictures[0][0], 0, MS)
        near("gst end of the last picture", pictures[-1][0] + pictures[-1][1], video_end, MS)
        equal("gst picture spacing", {round(b[0] - a[0], 4) for a, b in zip(pictures, pictures[1:])}, {round(TICK, 4)})
    if audio:
        buffers, sink, samples = decode(path, "audio_0")
        equal("gst decoded rate", sink and sink[1].get("rate"), str(audio[1]))
        if buffers:
            end = buffers[-1][0] + buffers[-1][1]
            near("gst audio end", end, audio_end, frame)
            # The samples cover the track; GStreamer drops a last packet the
            # track ends inside, so up to a frame and a half is missing.
            near("gst audio samples", len(samples) / audio[1], end - buffers[0][0], 1.5 * frame)
            # The tone begins where the source's audio did, at the running
            # time of the buffer its first loud sample is in.
            first = next((i for i, s in enumerate(samples) if abs(s) > 0.06 * 32768), None)
            at, heard = 0, None
            for running, _, size_ in buffers:
                if first is not None and heard is None and first < at + size_ // 2:
                    heard = running + (first - at) / audio[1]
                at += size_ // 2
            near("gst tone onset", heard, audio[2], audio[5])

    # MediaInfo
    tracks = {}
    for track in json.loads(run(["mediainfo", "--Output=JSON", path]))["media"]["track"]:
        tracks.setdefault(track["@type"], []).append(track)
    general = tracks.get("General", [{}])[0]
    equal("mediainfo container", (general.get("Format"), general.get("Format_Profile")),
          ("MPEG-4", MEDIAINFO_PROFILE[path.rsplit(".", 1)[1]]))
    near("mediainfo duration", float(general.get("Duration", 0)), duration or 0, MS)
    equal("mediainfo tracks", (len(tracks.get("Video", [])), len(tracks.get("Audio", []))), (1, 1 if audio else 0))
    for track in tracks.get("Video", [])[:1]:
        equal("mediainfo video", (track.get("Format"), track.get("Width"), track.get("Height")),
              (CODECS[codec][1], width, height))
        near("mediainfo frame rate", float(track.get("FrameRate", 0)), FPS, 0.001)
        near("mediainfo video duration", float(track.get("Duration", 0)), video_end, MS)
        equal("mediainfo frame count", track.get("FrameCount"), str(frames))
    for track in tracks.get("Audio", [])[:1] if audio else []:
        equal("mediainfo audio", (track.get("Format"), track.get("Channels"), track.get("SamplingRate")),
              (CODECS[audio[0]][1], "1", str(audio[1])))
        near("mediainfo audio duration", float(track.get("Duration", 0)), audio_end, frame)
    return failures


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in GROUPS:
        print(__doc__)
        return 2
    missing = [tool for tool in ("gst-launch-1.0", "gst-discoverer-1.0", "mediainfo", "ffmpeg") if not shutil.which(tool)]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        return 77
    tool, directory, group = sys.argv[1:]
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    failed = 0
    for export, encoder, size, audio, codec, audio_codec in GROUPS[group]:
        source = os.path.join(directory, export.replace(".", "_") + ".mkv")
        inputs = ["-f", "lavfi", "-i", f"testsrc=size={size}:rate={FPS}:duration={SECONDS}"]
        if audio:
            inputs += ["-itsoffset", str(audio[2]), "-f", "lavfi", "-i", f"sine=f=440:r={audio[1]}:d={SECONDS}",
                       "-c:a", audio[0]]
        run(["ffmpeg", "-nostdin", "-v", "error"] + inputs + encoder + [source])
        options = ["--split-every", "2"] if group == "split" else [] if audio else ["--no-audio"]
        run([tool, "--quiet"] + options + [source, os.path.join(directory, export)])
        split_files = [("split.mp4", 2 * FPS, 0), ("split-001.mp4", FPS, 2)]
        for name, frames, split in split_files if group == "split" else [(export, SECONDS * FPS, 0)]:
            expected = None
            if audio:
                # Audio runs from the source's start to its end; a split moves
                # the packet it falls in to the first file.
                frame = 1024 / audio[1] if audio_codec == "aac" else 0.02
                boundary = math.ceil(round(2 / frame, 6)) * frame
                start, end = audio[2], audio[2] + SECONDS
                if group == "split":
                    start, end = (0, boundary) if not split else (boundary - split, SECONDS - split)
                # A coded onset may smear by half a frame; the second file of
                # a split starts inside the tone, where the decoder has no
                # frame before its first, by up to a frame.
                smear = frame / (1 if split else 2) if audio[0] == "aac" else MS
                expected = (audio_codec, audio[1], start, end, frame, smear)
            failures = check(os.path.join(directory, name), frames, codec, size, expected)
            failed += bool(failures)
            print(("FAIL " if failures else "ok   ") + name + "".join("\n    " + f for f in failures))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
