#pragma once

#include <mpegexporter/StreamParameters.h>

#include <cstddef>
#include <cstdint>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

class FormatContextInput;
class FormatContextOutput;

// One FFmpeg stream of either format context. The stream belongs to its
// context and is freed with it.
class Stream
{
public:
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    virtual ~Stream() = 0;
    virtual bool NeedsResampling() const { return false; }
    virtual bool HasAdtsHeaders() const { return false; }

    AVStream* GetAvStream() const noexcept { return m_stream; }
    AVCodecParameters* GetCodecParameters() const noexcept { return m_stream->codecpar; }

    static int Map2Av(MediaType mediaType);

protected:
    // Input side: a stream of the input context described by the host's record.
    Stream(std::int32_t index, FormatContextInput& context, StreamParametersBase& parameters);
    // Output side: a stream of the output context for the given input stream,
    // carrying the same codec (parameters copied) or the container's choice.
    Stream(FormatContextOutput& context, const Stream& input);

private:
    AVStream* m_stream = nullptr;
};

class StreamVideo final : public Stream
{
public:
    StreamVideo(std::int32_t index, FormatContextInput& context, StreamParametersVideo& parameters);
    StreamVideo(FormatContextOutput& context, const Stream& input);
    ~StreamVideo() override;

    static AVCodecID Map2Av(CodecIdVideo codecId);
};

class StreamAudio final : public Stream
{
public:
    // The sample rates (timeScale) an audio stream may declare. Far outside
    // the real rates the resampler's work grows with the conversion ratio: a
    // filter of gigabytes far above them, and tens of thousands of samples out
    // per sample in far below.
    static constexpr std::int32_t kMinSampleRate = 1000;
    static constexpr std::int32_t kMaxSampleRate = 384000;

    // probeEncoder: allocate (and free) a context for the codec's encoder, so
    // that the record fails here as a later encoder set-up would. A probe of
    // the AAC encoder clears half a megabyte.
    StreamAudio(std::int32_t index, FormatContextInput& context, StreamParametersAudio& parameters,
                bool probeEncoder);
    StreamAudio(FormatContextOutput& context, const StreamAudio& input);
    ~StreamAudio() override;

    bool NeedsResampling() const override { return m_needsResampling; }
    bool HasAdtsHeaders() const override { return m_hasAdtsHeaders; }

    static AVCodecID Map2Av(CodecIdAudio codecId);
    static std::uint64_t Map2Av(ChannelLayout channelLayout);
    // The sample format an encoder works in: the first it lists (formats, as
    // SupportedSampleFormats gives them), else the codec's own.
    static AVSampleFormat GetSampleFormat(const AVCodec* encoder);
    static AVSampleFormat GetSampleFormat(AVCodecID codecId, const AVSampleFormat* formats);

private:
    bool m_hasAdtsHeaders = false;
    bool m_needsResampling = false;
};

// Replaces the extradata of `target` with a copy of `size` bytes at `data`
// (exactly that size, nothing appended; none for 0).
void SetExtradata(AVCodecParameters& target, const std::uint8_t* data, std::size_t size);
// The same with `source`'s extradata; nothing is copied when it has none.
void CopyExtradata(AVCodecParameters& target, const AVCodecParameters& source);

} // namespace Halvaro::Oru::Shared::Export::Mpeg
