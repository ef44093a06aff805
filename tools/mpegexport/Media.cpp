// Codec and container names, output paths, and reading a written file back.

#include "Tool.h"

#include <strings.h>

namespace mpegexport
{
namespace
{
struct CodecEntry
{
    bool audio;
    AVCodecID av;
    int library; // mpeg::CodecIdVideo or mpeg::CodecIdAudio; -1: produced only, never taken
    const char* display;
    bool inMp4, inMov;
};

// In the order the help and error messages list them.
constexpr CodecEntry kCodecs[] = {
    {false, AV_CODEC_ID_H264, int(mpeg::CodecIdVideo::H264), "H.264", true, true},
    {false, AV_CODEC_ID_HEVC, int(mpeg::CodecIdVideo::H265), "H.265", true, true},
    {false, AV_CODEC_ID_MPEG4, int(mpeg::CodecIdVideo::Mpeg4), "MPEG-4", true, true},
    {false, AV_CODEC_ID_MJPEG, int(mpeg::CodecIdVideo::Mjpeg), "MJPEG", true, true},
    {false, AV_CODEC_ID_H263, int(mpeg::CodecIdVideo::H263), "H.263", false, true},
    {false, AV_CODEC_ID_BMP, int(mpeg::CodecIdVideo::Bmp), "BMP", false, false},
    {true, AV_CODEC_ID_AAC, int(mpeg::CodecIdAudio::Aac), "AAC", true, true},
    {true, AV_CODEC_ID_MP2, int(mpeg::CodecIdAudio::Mp2), "MP2", true, true},
    {true, AV_CODEC_ID_PCM_MULAW, int(mpeg::CodecIdAudio::PcmMulaw), "G.711 mu-law", false, true},
    {true, AV_CODEC_ID_PCM_ALAW, int(mpeg::CodecIdAudio::PcmAlaw), "G.711 A-law", false, true},
    {true, AV_CODEC_ID_ADPCM_G726, int(mpeg::CodecIdAudio::G726), "G.726", false, false},
    {true, AV_CODEC_ID_ADPCM_G726LE, int(mpeg::CodecIdAudio::G726le), "G.726 little-endian", false, false},
    {true, AV_CODEC_ID_PCM_S16BE, int(mpeg::CodecIdAudio::PcmS16be), "PCM S16BE", false, true},
    {true, AV_CODEC_ID_ADPCM_MS, -1, "Microsoft ADPCM", false, false},
};

const CodecEntry* Find(AVCodecID codec, bool audio)
{
    for (const CodecEntry& entry : kCodecs)
        if (entry.av == codec && entry.audio == audio && entry.library >= 0)
            return &entry;
    return nullptr;
}
} // namespace

void Check(int status, const std::string& what)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (status < 0)
        throw std::runtime_error(what + ": " + av_make_error_string(text, sizeof text, status));
}

const char* ContainerName(Container container)
{
    return container == Container::Mp4 ? "mp4" : "mov";
}

Container ContainerOf(const std::string& path)
{
    const std::string extension = std::filesystem::path(path).extension().string();
    if (strcasecmp(extension.c_str(), ".mp4") == 0 || strcasecmp(extension.c_str(), ".mov") == 0)
        return strcasecmp(extension.c_str(), ".mp4") == 0 ? Container::Mp4 : Container::Mov;
    throw std::runtime_error("'" + path + "': the output name must end in .mp4 or .mov");
}

std::string PartName(const std::string& path, int index)
{
    if (index == 0)
        return path;
    const std::filesystem::path p(path);
    char counter[16];
    std::snprintf(counter, sizeof counter, "-%03d", index);
    return (p.parent_path() / (p.stem().string() + counter + p.extension().string())).string();
}

std::wstring ToUtf16(const std::string& utf8)
{
    try
    {
        // On POSIX a path holds UTF-8, and converts to UTF-16 with the standard library's codecvt.
        const std::u16string units = std::filesystem::path(utf8).u16string();
        return std::wstring(units.begin(), units.end());
    }
    catch (const std::exception&)
    {
        throw std::runtime_error("the file name '" + utf8 + "' is not UTF-8");
    }
}

std::optional<int> LibraryCodec(AVCodecID codec, bool audio)
{
    const CodecEntry* entry = Find(codec, audio);
    return entry ? std::optional(entry->library) : std::nullopt;
}

std::string Unsupported(AVCodecID codec, bool audio)
{
    return std::string(audio ? "audio" : "video") + " codec " + avcodec_get_name(codec) +
           " is not supported (supported: " + SupportedCodecs(audio) + ")";
}

std::string SupportedCodecs(bool audio)
{
    std::string list;
    for (const CodecEntry& entry : kCodecs)
        if (entry.audio == audio && entry.library >= 0)
            list += (list.empty() ? "" : ", ") + std::string(entry.display);
    return list;
}

std::string DisplayName(AVCodecID codec)
{
    for (const CodecEntry& entry : kCodecs)
        if (entry.av == codec)
            return entry.display;
    return avcodec_get_name(codec);
}

AVCodecID OutputCodec(Container container, AVCodecID input, bool audio)
{
    const CodecEntry* entry = Find(input, audio);
    if (entry && (container == Container::Mp4 ? entry->inMp4 : entry->inMov))
        return input;
    return !audio ? AV_CODEC_ID_MPEG4 : container == Container::Mp4 ? AV_CODEC_ID_AAC : AV_CODEC_ID_ADPCM_MS;
}

WrittenFile ReadBack(const std::string& path, std::int64_t bytes)
{
    AVFormatContext* raw = nullptr;
    // The library wrote a file under this name, colons and all: no URL.
    int status = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr);
    InputContextPtr context(raw);
    if (status >= 0)
        status = avformat_find_stream_info(raw, nullptr); // FFmpeg 7.1 sets the duration only here
    Check(status, "cannot read back '" + path + "'");
    // The muxer leaves out a track without samples: no stream at all is complete for no pictures.
    const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video < 0 && audio < 0 && raw->nb_streams > 0)
        throw std::runtime_error("'" + path + "' has neither video nor audio");
    WrittenFile file;
    file.path = path;
    file.bytes = bytes;
    if (raw->duration != AV_NOPTS_VALUE)
        file.seconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
    if (audio >= 0)
        file.audioCodec = avcodec_get_name(raw->streams[audio]->codecpar->codec_id);
    // The index gives every sample's place in the file: a file cut short has
    // samples past its end. Reading the samples themselves would cost as much
    // as the export's own copy.
    const std::int64_t size = avio_size(raw->pb);
    for (unsigned i = 0; i < raw->nb_streams; ++i)
    {
        const int count = avformat_index_get_entries_count(raw->streams[i]);
        for (int n = 0; n < count; ++n)
        {
            const AVIndexEntry* sample = avformat_index_get_entry(raw->streams[i], n);
            if (sample->pos + sample->size > size)
                throw std::runtime_error("'" + path + "' is cut short: its index lists data past its end");
        }
        if (static_cast<int>(i) == video)
            file.frames = count;
        if (static_cast<int>(i) == audio)
            file.audioPackets = count;
    }
    if (audio >= 0 && raw->streams[audio]->duration != AV_NOPTS_VALUE)
    {
        const AVStream& stream = *raw->streams[audio];
        file.audioSeconds = static_cast<double>(stream.duration) * av_q2d(stream.time_base);
    }
    return file;
}

} // namespace mpegexport
