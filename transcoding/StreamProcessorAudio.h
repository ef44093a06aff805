#pragma once

#include "container/OwnedPacket.h"
#include "streams/Stream.h"
#include "transcoding/AudioTranscoder.h"
#include "transcoding/BitstreamFilter.h"
#include "transcoding/Codec.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

class FormatContextOutput;

// The last silent packet made and the settings its encoder wrote back. The
// next file of a split export has the same audio format, and opening an
// encoder for it costs more than the rest of a new file.
struct SilenceCache
{
    AvCodecParametersPtr request;  // the output parameters the encoder was opened from
    AvCodecParametersPtr settings; // what it wrote back into them
    bool globalHeader = false;
    std::int32_t streamIndex = -1;
    std::unique_ptr<OwnedPacket> packet;
};

// Turns the host's audio packets into packets of the output stream: times them
// against the video start, strips ADTS headers, then copies the compressed
// data or runs it through an AudioTranscoder. Built on the host's thread, then
// used by one worker at a time.
class StreamProcessorAudio
{
public:
    StreamProcessorAudio(std::int32_t timestampOffset, std::int32_t timeScale, std::unique_ptr<StreamAudio> inputStream,
                         std::uint64_t videoStartTime, bool hasAdtsHeaders,
                         std::unique_ptr<StreamParametersAudio> parameters);

    // Sets up "aac_adtstoasc" for the input stream, replacing any earlier filter.
    void InitBitstreamFilter();
    // Creates the output stream and, when the data cannot be copied, the
    // transcoding chain.
    void Build(FormatContextOutput& output);
    // One packet of encoded silence in the output codec (20 ms for PCM), from
    // an encoder opened for it, whose settings then replace the output codec
    // parameters; only a transcoded stream keeps declaring an encoder delay.
    // Taken from `cache` when it holds the same format, and left there.
    std::unique_ptr<OwnedPacket> CreateSilentPacket(bool globalHeader, SilenceCache& cache);
    std::shared_ptr<Encoder> CreateEncoder(bool globalHeader);
    // The span video covers, in `timeBase`: from the first picture after its
    // clock last jumped (0 if it never did) to the latest picture processed.
    // Transcoded audio fills only holes that start in it and end not far
    // beyond it (EndsBeyondVideo).
    void SetVideoExtent(std::int64_t coveredFrom, std::int64_t pts, AVRational timeBase);

    // All packets for the batch, in order; the batch is released.
    PacketSequence Process(MediaPacketList packets);
    PacketSequence ProcessPacket(std::unique_ptr<MediaPacket> packet);
    PacketSequence ForwardPacket(std::unique_ptr<OwnedPacket> packet);

    std::int32_t m_timestampOffset;  // ticks of the audio time base
    std::int32_t m_timeScale;        // ticks per second = sample rate
    std::unique_ptr<StreamAudio> m_inputStream;
    std::unique_ptr<StreamAudio> m_outputStream;
    std::int64_t m_lastPts = 0;
    std::uint64_t m_videoStartTime;  // host clock origin of the audio timestamps
    std::unique_ptr<AudioTranscoder> m_transcoder;
    bool m_hasAdtsHeaders;
    std::unique_ptr<BitstreamFilter> m_bitstreamFilter;
    std::unique_ptr<StreamParametersAudio> m_parameters;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
