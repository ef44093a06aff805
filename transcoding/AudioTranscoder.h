#pragma once

// The audio transcoding chain: decode, convert (libswresample), regroup into
// frames of the encoder's size (an audio FIFO), encode. Each frame is timed by
// the count of samples that went in before it, and packets keep the times the
// encoder gives them, so its start-up delay shows as a first timestamp before
// the first sample (the muxer turns it into the priming edit). Holes in the
// input are filled with silence up to the video's extent; beyond it a hole is
// a clock jump and becomes a gap in the output timeline instead. Built on the
// host's thread, then used by one worker at a time.

#include "container/AvHandles.h"
#include "container/OwnedPacket.h"
#include "streams/Stream.h"
#include "transcoding/Codec.h"

#include <cstdint>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Converts decoded frames into the encoder's sample format, rate and layout.
class Resampler
{
public:
    // `inputFormat` and `inputLayout` describe the frames the decoder delivers.
    Resampler(AVSampleFormat inputFormat, const AVChannelLayout& inputLayout, std::int32_t inputSampleRate,
              std::shared_ptr<StreamParameters> outputParameters);

    std::int32_t m_inputSampleRate;
    std::shared_ptr<StreamParameters> m_outputParameters;
    SwrContextPtr m_swrContext;
    AVSampleFormat m_inputFormat;
    int m_inputChannels;
};

// Samples waiting to make up a whole encoder frame.
class AudioFifo
{
public:
    explicit AudioFifo(std::shared_ptr<StreamParameters> outputParameters);

    // Appends `count` samples from the planes at `data`, growing the FIFO to
    // exactly what it must hold; true when a whole frame is now waiting.
    bool Write(std::uint8_t* const* data, int count);
    // Moves `count` samples into the frame's planes.
    void Read(AVFrame& frame, int count);
    int Size() const;
    bool HasFrame() const { return Size() >= m_frameSize; }

    std::int32_t m_frameSize;
    std::shared_ptr<StreamParameters> m_outputParameters;
    AvAudioFifoPtr m_fifo;
};

// Converted samples in the encoder's format, one plane pointer per channel.
class SampleBuffer
{
public:
    // Room for `count` samples of the encoder's format and channels.
    SampleBuffer(const AVCodecContext& encoder, int count);
    ~SampleBuffer();
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;

    std::unique_ptr<std::uint8_t*[]> m_data;
    std::int32_t m_count = 0;
};

class AudioTranscoder
{
public:
    // `output` describes the output stream (its codec parameters are rewritten
    // with the opened encoder's settings); its time base is 1/output rate.
    AudioTranscoder(const StreamParameters& input, std::shared_ptr<StreamParameters> output, bool needsResampling,
                    bool globalHeader);

    // The encoded packets for one input packet whose pts counts input samples,
    // timed in the encoder's time base; possibly none.
    PacketSequence Transcode(const OwnedPacket* packet);
    // Drains the decoder, encodes what is left in the FIFO as a last, short
    // frame and drains the encoder. Once per file; later calls return nothing.
    PacketSequence Flush();

    Transcoder m_transcoder;
    std::unique_ptr<AudioFifo> m_fifo;
    std::shared_ptr<Resampler> m_resampler;
    std::int64_t m_startPts = 0;   // decoder time base; 0 until the first packet
    std::int64_t m_framePts = 0;   // encoder time base
    std::int64_t m_position = 0;   // decoder time base
    std::int64_t m_samplesIn = 0;  // decoded and inserted samples
    bool m_roundDown = true;
    // The latest video time processed (decoder time base): holes ending
    // beyond it (EndsBeyondVideo) are not filled. Unbounded until set.
    std::int64_t m_videoExtent = INT64_MAX;
    // Holes starting before it span a video clock jump and are not filled.
    std::int64_t m_videoCoveredFrom = 0;

private:
    // Copies of one steady silent packet standing for `frames` encoder frames
    // of silence that were never encoded; they follow the packets the encoder
    // still holds (`after`), timed from `position` as the frames would have been.
    struct SilenceRun
    {
        std::unique_ptr<OwnedPacket> packet;
        std::int64_t frames = 0;
        std::int64_t position = 0;
        bool roundDown = true;
        std::int64_t after = 0;
    };

    void FillHole(std::int64_t hole, PacketSequence& packets);
    void EncodeFrame(const AVFrame& frame, PacketSequence& packets);
    void Send(const AVFrame* frame, PacketSequence& packets);
    void EmitSilenceRun(PacketSequence& packets);
    bool ConvertToFifo(const AVFrame& frame);
    // The encoder-time-base pts of a frame of `samples` starting at
    // `position` (decoder time base); moves `position` past the frame.
    std::int64_t NextFramePts(int samples, std::int64_t& position, bool& roundDown) const;
    void NextFramePts(int samples);
    // A silent frame of `samples` samples in the format the chain takes in.
    AvFramePtr CreateSilentFrame(int samples) const;

    SilenceRun m_silenceRun;
    std::int64_t m_framesSent = 0;
    std::int64_t m_packetsReceived = 0;
    bool m_flushed = false;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
