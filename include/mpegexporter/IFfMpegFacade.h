#pragma once

// The library's public interface. Create one facade per concurrent export;
// call it from one thread at a time. Packets are written on a worker thread
// that the facade owns; add calls only queue them.
//
// Call order for one file:
//   StartInitMediaFile -> InitStreamVideo -> [InitStreamAudio] ->
//   FinishInitMediaFile -> Add* ... [Split*, EstimateFileSize] -> FinishMediaFile
// Releasing a facade with a file open stops its worker after the batch in
// progress and leaves the file unfinished, its journal kept for recovery.

#include <mpegexporter/MpegExporterException.h>
#include <mpegexporter/StreamParameters.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// One encoded packet as the host delivers it.
struct MediaPacket
{
    std::vector<std::uint8_t> data; // one access unit, or one encoded audio frame (ADTS included)
    std::uint64_t timestamp = 0;    // host clock, 100-ns units, same clock as startTime
};

// One batch of one stream, in writing order. Moved into the facade.
using MediaPacketList = std::vector<std::unique_ptr<MediaPacket>>;

// Packets an export left out because they could not be used.
struct SkippedPackets
{
    std::int64_t video = 0;
    std::int64_t audio = 0;
};

class IFfMpegFacade
{
public:
    // withAudio false: video-only export; true: synchronized video and audio.
    // The library's only exported function.
    MPEGEXPORTER_VISIBLE static std::shared_ptr<IFfMpegFacade> Create(bool withAudio);

    // Names the output file (UTF-16), a file name and never a URL; .mp4 or
    // .mov picks the container.
    virtual void StartInitMediaFile(const std::wstring& filePath) = 0;
    virtual void InitStreamVideo(std::unique_ptr<StreamParametersVideo> parameters) = 0;
    virtual void InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters) = 0;
    // Opens the file, locks it against other exports (and recovery) until it
    // is finished, and writes the container header. On failure nothing stays
    // open or on disk: the host starts again with StartInitMediaFile.
    virtual void FinishInitMediaFile() = 0;
    virtual void AddPacketsVideo(MediaPacketList packets) = 0;
    virtual void AddPacketsAudioVideo(MediaPacketList videoPackets, MediaPacketList audioPackets) = 0;
    // Waits for the worker, drains, writes the trailer; returns the file size
    // in bytes. A file deleted, moved or replaced meanwhile is closed and
    // reported with FfMpegFacadeException.
    virtual std::int64_t FinishMediaFile() = 0;
    virtual std::int64_t SplitMediaFileAudioVideo(const std::wstring& filePath, std::uint64_t videoStart,
                                                  const MediaPacket& firstAudioPacket) = 0;
    virtual std::int64_t SplitMediaFileVideo(const std::wstring& filePath, std::uint64_t videoStart) = 0;
    // Current size p plus p * remaining / done.
    virtual std::int64_t EstimateFileSize(std::int64_t remaining, std::int64_t done) = 0;
    // Ends processing for good after the batch in progress.
    virtual void Stop() = 0;
    virtual ~IFfMpegFacade() = 0;

    // Added after the first release, last, so that hosts built against the
    // header before it keep working.

    // Packets left out since the facade was made, because they could not be
    // used: pictures that are empty or do not decode where the video is
    // transcoded (and those after such a picture up to the next key picture),
    // audio that is empty, holds no whole sample, does not decode or whose
    // frame header does not parse or does not match the stream. The export
    // goes on without them, silence taking the audio's place. Counts what the
    // worker has processed so far; does not wait for it.
    virtual SkippedPackets GetSkippedPackets() const = 0;
};

inline IFfMpegFacade::~IFfMpegFacade() = default;

} // namespace Halvaro::Oru::Shared::Export::Mpeg
