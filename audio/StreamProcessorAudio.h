#pragma once

#include "av/OwnedPacket.h"
#include "streams/Stream.h"
#include "sync/AudioTrack.h"
#include "audio/AudioTranscoder.h"
#include "audio/BitstreamFilter.h"
#include "audio/CopiedAudio.h"
#include "av/Codec.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

class FormatContextOutput;

// The last silent packet made. The next file of a split export has the same
// audio format, and opening an encoder for it costs more than the rest of a
// new file.
struct SilenceCache
{
    AvCodecParametersPtr request; // the output parameters the encoder was opened from
    bool globalHeader = false;
    std::int32_t streamIndex = -1;
    std::unique_ptr<OwnedPacket> packet;
    std::vector<std::uint8_t> extradata; // the encoder's codec configuration
};

// Turns the host's audio packets into timed packets of the input stream
// (ADTS headers stripped) and owns the output track they go into: copied, or
// run through an AudioTranscoder. Built on the host's thread, then used by
// one worker at a time.
class StreamProcessorAudio
{
public:
    StreamProcessorAudio(std::int32_t timestampOffset, std::int32_t timeScale, std::unique_ptr<StreamAudio> inputStream,
                         std::uint64_t videoStartTime, bool hasAdtsHeaders,
                         std::unique_ptr<StreamParametersAudio> parameters);

    // Sets up "aac_adtstoasc" for the input stream, replacing any earlier filter.
    void InitBitstreamFilter();
    // Creates the output stream and its track: the transcoding chain, or,
    // where the data is copied, the copy with its packet of encoded silence
    // (taken from `cache` when it holds the same format, and left there).
    void Build(FormatContextOutput& output, SilenceCache& cache);

    // The batch's packets timed on the host's clock in ticks of the input
    // time base (samples), with their lengths, in order; the batch is
    // released. Packets whose bytes cannot be used are left out and counted.
    PacketSequence Time(MediaPacketList packets);
    AudioTrack& Track();
    AVRational TimeBase() const { return m_inputStream->GetAvStream()->time_base; }
    std::int64_t Skipped() const { return m_skipped; }
    const StreamParametersAudio& Parameters() const { return *m_parameters; }

private:
    std::int32_t m_timestampOffset;  // ticks of the audio time base
    std::int32_t m_timeScale;        // ticks per second = sample rate
    std::unique_ptr<StreamAudio> m_inputStream;
    std::unique_ptr<StreamAudio> m_outputStream;
    std::uint64_t m_videoStartTime;  // host clock origin of the audio timestamps
    std::unique_ptr<AudioTranscoder> m_transcoder;
    bool m_hasAdtsHeaders;
    std::unique_ptr<BitstreamFilter> m_bitstreamFilter;
    std::unique_ptr<StreamParametersAudio> m_parameters;

    void TimePacket(std::unique_ptr<MediaPacket> packet, PacketSequence& timed);
    // One packet of encoded silence in the output codec (a second for PCM).
    std::unique_ptr<OwnedPacket> CreateSilentPacket(bool globalHeader, SilenceCache& cache);
    // The samples the packet carries, or 0 when its bytes cannot be used;
    // cuts PCM to whole samples.
    std::int64_t Duration(AVPacket& packet) const;

    std::unique_ptr<CopiedAudio> m_copied;
    std::int64_t m_skipped = 0;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
