#pragma once

#include "av/OwnedPacket.h"

#include <cstdint>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// The audio track of the file being written, as AudioPlacement drives it:
// copied or transcoded, it only appends. Times are ticks of the host's audio
// time base (1/sample rate), the base of the packets it is given.
class AudioTrack
{
public:
    // Where the next packet starts.
    virtual std::int64_t End() const = 0;
    // Fixes where the track begins; End() is `position` until something is added.
    virtual void Start(std::int64_t position) = 0;
    // True when silence and left-out audio can be any number of samples
    // (PCM, decoded audio); false when they come in whole frames (compressed
    // audio copied), of Granularity() ticks for silence.
    virtual bool SampleAccurate() const = 0;
    virtual std::int64_t Granularity() const = 0;
    // Appends `ticks` of silence (a multiple of the granularity).
    virtual void Fill(std::int64_t ticks, PacketSequence& out) = 0;
    // The track's last silence: exactly `ticks` more; a whole last frame is
    // declared only as long as what is left of it, which players play.
    virtual void FillToEnd(std::int64_t ticks, PacketSequence& out) = 0;
    // Moves the end on by `ticks`, leaving a gap; as far as one sample of the
    // file can last (kLongestSample). Returns the ticks moved.
    virtual std::int64_t Skip(std::int64_t ticks) = 0;
    // Appends the packet (pts and duration in ticks) at End() without its
    // first `trim` ticks (0 unless the track is sample-accurate; less than
    // its duration). False when the packet cannot be used (it does not
    // decode, or its header does not parse): nothing was appended.
    virtual bool Append(std::unique_ptr<OwnedPacket> packet, std::int64_t trim, PacketSequence& out) = 0;
    // Stretches (positive) or squeezes the audio still to come by about
    // `ticks` over the next seconds, where the track can (transcoded audio).
    virtual void Stretch(std::int64_t ticks) = 0;
    // At the end of the file: what the track still holds.
    virtual void Flush(PacketSequence& out) = 0;

protected:
    ~AudioTrack() = default; // owned as what it is
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
