#include "FuzzSupport.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

extern "C" {
#include <libavutil/log.h>
}

namespace Fuzz
{
namespace
{
VideoItem Video(Mpeg::CodecIdVideo codec, const char* encoder, int width, int height, int frames,
                bool globalHeader = false, bool annexB = false)
{
    return {codec, TestMedia::EncodeVideo(encoder, width, height, frames, 25, 6, globalHeader, 0, annexB),
            kSecond / 25};
}

AudioItem Audio(Mpeg::CodecIdAudio codec, const char* encoder, int rate, bool adts = false)
{
    TestMedia::EncodedStream media = TestMedia::EncodeTone(encoder, rate, 0.5, 440, adts);
    return {codec, media, static_cast<std::uint64_t>(media.frameSize) * kSecond / static_cast<std::uint64_t>(rate)};
}
} // namespace

const std::vector<VideoItem>& VideoBank()
{
    using Codec = Mpeg::CodecIdVideo;
    static const std::vector<VideoItem> bank = [] {
        std::vector<VideoItem> items{Video(Codec::Mpeg4, "mpeg4", 64, 48, 12), Video(Codec::H263, "h263", 128, 96, 12),
                                     Video(Codec::Mjpeg, "mjpeg", 64, 48, 4), Video(Codec::Bmp, "bmp", 16, 16, 2)};
        // Key pictures are told by libavcodec's parsers: H.264 in both forms
        // a host sends it (avcC and start codes), and H.265.
        for (const bool annexB : {false, true})
            if (TestMedia::HasEncoder("libx264"))
                items.push_back(Video(Codec::H264, "libx264", 64, 48, 12, true, annexB));
        if (TestMedia::HasEncoder("libx265"))
            items.push_back(Video(Codec::H265, "libx265", 64, 48, 12, true));
        return items;
    }();
    return bank;
}

const std::vector<AudioItem>& AudioBank()
{
    using Codec = Mpeg::CodecIdAudio;
    static const std::vector<AudioItem> bank{
        Audio(Codec::Aac, "aac", 8000, true), Audio(Codec::Aac, "aac", 48000, true), Audio(Codec::Aac, "aac", 16000),
        Audio(Codec::Mp2, "mp2", 16000), Audio(Codec::PcmMulaw, "pcm_mulaw", 8000), Audio(Codec::PcmAlaw, "pcm_alaw", 8000),
        Audio(Codec::PcmS16be, "pcm_s16be", 8000), Audio(Codec::G726, "g726", 8000), Audio(Codec::G726le, "g726le", 8000)};
    return bank;
}

const TestMedia::TempDir& Scratch()
{
    static const TestMedia::TempDir dir; // removed at exit
    return dir;
}

void ClearScratch()
{
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Scratch().Path(), ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

void Trace(const std::string& what)
{
    static const bool tracing = std::getenv("MPEGEXPORTER_FUZZ_TRACE") != nullptr;
    if (tracing)
        std::cerr << what << '\n';
}

void Initialize(const std::function<std::vector<Bytes>()>& makeSeeds)
{
    // Millions of refused inputs would otherwise each leave a log line.
    av_log_set_callback([](void*, int, const char*, va_list) {});
    VideoBank(), AudioBank(), Scratch();
    const char* dir = std::getenv("MPEGEXPORTER_FUZZ_SEEDS");
    if (!dir || !*dir)
        return;
    std::filesystem::create_directories(dir);
    const std::vector<Bytes> seeds = makeSeeds();
    for (std::size_t i = 0; i < seeds.size(); ++i)
    {
        std::ofstream out(std::filesystem::path(dir) / ("seed-" + std::to_string(i)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
        if (!out)
            std::exit((std::cerr << "cannot write the seeds to " << dir << '\n', 1));
    }
    std::cerr << "wrote " << seeds.size() << " seeds to " << dir << '\n';
    std::exit(0);
}

} // namespace Fuzz
