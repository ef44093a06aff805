#pragma once

// What the fault and file tests share: pictures and sound written into MP4 on
// either facade, in lists of five.

#include "support/TestMedia.h"

#include <filesystem>

namespace FacadeWrites
{
constexpr std::uint64_t kFrame = 400000; // 40 ms

// Both transcoded into MP4; at 4CIF forty pictures outgrow the muxer's write
// buffer, so a failing write happens on the worker, not only at the trailer.
inline const TestMedia::EncodedStream& Video()
{
    static const auto video = TestMedia::EncodeVideo("h263", 704, 576, 60);
    return video;
}

inline const TestMedia::EncodedStream& Pcm()
{
    static const auto audio = TestMedia::EncodeTone("pcm_s16be", 8000, 2.4, 440);
    return audio;
}

inline void Open(Mpeg::IFfMpegFacade& facade, bool withAudio, const std::filesystem::path& path)
{
    TestMedia::Open(facade, path, TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video()),
                    withAudio ? TestMedia::AudioRecord(Mpeg::CodecIdAudio::PcmS16be, 8000) : nullptr);
}

inline void Add(Mpeg::IFfMpegFacade& facade, bool withAudio, std::size_t first, std::size_t count)
{
    const std::vector<Mpeg::MediaPacket> audio = TestMedia::TimedAudio(Pcm());
    TestMedia::AddInLists(facade, Video(), first, first + count, 5, withAudio ? &audio : nullptr);
}

// Opens `path`, or (with `split`) splits into it, and writes pictures [from, from + 20).
inline void Write(Mpeg::IFfMpegFacade& facade, bool withAudio, const std::filesystem::path& path, bool split = false,
                  std::size_t from = 0)
{
    const std::uint64_t at = from * kFrame;
    if (split && withAudio)
        facade.SplitMediaFileAudioVideo(TestMedia::Wide(path), at, Mpeg::MediaPacket{Pcm().packets[2 * from], at});
    else if (split)
        facade.SplitMediaFileVideo(TestMedia::Wide(path), at);
    else
        Open(facade, withAudio, path);
    Add(facade, withAudio, from, 20);
}
} // namespace FacadeWrites
