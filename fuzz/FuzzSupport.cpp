#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <system_error>

extern "C" {
#include <libavutil/log.h>
}

namespace Fuzz
{
namespace
{
std::uint64_t Step(int samplesOrFrames, int perSecond)
{
    return static_cast<std::uint64_t>(samplesOrFrames) * kSecond / static_cast<std::uint64_t>(perSecond);
}

VideoItem Video(Mpeg::CodecIdVideo codec, const char* encoder, int width, int height, int frames, bool globalHeader,
                bool annexB = false)
{
    constexpr int kFps = 25;
    return VideoItem{codec, TestMedia::EncodeVideo(encoder, width, height, frames, kFps, 6, globalHeader, 0, annexB),
                     kFps, Step(1, kFps)};
}

AudioItem Audio(Mpeg::CodecIdAudio codec, const char* encoder, int rate, bool adts = false)
{
    TestMedia::EncodedStream media = TestMedia::EncodeTone(encoder, rate, 0.5, 440, adts);
    const std::uint64_t step = Step(media.frameSize, rate);
    return AudioItem{codec, std::move(media), step};
}

void RemoveScratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(ScratchDir(), ignored);
}
} // namespace

const std::vector<VideoItem>& VideoBank()
{
    static const std::vector<VideoItem> bank = [] {
        using Codec = Mpeg::CodecIdVideo;
        std::vector<VideoItem> items;
        items.push_back(Video(Codec::Mpeg4, "mpeg4", 64, 48, 12, false));
        items.push_back(Video(Codec::H263, "h263", 128, 96, 12, false));
        items.push_back(Video(Codec::Mjpeg, "mjpeg", 64, 48, 4, false));
        items.push_back(Video(Codec::Bmp, "bmp", 16, 16, 2, false));
        // Key pictures are told by libavcodec's parsers: each codec that has
        // one, in each form a host sends it (H.264 length-prefixed with avcC
        // and with start codes), with key and other pictures.
        if (TestMedia::HasEncoder("libx264"))
        {
            items.push_back(Video(Codec::H264, "libx264", 64, 48, 12, true));
            items.push_back(Video(Codec::H264, "libx264", 64, 48, 12, true, true));
        }
        if (TestMedia::HasEncoder("libx265"))
            items.push_back(Video(Codec::H265, "libx265", 64, 48, 12, true));
        return items;
    }();
    return bank;
}

const std::vector<AudioItem>& AudioBank()
{
    static const std::vector<AudioItem> bank = [] {
        using Codec = Mpeg::CodecIdAudio;
        std::vector<AudioItem> items;
        items.push_back(Audio(Codec::Aac, "aac", 8000, true));
        items.push_back(Audio(Codec::Aac, "aac", 48000, true));
        items.push_back(Audio(Codec::Aac, "aac", 16000, false));
        items.push_back(Audio(Codec::Mp2, "mp2", 16000));
        items.push_back(Audio(Codec::PcmMulaw, "pcm_mulaw", 8000));
        items.push_back(Audio(Codec::PcmAlaw, "pcm_alaw", 8000));
        items.push_back(Audio(Codec::PcmS16be, "pcm_s16be", 8000));
        items.push_back(Audio(Codec::G726, "g726", 8000));
        items.push_back(Audio(Codec::G726le, "g726le", 8000));
        return items;
    }();
    return bank;
}

Bytes Head(const Bytes& packet, std::size_t count)
{
    return Bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(std::min(count, packet.size())));
}

const std::filesystem::path& ScratchDir()
{
    static const std::filesystem::path path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "mpegexporter-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
        {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit(RemoveScratch);
        return std::filesystem::path(pattern);
    }();
    return path;
}

void ClearScratch()
{
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

std::wstring WideScratchDir()
{
    const std::string narrow = ScratchDir().string();
    return std::wstring(narrow.begin(), narrow.end());
}

bool Tracing()
{
    static const bool tracing = std::getenv("MPEGEXPORTER_FUZZ_TRACE") != nullptr;
    return tracing;
}

void Trace(const char* what)
{
    if (Tracing())
        std::cerr << "refused: " << what << '\n';
}

void Initialize()
{
    // Millions of refused inputs would otherwise each leave a log line.
    av_log_set_callback([](void*, int, const char*, va_list) {});
    VideoBank();
    AudioBank();
    ScratchDir();
}

void WriteSeedsIfAsked(const std::function<std::vector<Bytes>()>& makeSeeds)
{
    const char* dir = std::getenv("MPEGEXPORTER_FUZZ_SEEDS");
    if (!dir || !*dir)
        return;
    std::filesystem::create_directories(dir);
    const std::vector<Bytes> seeds = makeSeeds();
    for (std::size_t i = 0; i < seeds.size(); ++i)
    {
        const auto path = std::filesystem::path(dir) / ("seed-" + std::to_string(i));
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
        if (!out)
        {
            std::cerr << "cannot write " << path << '\n';
            std::exit(1);
        }
    }
    std::cerr << "wrote " << seeds.size() << " seeds to " << dir << '\n';
    std::exit(0);
}

} // namespace Fuzz
