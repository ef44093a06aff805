#pragma once

// The audio transcoding chain: decode, convert (libswresample), regroup into
// frames of the encoder's size (an audio FIFO), encode. Each frame is timed by
// the count of output samples before it, and packets keep the times the
// encoder gives them, so its start-up delay shows as a first timestamp before
// the first sample (the muxer turns it into the priming edit). Where the
// audio goes on the host's clock is AudioPlacement's to say: it fills silence,
// leaves gaps, trims and stretches through the AudioTrack interface. Built on
// the host's thread, then used by one worker at a time.

#include "av/AvHandles.h"
#include "av/OwnedPacket.h"
#include "sync/AudioTrack.h"
#include "av/Codec.h"

#include <cstdint>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

class Resampler;
class AudioFifo;

class AudioTranscoder final : public AudioTrack
{
public:
    // `output` describes the output stream (its codec parameters are rewritten
    // with the opened encoder's settings); its time base is 1/output rate.
    AudioTranscoder(const CodecDescription& input, std::shared_ptr<CodecDescription> output, bool needsResampling,
                    bool globalHeader);
    ~AudioTranscoder();

    // AudioTrack, in ticks of the input time base (input samples).
    std::int64_t End() const override;
    void Start(std::int64_t position) override;
    bool SampleAccurate() const override { return true; }
    std::int64_t Granularity() const override { return 1; }
    void Fill(std::int64_t ticks, PacketSequence& out) override;
    // The chain ends where its samples do (see Flush): silence as any other.
    void FillToEnd(std::int64_t ticks, PacketSequence& out) override { Fill(ticks, out); }
    std::int64_t Skip(std::int64_t ticks) override;
    // False, with nothing encoded, for a packet that is empty or does not
    // decode into audio of the declared shape.
    bool Append(std::unique_ptr<OwnedPacket> packet, std::int64_t trim, PacketSequence& out) override;
    // Soft correction: libswresample's compensation spreads `ticks` over the
    // next seconds, at most kMaxStretch of the rate.
    void Stretch(std::int64_t ticks) override;
    // Drains the decoder, encodes what is left in the FIFO as a last, short
    // frame and drains the encoder; the last packet is declared to end where
    // the samples do, not where the encoder's padding does. Once per file;
    // later calls add nothing.
    void Flush(PacketSequence& out) override;

private:
    // Copies of one steady silent packet standing for `frames` encoder frames
    // of silence that were never encoded; they follow the packets the encoder
    // still holds (`after`), timed from `pts` as the frames would have been.
    struct SilenceRun
    {
        std::unique_ptr<OwnedPacket> packet;
        std::int64_t frames = 0;
        std::int64_t pts = 0;
        std::int64_t after = 0;
    };

    // Input ticks and output samples.
    std::int64_t ToOutput(std::int64_t ticks) const;
    std::int64_t ToInput(std::int64_t samples) const;
    void EncodeFrame(const AVFrame& frame, int skip, PacketSequence& packets);
    void Send(const AVFrame* frame, PacketSequence& packets);
    void EmitSilenceRun(PacketSequence& packets);
    // Writes the frame's samples from `skip` on into the FIFO, through the
    // resampler when there is one.
    void ConvertToFifo(const AVFrame& frame, int skip);
    // A silent frame of `samples` samples in the format the chain takes in.
    AvFramePtr CreateSilentFrame(int samples) const;
    // Whether a decoded frame has the shape the chain was set up for.
    bool HasInputShape(const AVFrame& frame) const;

    Transcoder m_transcoder;
    std::shared_ptr<CodecDescription> m_output;
    std::unique_ptr<AudioFifo> m_fifo;
    std::unique_ptr<Resampler> m_resampler;
    // What the decoder delivers, which the chain (and a resampler made later
    // for stretching) takes in.
    AVSampleFormat m_inputFormat;
    AVChannelLayout m_inputLayout{};
    int m_inputRate;
    // Output time base: where the track starts (gaps included), the samples
    // written into the FIFO and those taken out into frames.
    std::int64_t m_origin = 0;
    std::int64_t m_fifoIn = 0;
    std::int64_t m_fifoOut = 0;
    SilenceRun m_silenceRun;
    std::int64_t m_framesSent = 0;
    std::int64_t m_packetsReceived = 0;
    bool m_flushed = false;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
