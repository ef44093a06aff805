#pragma once

#include "av/OwnedPacket.h"
#include "streams/Stream.h"
#include "sync/AudioTrack.h"

#include <cstdint>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// An audio track whose packets are copied into the file. Each packet starts
// where the one before it ends, whatever the host's timestamp says (that is
// AudioPlacement's to reconcile). Compressed frames (AAC, MP2) are whole: the
// track gains silence and loses audio a frame at a time. PCM is cut and
// filled to the sample.
class CopiedAudio final : public AudioTrack
{
public:
    // `input` and `output`: the streams packets are timed in and written to;
    // `silence`: a packet of encoded silence in the output codec, lasting its
    // duration (for PCM, any whole number of its samples may be used).
    CopiedAudio(const Stream& input, const Stream& output, std::unique_ptr<OwnedPacket> silence);

    std::int64_t End() const override { return m_end; }
    void Start(std::int64_t position) override { m_end = position; }
    bool SampleAccurate() const override { return m_bytesPerSample > 0; }
    std::int64_t Granularity() const override { return m_bytesPerSample > 0 ? 1 : m_silenceTicks; }
    void Fill(std::int64_t ticks, PacketSequence& out) override;
    void FillToEnd(std::int64_t ticks, PacketSequence& out) override;
    std::int64_t Skip(std::int64_t ticks) override;
    // False for an empty packet: one whose bytes could not be used.
    bool Append(std::unique_ptr<OwnedPacket> packet, std::int64_t trim, PacketSequence& out) override;
    void Stretch(std::int64_t) override {}
    void Flush(PacketSequence&) override {}

private:
    // Sends `packet` lasting `ticks` at the end, in the output stream's time base.
    void Emit(std::unique_ptr<OwnedPacket> packet, std::int64_t ticks, PacketSequence& out);

    const Stream& m_input;
    const Stream& m_output;
    std::unique_ptr<OwnedPacket> m_silence;
    std::int64_t m_silenceTicks;
    int m_bytesPerSample; // PCM: all channels of one sample; 0 for frames
    std::int64_t m_end = 0;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
