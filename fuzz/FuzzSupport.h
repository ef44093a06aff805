#pragma once

// What the harnesses share besides TestMedia: real media made once per
// process, so inputs reach the copy and transcode paths; the exceptions the
// library documents; and the start-up that can write the seeds instead.

#include "support/TestMedia.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

extern "C" {
#include <libavutil/log.h>
}

namespace Fuzz
{
using Bytes = TestMedia::Bytes;

// Host clock at which the harnesses start their streams (100-ns units).
constexpr std::uint64_t kClockBase = 130'000'000'000'000'000;
constexpr std::uint64_t kSecond = 10'000'000;

template <typename Codec>
struct Item
{
    Codec codec;
    TestMedia::EncodedStream media;
    std::uint64_t step; // host ticks between packets
};
using VideoItem = Item<Mpeg::CodecIdVideo>;

// A few pictures of each codec a host can declare. Key pictures of H.264 (in
// both forms a host sends it: avcC and start codes) and H.265 are told by
// libavcodec's parsers, so those are in where the encoders are.
inline const std::vector<VideoItem>& VideoBank()
{
    using Codec = Mpeg::CodecIdVideo;
    static const std::vector<VideoItem> bank = [] {
        std::vector<VideoItem> items;
        auto add = [&](Codec codec, const char* encoder, int width, int height, int frames, bool global = false,
                       bool annexB = false) {
            if (TestMedia::HasEncoder(encoder))
                items.push_back({codec, TestMedia::EncodeVideo(encoder, width, height, frames, 25, 6, global, 0, annexB),
                                 kSecond / 25});
        };
        add(Codec::Mpeg4, "mpeg4", 64, 48, 12);
        add(Codec::H263, "h263", 128, 96, 12);
        add(Codec::Mjpeg, "mjpeg", 64, 48, 4);
        add(Codec::Bmp, "bmp", 16, 16, 2);
        add(Codec::H264, "libx264", 64, 48, 12, true);
        add(Codec::H264, "libx264", 64, 48, 12, true, true);
        add(Codec::H265, "libx265", 64, 48, 12, true);
        return items;
    }();
    return bank;
}

// Runs one library call. The exceptions the library documents are its
// answers to bad input (false); anything else is a finding.
template <typename Call>
bool Tolerate(Call&& call)
{
    const std::string thrown = TestMedia::Thrown([&] { call(); });
    if (thrown.rfind("exception: ", 0) == 0)
        std::cerr << "undocumented " << thrown << '\n', std::abort();
    return thrown == "nothing";
}

// Silences FFmpeg's log (millions of refused inputs would each leave a line);
// with MPEGEXPORTER_FUZZ_SEEDS=<dir> set, writes the seeds there and exits.
template <typename MakeSeeds>
void Initialize(MakeSeeds makeSeeds)
{
    av_log_set_callback([](void*, int, const char*, va_list) {});
    const char* dir = std::getenv("MPEGEXPORTER_FUZZ_SEEDS");
    if (!dir || !*dir)
        return;
    std::filesystem::create_directories(dir);
    const std::vector<Bytes> seeds = makeSeeds();
    for (std::size_t i = 0; i < seeds.size(); ++i)
    {
        std::ofstream out(std::filesystem::path(dir) / ("seed-" + std::to_string(i)), std::ios::binary);
        if (!out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size())))
            std::exit((std::cerr << "cannot write the seeds to " << dir << '\n', 1));
    }
    std::cerr << "wrote " << seeds.size() << " seeds to " << dir << '\n';
    std::exit(0);
}

} // namespace Fuzz
