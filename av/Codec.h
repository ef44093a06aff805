#pragma once

// Send/receive wrappers around libavcodec, shared by the video processor and
// the audio chain. Each object is used by one thread at a time.

#include "av/AvHandles.h"
#include "av/OwnedPacket.h"

#include <cstdint>
#include <deque>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

using FrameSequence = std::deque<AvFramePtr>;

// What a Decoder or Encoder is built from: the codec parameters of a stream
// (not owned; an encoder writes its settings back into them), the stream
// index its packets carry and the time base they are timed in.
struct CodecDescription
{
    AVCodecParameters* codecParameters = nullptr;
    std::int32_t streamIndex = -1;
    AVRational timeBase{0, 1};
};

// True for the PCM codecs whose encoders report no frame size; those encode
// one sample per frame.
bool IsPcmFrameSizeCodec(AVCodecID codecId);

// Holds the codec an object was opened with.
struct CodecHolder
{
    const AVCodec* codec = nullptr;
};

// Common state of Decoder and Encoder: the stream index stamped on produced
// packets, the time base they are expressed in, the codec and its context.
class CodecBase
{
public:
    CodecBase(const CodecBase&) = delete;
    CodecBase& operator=(const CodecBase&) = delete;

    AVCodecContext* GetContext() const noexcept { return m_context.get(); }

protected:
    CodecBase(const CodecDescription& parameters, bool globalHeader, bool encoder);
    ~CodecBase() = default;

    // Opens the context with the codec it was made for.
    void Open();
    std::int32_t StreamIndex() const { return m_streamIndex; }
    AVRational TimeBase() const { return m_timeBase; }

private:
    std::int32_t m_streamIndex;
    AVRational m_timeBase;
    std::unique_ptr<CodecHolder> m_codec;
    AvCodecContextPtr m_context;
};

class Decoder final : public CodecBase
{
public:
    explicit Decoder(const CodecDescription& input);

    // Sends the packet (null drains) and returns every frame that comes out.
    // Frame timestamps are left as the codec gives them.
    FrameSequence Decode(const OwnedPacket* packet);
};

class Encoder final : public CodecBase
{
public:
    // Opens the encoder and writes its settings back into output.codecParameters.
    Encoder(const CodecDescription& output, bool globalHeader);

    // Sends the frame (null drains) and takes out at most one packet, stamped
    // with this encoder's stream index and time base; empty when the codec has
    // nothing ready.
    std::unique_ptr<OwnedPacket> Encode(const AVFrame* frame);
    // Sends the frame and takes out every packet that is ready. Null ends the
    // input (once per encoder) and takes out every packet that is left.
    PacketSequence EncodeAll(const AVFrame* frame);

    void FillParameters(const CodecDescription& target) const;
    void FillParameters(AVCodecParameters& target) const;

    // The first packet the encoder makes from silence: a frame of the
    // encoder's size, or of `samples` where the encoder takes any size.
    std::unique_ptr<OwnedPacket> CreateSilentPacket(int samples = 0);

private:
    // The next packet out of the encoder, or null on EAGAIN/EOF.
    std::unique_ptr<OwnedPacket> Receive();
};

// A frame of codecParameters' format, layout and rate with frame_size samples.
AvFramePtr CreateAudioFrame(const AVCodecParameters& codecParameters);
// Zeroes every sample of an audio frame.
void FillSilence(AVFrame& frame);

// Brings decoded pictures to the size and pixel format an encoder was opened
// with: BMP decodes to RGB, and a camera may change its picture size.
class PictureConverter
{
public:
    // `frame` as `encoder` takes it: itself where it fits already, else a
    // converted copy (with its properties) held until the next call.
    const AVFrame& Convert(const AVFrame& frame, const AVCodecContext& encoder);

private:
    SwsContextPtr m_context;
    AvFramePtr m_converted;
};

// Decoder plus encoder re-encoding one stream.
class Transcoder
{
public:
    Transcoder(const CodecDescription& input, const CodecDescription& output, bool globalHeader);

    // Decodes the packet and encodes each picture as the decoder returned it,
    // brought to the encoder's size and pixel format, into `packets`. False
    // when the packet does not decode; the decoder goes on with the next.
    bool TranscodePacket(const OwnedPacket& packet, PacketSequence& packets);
    // Drains the decoder through the encoder, then drains the encoder once.
    PacketSequence FlushPackets();

    Decoder& GetDecoder() const { return *m_decoder; }
    Encoder& GetEncoder() const { return *m_encoder; }
    AVRational EncoderTimeBase() const { return m_encoder->GetContext()->time_base; }

private:
    std::shared_ptr<Decoder> m_decoder;
    std::shared_ptr<Encoder> m_encoder;
    void EncodeFrames(const FrameSequence& frames, PacketSequence& packets);

    PictureConverter m_converter;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
