#pragma once

// Recordings as live hosts hand them over: pictures that flash, and sound
// that beeps, in the first fifth of every second of the host's clock; with
// what real recordings bring: outages, lost packets, a sound device whose
// clock drifts against the host's, timestamps stamped on arrival, a source
// that goes silent.

#include "support/TestMedia.h"

#include <filesystem>

namespace TestMedia
{

struct Recording
{
    double seconds = 10;
    double drift = 0;            // of the sound device's clock: 1e-3 runs 1000 ppm fast
    double jitter = 0;           // seconds audio timestamps may be off, either way
    int loseEvery = 0;           // every n-th audio packet is lost
    double outageFrom = 0;       // neither stream delivers from here ...
    double outageTo = 0;         // ... to here, and then each only this much later:
    double audioBack = 0, videoBack = 0;
    double silentFrom = 0;       // the audio lists are empty from here ...
    double silentTo = 0;         // ... to here
};

// A second of pictures at 25 a second (MJPEG, 64x48), white in its first fifth.
const EncodedStream& FlashingSecond();

// The sound a device records for `recording`: a 1 kHz beep in the first fifth
// of every second of the host's clock, as its drifting clock samples it.
EncodedStream RecordedSound(const char* encoder, int sampleRate, const Recording& recording, bool adts,
                            int channels = 1);

// Hands seconds [from, to) of `recording` over to an open audio/video facade,
// as a live host does: for every second of its clock, the pictures and the
// sound packets that arrived in it, in one add call.
void Play(Mpeg::IFfMpegFacade& facade, const Recording& recording, const EncodedStream& sound, int from = 0,
          int to = -1);

// The same pictures and sound written by a plain libavformat loop, every
// packet at its own time, as `ffmpeg -c copy` would: the control. False
// where the container does not take the sound's codec.
bool WritePlain(const std::filesystem::path& path, const Recording& recording, const EncodedStream& sound);

} // namespace TestMedia
