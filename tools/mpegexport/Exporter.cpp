#include "Exporter.h"

#include "AudioFeed.h"
#include "Paths.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>

namespace mpegexport
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace
{
// What a path held before the export touched it, so that a failed export
// removes only files it created or overwrote.
struct FileSnapshot
{
    bool existed = false;
    std::uintmax_t size = 0;
    fs::file_time_type modified{};

    static FileSnapshot Of(const std::string& path)
    {
        FileSnapshot snapshot;
        std::error_code error;
        snapshot.existed = fs::exists(path, error);
        if (snapshot.existed)
        {
            snapshot.size = fs::file_size(path, error);
            snapshot.modified = fs::last_write_time(path, error);
        }
        return snapshot;
    }

    bool ChangedAt(const std::string& path) const
    {
        const FileSnapshot now = Of(path);
        return now.existed && (!existed || now.size != size || now.modified != modified);
    }
};

struct Part
{
    std::string path;
    FileSnapshot before;
    std::int64_t bytes = 0;
    bool finished = false;
};

// The host clock: 100-ns units since the Unix epoch. Only differences matter
// to the library; a real clock value keeps the arithmetic honest.
std::uint64_t HostNow()
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100);
}

std::string Megabytes(std::int64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

constexpr std::size_t kMaxQueuedBytes = 64 << 20;

// Presentation times must grow in decoding order: the library times pictures
// in the order they arrive, so reordered ones would be shown in that order.
std::runtime_error Reordered(const std::string& input)
{
    return std::runtime_error(input + ": the video has B-frames (pictures sent ahead of pictures shown before "
                                      "them), which the library cannot time; re-encode it without them, for "
                                      "example with ffmpeg -c:v libx264 -bf 0");
}

// The same found only while reading: a stream that does not declare its
// reordering, or whose clock jumps back.
std::runtime_error GoesBack(const std::string& input, std::int64_t packets, std::int64_t offset)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(offset) / kHostTicksPerSecond);
    return std::runtime_error(input + ": picture " + std::to_string(packets) + " goes back in time (to " + seconds +
                              " s): B-frames or a clock jump, which the library cannot time");
}

class ExportRun
{
public:
    ExportRun(PacketSource& source, const ExportSettings& settings)
        : m_source(source), m_settings(settings), m_info(source.Info())
    {
    }

    ExportResult Run();

private:
    void Prepare();
    void PrepareAudio(Container container);
    void OpenFile(std::unique_ptr<mpeg::StreamParametersVideo> video);
    void WritePackets();
    // Hands over the pictures gathered so far with the audio before `until`,
    // where the next batch begins; `lastOfFile` when no batch follows in
    // this file.
    void SendBatch(std::int64_t until, bool lastOfFile);
    void Split(std::int64_t offset);
    void CheckWritten(const WrittenFile& file);
    void ShowProgress(std::int64_t offset, bool last);
    std::string Salvage() noexcept;

    PacketSource& m_source;
    const ExportSettings& m_settings;
    const SourceInfo& m_info;
    ExportResult m_result;
    std::shared_ptr<mpeg::IFfMpegFacade> m_facade;
    std::vector<Part> m_parts;
    mpeg::MediaPacketList m_batch;
    std::optional<AudioFeed> m_audio;
    std::optional<mpeg::CodecIdAudio> m_audioCodec;
    std::uint64_t m_startTime = 0;
    std::int64_t m_partStart = 0;        // offset at which the current file begins
    std::int64_t m_nextSplit = std::numeric_limits<std::int64_t>::max();
    std::size_t m_queuedBytes = 0; // handed over since the worker was last waited for
    Clock::time_point m_began;
    Clock::time_point m_lastProgress;
    int m_lastTenth = -1;
};

ExportResult ExportRun::Run()
{
    m_began = Clock::now();
    Prepare();
    try
    {
        WritePackets();
    }
    catch (const std::exception& error)
    {
        ShowProgress(0, true);
        // Library errors name the call but not the file.
        const bool fromLibrary = dynamic_cast<const mpeg::MpegExporterException*>(&error) ||
                                 dynamic_cast<const std::logic_error*>(&error);
        std::string message = fromLibrary ? "'" + m_parts.back().path + "': " + error.what() : error.what();
        throw std::runtime_error(message + Salvage());
    }
    ShowProgress(0, true);

    for (const Part& part : m_parts)
    {
        WrittenFile file{part.path, part.bytes, {}};
        try
        {
            file.contents = ReadBack(part.path);
        }
        catch (const std::exception& error)
        {
            // Finished by the library yet unreadable: keep it for a closer look.
            throw std::runtime_error(std::string(error.what()) + " although the library finished it");
        }
        CheckWritten(file);
        m_result.files.push_back(std::move(file));
    }
    if (m_audio)
    {
        m_result.audio->packetsRead = m_audio->PacketsRead();
        m_result.audio->packetsSent = m_audio->PacketsSent();
    }
    m_result.secondsTaken = std::chrono::duration<double>(Clock::now() - m_began).count();
    return m_result;
}

void ExportRun::Prepare()
{
    const auto codec = ToLibraryVideoCodec(m_info.video.codec);
    if (!codec)
        throw std::runtime_error(m_info.name + ": video codec " + ShortName(m_info.video.codec) +
                                 " is not supported (supported: " + SupportedVideoCodecList() + ")");
    if (m_info.video.reordered)
        throw Reordered(m_info.name);
    const Container container = ContainerOf(m_settings.output);

    m_result.input = m_info.name;
    m_result.container = container;
    m_result.codecIn = m_info.video.codec;
    m_result.codecOut = OutputVideoCodec(container, m_info.video.codec);
    m_result.timeScale = m_settings.timeScale.value_or(TimeScaleFor(m_info.video.frameRate));
    if (m_settings.splitTicks)
        m_nextSplit = *m_settings.splitTicks;

    m_startTime = HostNow();
    auto video = std::make_unique<mpeg::StreamParametersVideo>();
    video->startTime = m_startTime;
    video->timeScale = m_result.timeScale;
    video->codecId = *codec;
    video->width = m_info.video.width;
    video->height = m_info.video.height;
    video->codecConfiguration.extraData = m_info.video.extraData;

    if (m_info.audio)
        PrepareAudio(container);
    m_facade = mpeg::IFfMpegFacade::Create(m_audio.has_value());
    OpenFile(std::move(video));
}

// Everything that refuses the audio happens here, before a file is made.
void ExportRun::PrepareAudio(Container container)
{
    const AudioDescription& audio = *m_info.audio;
    auto refuse = [&audio](const std::string& problem) {
        return std::runtime_error(audio.source + ": " + problem + "; --no-audio exports the video alone");
    };
    m_audioCodec = ToLibraryAudioCodec(audio.codec);
    if (!m_audioCodec)
        throw refuse("audio codec " + ShortName(audio.codec) + " is not supported (supported: " +
                     SupportedAudioCodecList() + ")");
    // The library declares every audio stream mono; only frames that say how
    // many channels they hold come through that unharmed.
    if (audio.channels > 1 && !FramesCarryChannels(audio.codec))
        throw refuse(DisplayName(audio.codec) + " audio has " + std::to_string(audio.channels) +
                     " channels; the library takes it in mono only");
    // Decoded at another code size, G.726 would come out as noise.
    const bool g726 = audio.codec == AV_CODEC_ID_ADPCM_G726 || audio.codec == AV_CODEC_ID_ADPCM_G726LE;
    if (g726 && audio.bitsPerSample > 0 && audio.bitsPerSample != kLibraryG726BitsPerSample)
        throw refuse("G.726 audio at " + std::to_string(audio.bitsPerSample) +
                     " bits a sample; the library decodes G.726 at " + std::to_string(kLibraryG726BitsPerSample) +
                     " bits a sample only");

    m_audio.emplace(m_source, audio, m_startTime);
    AudioResult& result = m_result.audio.emplace();
    result.source = audio.source;
    result.codecIn = audio.codec;
    result.codecOut = OutputAudioCodec(container, audio.codec);
    result.sampleRate = audio.sampleRate;
    result.channels = audio.channels;
}

void ExportRun::OpenFile(std::unique_ptr<mpeg::StreamParametersVideo> video)
{
    m_parts.push_back(Part{m_settings.output, FileSnapshot::Of(m_settings.output)});
    try
    {
        m_facade->StartInitMediaFile(ToUtf16(m_settings.output));
        m_facade->InitStreamVideo(std::move(video));
        if (m_audio)
        {
            try
            {
                m_facade->InitStreamAudio(m_audio->Record(*m_audioCodec, 0));
            }
            catch (const std::exception& error)
            {
                // The library names the FFmpeg call that failed, not the stream.
                throw std::runtime_error("cannot take " + DisplayName(m_result.audio->codecIn) + " audio (" +
                                         m_result.audio->source + "): " + error.what());
            }
        }
        m_facade->FinishInitMediaFile();
    }
    catch (const std::exception& error)
    {
        throw std::runtime_error("'" + m_settings.output + "': " + error.what() + Salvage());
    }
}

void ExportRun::WritePackets()
{
    const std::int64_t batchTicks = m_settings.batchTicks;
    std::int64_t batchEnd = batchTicks;
    std::int64_t lastOffset = 0;
    const auto began = std::chrono::steady_clock::now();
    SourcePacket packet;
    while (m_source.Next(packet))
    {
        ++m_result.packetsRead;
        if (m_settings.interrupted())
        {
            m_result.interrupted = true;
            break;
        }
        if (packet.offset < lastOffset)
            throw GoesBack(m_info.name, m_result.packetsRead, packet.offset);
        lastOffset = packet.offset;
        // A picture shown before the first one in file order cannot go before
        // the file's start: the library would drop it.
        const std::int64_t offset = std::max<std::int64_t>(packet.offset, 0);

        if (m_settings.stopTicks && offset >= *m_settings.stopTicks)
        {
            m_result.stopped = true;
            break;
        }
        // A file should open with a picture that decodes on its own.
        if (offset >= m_nextSplit && packet.key)
        {
            SendBatch(offset, true);
            Split(offset);
        }
        if (offset >= batchEnd)
        {
            if (m_settings.pace > 0)
                std::this_thread::sleep_until(began + std::chrono::duration<double>(
                                                          static_cast<double>(offset) / kHostTicksPerSecond / m_settings.pace));
            SendBatch(offset, false);
            ShowProgress(offset, false);
            while (batchEnd <= offset)
                batchEnd += batchTicks;
        }
        auto record = std::make_unique<mpeg::MediaPacket>();
        record->data = std::move(packet.data);
        record->timestamp = m_startTime + static_cast<std::uint64_t>(offset);
        m_batch.push_back(std::move(record));
        ++m_result.packetsSent;
    }
    for (std::string& note : m_source.Notes())
        m_result.notes.push_back(std::move(note));

    if (m_result.interrupted)
    {
        // Whoever interrupts wants out now: what is still queued is dropped.
        m_facade->Stop();
    }
    else if (m_result.stopped)
    {
        // We read far faster than a live source delivers. A live host's queue
        // is all but empty when its user stops, so let the library catch up
        // first; Stop then ends the export with everything before this point.
        SendBatch(*m_settings.stopTicks, true);
        m_facade->EstimateFileSize(0, 1);
        m_facade->Stop();
    }
    else
        SendBatch(std::numeric_limits<std::int64_t>::max(), true); // audio that outlasts the video too
    m_parts.back().bytes = m_facade->FinishMediaFile();
    m_parts.back().finished = true;
}

void ExportRun::SendBatch(std::int64_t until, bool lastOfFile)
{
    // The library fills the stretch between a batch's first picture and its
    // first audio with silence. An audio packet running into the next batch
    // therefore goes with that batch, so that its audio starts no later than
    // its pictures; the next file, though, would drop it.
    mpeg::MediaPacketList audio = m_audio ? m_audio->Take(until, !lastOfFile) : mpeg::MediaPacketList();
    if (m_batch.empty() && audio.empty())
        return;
    for (const auto& record : m_batch)
        m_queuedBytes += record->data.size();
    for (const auto& record : audio)
        m_queuedBytes += record->data.size();
    if (m_audio)
        m_facade->AddPacketsAudioVideo(std::move(m_batch), std::move(audio));
    else
        m_facade->AddPacketsVideo(std::move(m_batch));
    m_batch = mpeg::MediaPacketList();
    // A file reads far faster than the library transcodes; a live host never
    // gets this far ahead. Waiting for the worker now and then keeps the
    // queue, and our memory, bounded.
    if (m_queuedBytes > kMaxQueuedBytes)
    {
        m_facade->EstimateFileSize(0, 1);
        m_queuedBytes = 0;
    }
}

void ExportRun::Split(std::int64_t offset)
{
    const std::string path = PartName(m_settings.output, static_cast<int>(m_parts.size()));
    m_parts.push_back(Part{path, FileSnapshot::Of(path)});
    Part& previous = m_parts[m_parts.size() - 2];
    const std::uint64_t videoStart = m_startTime + static_cast<std::uint64_t>(offset);
    previous.bytes = m_audio ? m_facade->SplitMediaFileAudioVideo(ToUtf16(path), videoStart, m_audio->FirstFrom(offset))
                             : m_facade->SplitMediaFileVideo(ToUtf16(path), videoStart);
    previous.finished = true;
    m_partStart = offset;
    while (m_nextSplit <= offset)
        m_nextSplit += *m_settings.splitTicks;
}

// What the file holds against what the library was asked for.
void ExportRun::CheckWritten(const WrittenFile& file)
{
    const FileContents& contents = file.contents;
    if (!contents.codec.empty() && contents.codec != ShortName(m_result.codecOut))
        m_result.notes.push_back(file.path + " holds " + contents.codec + " video where " +
                                 ShortName(m_result.codecOut) + " was expected");
    if (!m_result.audio || m_audio->PacketsSent() == 0)
        return;
    const std::string expected = ReadBackName(m_result.container, m_result.audio->codecOut);
    if (contents.audioCodec.empty())
        m_result.notes.push_back(file.path + " has no audio although audio was handed over");
    else if (contents.audioCodec != expected)
        m_result.notes.push_back(file.path + " holds " + contents.audioCodec + " audio where " + expected +
                                 " was expected");
}

void ExportRun::ShowProgress(std::int64_t offset, bool last)
{
    using Mode = ExportSettings::Progress;
    if (m_settings.progress == Mode::None)
        return;
    if (last)
    {
        if (m_settings.progress == Mode::Line && m_lastProgress != Clock::time_point{})
            std::fputs("\r\033[K", stderr);
        return;
    }
    const double fraction = m_source.Fraction();
    const auto now = Clock::now();
    const int tenth = fraction < 0 ? m_lastTenth : static_cast<int>(fraction * 10);
    if (m_settings.progress == Mode::Line ? now - m_lastProgress < std::chrono::milliseconds(250)
                                          : tenth == m_lastTenth)
        return;
    m_lastProgress = now;
    m_lastTenth = tenth;

    // The projection is for the file being written: with splits, up to the
    // next split; in milliseconds of input when the length is known, else in
    // parts per million of the input.
    std::int64_t done = 0;
    std::int64_t remaining = 0;
    if (m_info.durationSeconds > 0)
    {
        std::int64_t end = static_cast<std::int64_t>(m_info.durationSeconds * kHostTicksPerSecond);
        end = std::min(end, m_nextSplit);
        if (m_settings.stopTicks)
            end = std::min(end, *m_settings.stopTicks);
        done = (offset - m_partStart) / 10'000;
        remaining = std::max<std::int64_t>(end - offset, 0) / 10'000;
    }
    else if (fraction >= 0)
    {
        done = static_cast<std::int64_t>(fraction * 1e6);
        remaining = 1'000'000 - done;
    }
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f s", std::chrono::duration<double>(now - m_began).count());
    std::string line = m_info.name + ": ";
    if (fraction >= 0)
        line += std::to_string(static_cast<int>(fraction * 100)) + "% of input, ";
    line += std::string(elapsed) + " elapsed";
    // A file just begun has nothing to project from.
    if (done > 0)
    {
        line += ", " + Megabytes(m_facade->EstimateFileSize(remaining, done)) + " projected for " +
                m_parts.back().path;
        m_queuedBytes = 0;
    }
    if (m_settings.progress == Mode::Line)
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
    else
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// After a failure: finish the file being written if the library still can,
// otherwise remove it; never leave a broken file behind unmentioned. Returns
// what became of it, to append to the error message.
std::string ExportRun::Salvage() noexcept
{
    std::string outcome;
    try
    {
        // The first call may rethrow the failure already reported; the second
        // then finishes the file, or fails to, and a third closes it.
        for (int attempt = 0; attempt < 3; ++attempt)
        {
            try
            {
                m_facade->FinishMediaFile();
                break;
            }
            catch (const std::exception&)
            {
            }
        }
        try
        {
            m_facade->Stop(); // the worker must be waited for before the facade goes
        }
        catch (const std::exception&)
        {
        }

        for (Part& part : m_parts)
        {
            if (part.finished || !part.before.ChangedAt(part.path))
                continue;
            try
            {
                const FileContents contents = ReadBack(part.path);
                outcome += "; finished '" + part.path + "' with the " + std::to_string(contents.frames) +
                           " pictures written before";
            }
            catch (const std::exception&)
            {
                std::error_code error;
                fs::remove(part.path, error);
                // Without its file the journal recovers nothing.
                std::error_code ignored;
                fs::remove(part.path + ".journal", ignored);
                outcome += error ? "; could not remove the broken '" + part.path + "'"
                                 : "; removed the unfinished '" + part.path + "'";
            }
        }
    }
    catch (...)
    {
        outcome += "; the output may be incomplete";
    }
    return outcome;
}
} // namespace

std::int32_t TimeScaleFor(AVRational frameRate)
{
    if (frameRate.num > 0 && frameRate.den > 0)
    {
        const long long rounded = std::llround(av_q2d(frameRate));
        if (rounded >= 1 && rounded <= std::numeric_limits<std::int32_t>::max())
            return static_cast<std::int32_t>(rounded);
    }
    return 90000;
}

ExportResult Export(PacketSource& source, const ExportSettings& settings)
{
    return ExportRun(source, settings).Run();
}

} // namespace mpegexport
