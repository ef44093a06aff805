// One export through the library as a host application drives it: describe
// the streams, hand packets over in batches, split, stop, finish.

#include "Tool.h"

#include <mpegexporter/Journal.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <utility>

namespace mpegexport
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace
{
// The library takes file names as UTF-16.
std::wstring ToUtf16(const std::string& utf8)
{
    try
    {
        // On POSIX a path holds UTF-8, and converts to UTF-16 with the standard library's codecvt.
        const std::u16string units = fs::path(utf8).u16string();
        return std::wstring(units.begin(), units.end());
    }
    catch (const std::exception&)
    {
        throw std::runtime_error("the file name '" + utf8 + "' is not UTF-8");
    }
}

// The file as read back, or an exception that says why it is not complete.
WrittenFile ReadBack(const std::string& path, std::int64_t bytes = 0)
{
    AVFormatContext* raw = nullptr;
    // The library wrote a file under this name, colons and all: no URL.
    const int status = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr);
    InputContextPtr context(raw);
    Check(status, "cannot read back '" + path + "'");
    // The muxer leaves out a track without samples: no stream at all is complete for no pictures.
    const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video < 0 && audio < 0 && raw->nb_streams > 0)
        throw std::runtime_error("'" + path + "' has neither video nor audio");
    WrittenFile file;
    file.path = path;
    file.bytes = bytes;
    // From the first track's start to the last one's end, as avformat_find_stream_info sums it up;
    // that call would also decode a picture, which costs more than this whole check.
    std::int64_t first = INT64_MAX, last = INT64_MIN;
    // The index gives every sample's place in the file: a file cut short has samples past its end.
    // Reading the samples themselves would cost as much as the export's own copy.
    const std::int64_t size = avio_size(raw->pb);
    for (unsigned i = 0; i < raw->nb_streams; ++i)
    {
        AVStream* stream = raw->streams[i];
        const bool timed = stream->duration != AV_NOPTS_VALUE;
        if (timed)
        {
            const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
            first = std::min(first, av_rescale_q(start, stream->time_base, AV_TIME_BASE_Q));
            last = std::max(last, av_rescale_q(start + stream->duration, stream->time_base, AV_TIME_BASE_Q));
        }
        const int count = avformat_index_get_entries_count(stream);
        for (int n = 0; n < count; ++n)
            if (const AVIndexEntry* sample = avformat_index_get_entry(stream, n); sample->pos + sample->size > size)
                throw std::runtime_error("'" + path + "' is cut short: its index lists data past its end");
        if (static_cast<int>(i) == video)
            file.frames = count;
        if (static_cast<int>(i) != audio)
            continue;
        file.audioCodec = avcodec_get_name(stream->codecpar->codec_id);
        file.audioPackets = count;
        file.audioSeconds = timed ? static_cast<double>(stream->duration) * av_q2d(stream->time_base) : 0;
    }
    if (last >= first)
        file.seconds = static_cast<double>(last - first) / AV_TIME_BASE;
    return file;
}

std::unique_ptr<mpeg::MediaPacket> Stamped(std::vector<std::uint8_t> data, std::uint64_t start, std::int64_t offset)
{
    return std::make_unique<mpeg::MediaPacket>(mpeg::MediaPacket{std::move(data), start + std::uint64_t(offset)});
}

// The source's audio stamped on the host clock, in stretches that match the video batches.
class AudioFeed
{
public:
    AudioFeed(PacketSource& source, std::uint64_t startTime, AudioResult& counts)
        : m_source(source), m_startTime(startTime), m_counts(counts)
    {
        // The library recognises ADTS by the first packet's leading bytes.
        if (Peek())
            m_header.assign(m_next->data.begin(), m_next->data.begin() + std::min<std::size_t>(8, m_next->data.size()));
    }

    // The packets that begin before `until` (with `whole`: and end by then), less those before the first picture.
    mpeg::MediaPacketList Take(std::int64_t until, bool whole)
    {
        mpeg::MediaPacketList packets;
        for (const SourcePacket* next = Peek(); next && next->offset < until; next = Peek())
        {
            if (whole && next->offset + next->duration > until)
                break;
            if (next->offset >= 0)
                packets.push_back(Stamped(std::move(m_next->data), m_startTime, next->offset)), ++m_counts.packetsSent;
            m_next.reset();
        }
        return packets;
    }

    // The next file's first audio packet, or once the audio has ended the first packet's leading bytes.
    mpeg::MediaPacket FirstFrom(std::int64_t offset)
    {
        while (Peek() && m_next->offset < offset) // went to the previous file, or nowhere
            m_next.reset();
        return *Stamped(m_next ? m_next->data : m_header, m_startTime,
                        m_next ? m_next->offset : std::max<std::int64_t>(offset, 0));
    }

    std::vector<std::uint8_t> m_header; // leading bytes of the first packet

private:
    const SourcePacket* Peek()
    {
        if (SourcePacket packet; !m_next && m_source.NextAudio(packet))
            ++m_counts.packetsRead, m_next = std::move(packet);
        return m_next ? &*m_next : nullptr;
    }

    PacketSource& m_source;
    std::uint64_t m_startTime;
    AudioResult& m_counts;
    std::optional<SourcePacket> m_next;
};

// What a path held before the export: a failed export removes only files it created or overwrote.
struct Part
{
    using Stamp = std::optional<std::pair<std::uintmax_t, fs::file_time_type>>;
    std::string path;
    Stamp before = StampOf(path);
    std::int64_t bytes = 0; // the size the library reported when it finished the file

    static Stamp StampOf(const std::string& path)
    {
        std::error_code error;
        if (!fs::exists(path, error))
            return std::nullopt;
        return std::pair(fs::file_size(path, error), fs::last_write_time(path, error));
    }
};

class ExportRun
{
public:
    ExportRun(PacketSource& video, PacketSource& audio, const ExportSettings& settings)
        : m_source(video), m_audioSource(audio), m_settings(settings), m_info(video.info)
    {
    }

    ExportResult Run()
    {
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
            throw std::runtime_error((fromLibrary ? "'" + m_parts.back().path + "': " : "") + error.what() + Salvage());
        }
        ShowProgress(0, true);
        for (const Part& part : m_parts)
            try
            {
                m_result.files.push_back(ReadBack(part.path, part.bytes));
            }
            catch (const std::exception& error) // finished by the library yet unreadable: kept for a closer look
            {
                throw std::runtime_error(std::string(error.what()) + " although the library finished it");
            }
        const mpeg::SkippedPackets skipped = m_facade->GetSkippedPackets();
        m_result.packetsSkipped = skipped.video;
        if (m_result.audio)
            m_result.audio->packetsSkipped = skipped.audio;
        m_result.secondsTaken = std::chrono::duration<double>(Clock::now() - m_began).count();
        return m_result;
    }

private:
    // Everything that refuses the input happens here, before a file is made.
    void Prepare()
    {
        const auto videoCodec = LibraryCodec(m_info.video.codec, false);
        if (!videoCodec)
            throw std::runtime_error(m_info.name + ": " + Unsupported(m_info.video.codec, false));
        if (m_info.video.reordered) // the library times pictures in the order they arrive
            throw std::runtime_error(m_info.name +
                                     ": the video has B-frames (pictures sent ahead of pictures shown "
                                     "before them), which the library cannot time; re-encode it without "
                                     "them, for example with ffmpeg -c:v libx264 -bf 0");
        const Container container = ContainerOf(m_settings.output);
        const long long rate = m_info.video.frameRate.num > 0 ? std::llround(av_q2d(m_info.video.frameRate)) : 0;
        m_result.timeScale = std::int32_t(m_settings.timeScale.value_or(rate >= 1 && rate <= INT32_MAX ? rate : 90000));
        m_result.input = m_info.name;
        m_result.container = container;
        m_result.codecIn = m_info.video.codec;
        m_result.codecOut = OutputCodec(container, m_info.video.codec, false);
        m_nextSplit = m_settings.splitTicks.value_or(m_nextSplit);

        // 100-ns units since the Unix epoch: only differences matter, but a real clock keeps them honest.
        using HostTicks = std::chrono::duration<std::uint64_t, std::ratio<1, kHostTicksPerSecond>>;
        const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
        m_startTime = std::chrono::duration_cast<HostTicks>(sinceEpoch).count();
        auto video = std::make_unique<mpeg::StreamParametersVideo>();
        video->startTime = m_startTime;
        video->timeScale = m_result.timeScale;
        video->codecId = mpeg::CodecIdVideo(*videoCodec);
        video->width = m_info.video.width;
        video->height = m_info.video.height;
        video->codecConfiguration.extraData = m_info.video.extraData;

        std::unique_ptr<mpeg::StreamParametersAudio> record;
        if (const auto& audio = m_audioSource.info.audio)
        {
            const std::string& source = m_audioSource.info.name;
            const auto refuse = [&source](const std::string& problem) {
                return std::runtime_error(source + ": " + problem + "; --no-audio exports the video alone");
            };
            const auto audioCodec = LibraryCodec(audio->codec, true);
            if (!audioCodec)
                throw refuse(Unsupported(audio->codec, true));
            // The library declares every stream mono; only frames that carry their channel count survive that.
            if (audio->channels > 1 && audio->codec != AV_CODEC_ID_AAC && audio->codec != AV_CODEC_ID_MP2)
                throw refuse(DisplayName(audio->codec) + " audio has " + std::to_string(audio->channels) +
                             " channels; the library takes it in mono only");
            // The stream record has no field for G.726's code size; the library decodes 4 bits a sample.
            const bool g726 = audio->codec == AV_CODEC_ID_ADPCM_G726 || audio->codec == AV_CODEC_ID_ADPCM_G726LE;
            if (g726 && audio->bitsPerSample > 0 && audio->bitsPerSample != 4)
                throw refuse("G.726 audio at " + std::to_string(audio->bitsPerSample) +
                             " bits a sample; the library decodes G.726 at 4 bits a sample only");
            m_result.audio = AudioResult{source, audio->codec, OutputCodec(container, audio->codec, true),
                                         audio->sampleRate, audio->channels};
            m_audio.emplace(m_audioSource, m_startTime, *m_result.audio);
            record = std::make_unique<mpeg::StreamParametersAudio>();
            record->timeScale = audio->sampleRate;
            record->codecId = mpeg::CodecIdAudio(*audioCodec);
            record->channels = std::max(audio->channels, 1);
            record->blockAlign = audio->blockAlign;
            record->firstPacketHeader = m_audio->m_header;
            record->codecConfiguration.extraData = audio->extraData;
        }

        m_facade = mpeg::IFfMpegFacade::Create(m_audio.has_value());
        m_parts.push_back({m_settings.output});
        std::string context; // the library names the FFmpeg call that failed, not the stream
        try
        {
            m_facade->StartInitMediaFile(ToUtf16(m_settings.output));
            m_facade->InitStreamVideo(std::move(video));
            if (record)
            {
                context = "cannot take " + DisplayName(m_result.audio->codecIn) + " audio (" + m_result.audio->source +
                          "): ";
                record->startTime = m_audio->FirstFrom(0).timestamp;
                m_facade->InitStreamAudio(std::move(record));
                context.clear();
            }
            m_facade->FinishInitMediaFile();
        }
        catch (const std::exception& error)
        {
            throw std::runtime_error("'" + m_settings.output + "': " + context + error.what() + Salvage());
        }
    }

    void WritePackets()
    {
        std::int64_t batchEnd = m_settings.batchTicks, lastOffset = 0;
        for (SourcePacket packet; m_source.Next(packet);)
        {
            ++m_result.packetsRead;
            if ((m_result.interrupted = m_settings.interrupted && m_settings.interrupted()))
                break;
            // Found only while reading: a stream that does not declare its reordering, or whose clock jumps back.
            if (packet.offset < lastOffset)
            {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%.3f", double(packet.offset) / kHostTicksPerSecond);
                throw std::runtime_error(m_info.name + ": picture " + std::to_string(m_result.packetsRead) +
                                         " goes back in time (to " + seconds +
                                         " s): B-frames or a clock jump, which the library cannot time");
            }
            lastOffset = packet.offset;
            // A picture shown before the first one in file order would be dropped before the file's start.
            const std::int64_t offset = std::max<std::int64_t>(packet.offset, 0);
            if ((m_result.stopped = m_settings.stopTicks && offset >= *m_settings.stopTicks))
                break;
            if (offset >= m_nextSplit && packet.key) // a file opens with a picture that decodes on its own
            {
                SendBatch(offset, true);
                Split(offset);
            }
            if (offset >= batchEnd)
            {
                if (m_settings.pace > 0)
                {
                    const double due = double(offset) / kHostTicksPerSecond / m_settings.pace; // seconds
                    std::this_thread::sleep_until(m_began + std::chrono::duration<double>(due));
                }
                SendBatch(offset, false);
                ShowProgress(offset, false);
                batchEnd = (offset / m_settings.batchTicks + 1) * m_settings.batchTicks;
            }
            m_batch.push_back(Stamped(std::move(packet.data), m_startTime, offset));
            ++m_result.packetsSent;
        }
        m_result.notes = m_source.notes;
        if (&m_audioSource != &m_source)
            m_result.notes.insert(m_result.notes.end(), m_audioSource.notes.begin(), m_audioSource.notes.end());
        // Whoever interrupts wants out now: what is queued is dropped. Audio may outlast the video.
        if (!m_result.interrupted)
            SendBatch(m_result.stopped ? *m_settings.stopTicks : std::numeric_limits<std::int64_t>::max(), true);
        // A live host's queue is all but empty when its user stops: let the library catch up first.
        if (m_result.stopped)
            m_facade->EstimateFileSize(0, 1);
        if (m_result.stopped || m_result.interrupted)
            m_facade->Stop();
        m_parts.back().bytes = m_facade->FinishMediaFile();
    }

    // The pictures gathered so far with the audio before `until`. The library fills the gap before a
    // batch's first audio with silence, so audio that runs past `until` waits for the next batch,
    // unless this is the file's last (`lastOfFile`): the next file would drop it.
    void SendBatch(std::int64_t until, bool lastOfFile)
    {
        mpeg::MediaPacketList audio = m_audio ? m_audio->Take(until, !lastOfFile) : mpeg::MediaPacketList();
        if (m_batch.empty() && audio.empty())
            return;
        for (const auto* list : {&m_batch, &audio})
            for (const auto& record : *list)
                m_queuedBytes += record->data.size();
        if (m_audio)
            m_facade->AddPacketsAudioVideo(std::exchange(m_batch, {}), std::move(audio));
        else
            m_facade->AddPacketsVideo(std::exchange(m_batch, {}));
        // A file reads far faster than the library transcodes: waiting for the worker bounds the queue.
        if (m_queuedBytes > (64u << 20))
            m_facade->EstimateFileSize(0, 1), m_queuedBytes = 0;
    }

    void Split(std::int64_t offset)
    {
        // "out.mp4" goes on in "out-001.mp4", "out-002.mp4", ...
        const fs::path output(m_settings.output);
        char counter[16];
        std::snprintf(counter, sizeof counter, "-%03d", static_cast<int>(m_parts.size()));
        const std::string path =
            (output.parent_path() / (output.stem().string() + counter + output.extension().string())).string();
        const std::uint64_t start = m_startTime + static_cast<std::uint64_t>(offset);
        m_parts.push_back({path}); // before the library makes it
        Part& previous = m_parts[m_parts.size() - 2];
        previous.bytes = m_audio ? m_facade->SplitMediaFileAudioVideo(ToUtf16(path), start, m_audio->FirstFrom(offset))
                                 : m_facade->SplitMediaFileVideo(ToUtf16(path), start);
        m_partStart = offset;
        m_nextSplit = (offset / *m_settings.splitTicks + 1) * *m_settings.splitTicks;
    }

    // At most four times a second in place, or every tenth of the input for logs; `last` clears the line.
    void ShowProgress(std::int64_t offset, bool last)
    {
        using Mode = ExportSettings::Progress;
        const Mode mode = m_settings.progress;
        const auto now = Clock::now();
        const double length = m_info.durationSeconds * kHostTicksPerSecond; // negative when unknown
        const double fraction = length > 0 ? std::min(offset / length, 1.0) : -1;
        const int tenth = fraction < 0 ? m_lastTenth : static_cast<int>(fraction * 10);
        if (last && mode == Mode::Line && m_lastProgress != Clock::time_point{})
            std::fputs("\r\033[K", stderr);
        if (last || mode == Mode::None ||
            (mode == Mode::Line ? now - m_lastProgress < std::chrono::milliseconds(250) : tenth == m_lastTenth))
            return;
        m_lastProgress = now;
        m_lastTenth = tenth;
        // The projection, in milliseconds of input, is for the file being written up to the next split.
        const std::int64_t end =
            std::min({std::int64_t(length), m_nextSplit, m_settings.stopTicks.value_or(m_nextSplit)});
        const std::int64_t done = fraction < 0 ? 0 : (offset - m_partStart) / 10'000;
        const std::int64_t remaining = std::max<std::int64_t>(end - offset, 0) / 10'000;
        char text[64];
        std::snprintf(text, sizeof text, "%.1f s elapsed", std::chrono::duration<double>(now - m_began).count());
        std::string line =
            m_info.name + ": " + (fraction >= 0 ? std::to_string(int(fraction * 100)) + "% of input, " : "") + text;
        if (done > 0) // a file just begun has nothing to project from
        {
            std::snprintf(text, sizeof text, ", %.1f MB projected for ",
                          static_cast<double>(m_facade->EstimateFileSize(remaining, done)) / 1e6);
            line += text + m_parts.back().path;
            m_queuedBytes = 0;
        }
        std::fprintf(stderr, mode == Mode::Line ? "\r\033[K%s" : "%s\n", line.c_str());
        std::fflush(stderr);
    }

    // After a failure: finishes the file if the library still can, else removes it; says which.
    std::string Salvage() noexcept
    {
        const auto succeeds = [](auto call) {
            try
            {
                call();
                return true;
            }
            catch (const std::exception&)
            {
                return false;
            }
        };
        std::string outcome;
        try
        {
            // The first call may rethrow the failure reported; the second finishes, a third closes.
            for (int attempt = 0; attempt < 3; ++attempt)
                if (succeeds([this] { m_facade->FinishMediaFile(); }))
                    break;
            succeeds([this] { m_facade->Stop(); }); // the worker must be waited for before the facade goes
            for (const Part& part : m_parts)
            {
                if (part.bytes > 0 || !Part::StampOf(part.path) || Part::StampOf(part.path) == part.before)
                    continue;
                std::int64_t frames = -1;
                if (succeeds([&] { frames = ReadBack(part.path).frames; }))
                {
                    outcome += "; finished '" + part.path + "' with the " + std::to_string(frames) +
                               " pictures written before";
                    continue;
                }
                std::error_code error, ignored;
                fs::remove(part.path, error);
                fs::remove(mpeg::Journal::PathFor(part.path), ignored); // without its file the journal recovers nothing
                outcome += (error ? "; could not remove the broken '" : "; removed the unfinished '") + part.path + "'";
            }
        }
        catch (...)
        {
            outcome += "; the output may be incomplete";
        }
        return outcome;
    }

    PacketSource& m_source;
    PacketSource& m_audioSource;
    const ExportSettings& m_settings;
    const SourceInfo& m_info;
    ExportResult m_result;
    std::shared_ptr<mpeg::IFfMpegFacade> m_facade;
    std::vector<Part> m_parts;
    mpeg::MediaPacketList m_batch;
    std::optional<AudioFeed> m_audio;
    std::uint64_t m_startTime = 0;
    std::int64_t m_partStart = 0; // offset at which the current file begins
    std::int64_t m_nextSplit = std::numeric_limits<std::int64_t>::max();
    std::size_t m_queuedBytes = 0; // handed over since the worker was last waited for
    Clock::time_point m_began = Clock::now(), m_lastProgress;
    int m_lastTenth = -1;
};
} // namespace

ExportResult Export(PacketSource& video, PacketSource& audio, const ExportSettings& settings)
{
    return ExportRun(video, audio, settings).Run();
}

} // namespace mpegexport
