#pragma once

#include "av/OwnedPacket.h"
#include "video/KeyPictures.h"
#include "streams/PacketTiming.h"
#include "streams/Stream.h"
#include "av/Codec.h"

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
    // Pictures left out because they could not be used: empty, not decoding,
    // or after one that did not decode, before the next key picture.
    std::int64_t Skipped() const { return m_skipped; }

    const StreamParametersVideo& Parameters() const { return *m_parameters; }
    // The host-clock moment the file begins (the record's startTime).
    std::uint64_t StartTime() const { return m_startTime; }
    // The record's timestampOffset in ticks of 1/`timeScale`, in 32-bit
    // arithmetic as hosts compute it: the product wraps, the quotient truncates.
    std::int32_t OffsetIn(std::int32_t timeScale) const;
    // The output stream's time base, fixed by the muxer with the header.
    AVRational OutputTimeBase() const { return m_outputStream->GetAvStream()->time_base; }

private:
    std::uint64_t m_startTime;       // host clock, 100-ns units
    std::int32_t m_timestampOffset;  // ticks
    std::int32_t m_timeScale;        // ticks per second
    std::unique_ptr<StreamVideo> m_inputStream;
    std::unique_ptr<StreamVideo> m_outputStream;
    std::int64_t m_lastPts = -1;     // input time base; -1 before the first picture
    std::unique_ptr<Transcoder> m_transcoder;
    std::unique_ptr<KeyPictures> m_keyPictures;
    std::unique_ptr<StreamParametersVideo> m_parameters;

    // The input-tick presentation time of a picture the host timed `elapsed`
    // after the start, with the host's clock jumps closed up.
    std::int64_t PresentationTime(std::int64_t elapsed);
    // Moves `packet`, timed in `from`, onto the output stream's clock: times
    // strictly increasing there too, decoded one tick before shown, lasting
    // as long as the pictures before it.
    void Time(AVPacket& packet, AVRational from);

    std::int64_t m_lastStep = 0;        // input ticks between the last two pictures
    std::int64_t m_closedUp = 0;        // input ticks of clock jumps taken out
    std::int64_t m_encoderPts = -1;     // last pts handed to the encoder, in its time base
    std::int64_t m_lastOutputPts = -1;  // output time base
    std::int64_t m_lastInterval = 0;    // between the last two output pictures
    bool m_awaitingKey = false;         // a picture did not decode
    std::int64_t m_skipped = 0;
};

// The output picture's sample aspect ratio: pictures less than half as high as
// wide are shown at 4:3, everything else is left unspecified.
AVRational VideoSampleAspectRatio(int width, int height);

} // namespace Halvaro::Oru::Shared::Export::Mpeg
