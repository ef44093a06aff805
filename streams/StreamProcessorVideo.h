#pragma once

#include "container/OwnedPacket.h"
#include "streams/KeyPictures.h"
#include "streams/PacketTiming.h"
#include "streams/Stream.h"
#include "transcoding/Codec.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

class FormatContextOutput;

// Turns the host's video packets into timed packets of the output stream,
// copying them when the container accepts the codec and transcoding them
// into the container's preferred codec otherwise. Built on the host's thread,
// then used by one worker at a time.
class StreamProcessorVideo
{
public:
    StreamProcessorVideo(std::int32_t index, FormatContextInput& input, std::unique_ptr<StreamParametersVideo> parameters);

    // Creates the output stream and, when needed, the transcoder.
    void Build(FormatContextOutput& output);

    // All packets for the batch, in order; the batch is released.
    PacketSequence Process(MediaPacketList packets);
    // A copied picture keeps the host's payload (OwnedPacket::Adopt).
    PacketSequence ProcessPacket(std::unique_ptr<MediaPacket> packet);
    // What the transcoder still holds at the end of the file.
    PacketSequence Flush();
    // The first picture after the latest clock jump (IsVideoClockJump), in
    // the output time base; 0 while the clock has not jumped.
    std::int64_t CoveredFrom() const;

    std::uint64_t m_startTime;       // host clock, 100-ns units
    std::int32_t m_timestampOffset;  // ticks
    std::int32_t m_timeScale;        // ticks per second
    std::unique_ptr<StreamVideo> m_inputStream;
    std::unique_ptr<StreamVideo> m_outputStream;
    std::int64_t m_lastPts = 0;
    std::int64_t m_startShift = 0;   // ticks the whole stream is moved (0 or 1)
    std::int64_t m_coveredFrom = 0;  // see CoveredFrom; input time base
    std::int64_t m_lastTimedPts = 0; // of the last packet given a decoding time
    std::int64_t m_lastInterval = 0; // between that packet and the one before
    std::unique_ptr<Transcoder> m_transcoder;
    std::unique_ptr<KeyPictures> m_keyPictures; // copy path only
    std::unique_ptr<StreamParametersVideo> m_parameters;

private:
    void SetDecodingTime(AVPacket& packet);
    // Gives encoder output its decoding time and duration and moves it to
    // the output time base.
    void FinishEncoded(PacketSequence& packets);
};

// The output picture's sample aspect ratio: pictures less than half as high as
// wide are shown at 4:3, everything else is left unspecified.
AVRational VideoSampleAspectRatio(int width, int height);

} // namespace Halvaro::Oru::Shared::Export::Mpeg
