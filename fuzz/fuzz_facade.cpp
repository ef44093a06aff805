// The facades driven by the fuzzer's bytes, built as two harnesses:
//  - fuzz_facade: call sequences on both facades. Input: a flags byte (bit 0:
//    the audio/video facade; bit 1: release it without finishing), then
//    operations, each an operation byte and its arguments.
//  - fuzz_audio_chain (FUZZ_AUDIO_CHAIN): the audio chain (ADTS filter, copy
//    or transcoder, fillers) in one export whose calls and video are a
//    well-behaved host's. Input: a flags byte (bit 0: MOV), the audio record,
//    then one audio list per batch of four pictures.
// Most arguments are one selector byte: below kUsual it takes what a
// well-behaved host passes (the media bank's packets, their timing, their
// codec's record), from kUsual on one of the values hosts get wrong, some
// followed by raw bytes.

#include "FuzzSupport.h"

#include <climits>
#include <iterator>

namespace
{
using namespace Fuzz;
using Mpeg::MediaPacket;
using Mpeg::MediaPacketList;

constexpr std::uint8_t kUsual = 160;
constexpr int kMaxOperations = 48;
constexpr std::size_t kMaxPackets = 256; // per input, both streams together

enum Operation : std::uint8_t
{
    kStart, kInitVideo, kInitAudio, kFinishInit, kAddVideo, kAddAudioVideo, kSplitVideo, kSplitAudioVideo,
    kEstimate, kStop, kFinish, kRecreate, kOperations
};

// The variant a selector asks for, or -1 for the usual value.
int Variant(std::uint8_t selector, int count)
{
    return selector < kUsual ? -1 : (selector - kUsual) % count;
}

// Where the next bank packet of a stream comes from, and the host clock.
struct Track
{
    std::size_t item = 0;
    std::size_t next = 0;
    std::uint64_t clock = kClockBase;
};

class Session
{
public:
    explicit Session(Reader& in) : m_in(in) {}

    void Run()
    {
        const std::uint8_t flags = m_in.U8();
#ifdef FUZZ_AUDIO_CHAIN
        m_facade = Mpeg::IFfMpegFacade::Create(true);
        Mpeg::IFfMpegFacade& facade = *m_facade;
        const std::wstring name = TestMedia::Wide(Scratch() / ((flags & 1) ? "chain.mov" : "chain.mp4"));
        auto audio = AudioRecord();
        if (!Tolerate([&] {
                facade.StartInitMediaFile(name);
                facade.InitStreamVideo(UsualVideoRecord());
                facade.InitStreamAudio(std::move(audio));
                facade.FinishInitMediaFile();
            }))
            return;
        for (int i = 0; i < kMaxOperations && !m_in.Empty(); ++i)
        {
            MediaPacketList video;
            for (int k = 0; k < 4; ++k, m_video.clock += VideoBank()[0].step)
                video.push_back(std::make_unique<MediaPacket>(MediaPacket{NextBankPacket(m_video, true), m_video.clock}));
            MediaPacketList sound = Packets(m_audio, false);
            Tolerate([&] { facade.AddPacketsAudioVideo(std::move(video), std::move(sound)); });
        }
        Tolerate([&] { facade.FinishMediaFile(); });
#else
        m_facade = Mpeg::IFfMpegFacade::Create((flags & 1) != 0);
        for (int i = 0; i < kMaxOperations && !m_in.Empty(); ++i)
            Perform(static_cast<Operation>(m_in.U8() % kOperations));
        if ((flags & 2) == 0)
            Tolerate([&] { m_facade->FinishMediaFile(); });
#endif
    }

private:
    void Perform(Operation operation)
    {
        static const char* const kNames[] = {"start", "init video", "init audio", "finish init", "add video",
                                             "add audio/video", "split video", "split audio/video", "estimate",
                                             "stop", "finish", "recreate"};
        Trace(kNames[operation]);
        Mpeg::IFfMpegFacade& facade = *m_facade;
        switch (operation)
        {
        case kStart:
        {
            const std::wstring name = Name();
            Tolerate([&] { facade.StartInitMediaFile(name); });
            break;
        }
        case kInitVideo:
        {
            auto record = VideoRecord();
            Tolerate([&] { facade.InitStreamVideo(std::move(record)); });
            break;
        }
        case kInitAudio:
        {
            auto record = AudioRecord();
            Tolerate([&] { facade.InitStreamAudio(std::move(record)); });
            break;
        }
        case kFinishInit: Tolerate([&] { facade.FinishInitMediaFile(); }); break;
        case kAddVideo:
        {
            MediaPacketList video = Packets(m_video, true);
            Tolerate([&] { facade.AddPacketsVideo(std::move(video)); });
            break;
        }
        case kAddAudioVideo:
        {
            MediaPacketList video = Packets(m_video, true);
            MediaPacketList audio = Packets(m_audio, false);
            Tolerate([&] { facade.AddPacketsAudioVideo(std::move(video), std::move(audio)); });
            break;
        }
        case kSplitVideo:
        case kSplitAudioVideo:
        {
            const std::wstring name = Name();
            const std::uint64_t start = SplitStart();
            if (operation == kSplitVideo)
            {
                Tolerate([&] { facade.SplitMediaFileVideo(name, start); });
                break;
            }
            const std::vector<Bytes>& bank = AudioBank()[m_audio.item].media.packets;
            MediaPacket first{bank[m_audio.next % bank.size()], m_audio.clock};
            switch (Variant(m_in.U8(), 4))
            {
            case 0: first.data.clear(); break;
            case 1: first.data = m_in.Take(m_in.U8() % 16); break;
            case 2: first.timestamp = m_in.U64(); break;
            case 3: first.data = Head(AudioBank().front().media.packets.front()); break;
            default: break;
            }
            Tolerate([&] { facade.SplitMediaFileAudioVideo(name, start, first); });
            break;
        }
        case kEstimate:
        {
            const int variant = Variant(m_in.U8(), 5);
            std::int64_t remaining = m_in.U8(), done = m_in.U8();
            if (variant == 0)
                remaining = static_cast<std::int64_t>(m_in.U64()), done = static_cast<std::int64_t>(m_in.U64());
            else if (variant == 1 || variant == 2)
                remaining = variant == 1 ? INT64_MAX : INT64_MIN, done = 1;
            else if (variant == 3)
                remaining = -remaining, done = -done;
            else if (variant == 4)
            {
                // A projection just under or over the largest size.
                std::int64_t size = 0;
                Tolerate([&] { size = facade.EstimateFileSize(0, 1); });
                done = 1;
                remaining = INT64_MAX / std::max<std::int64_t>(size, 1) - remaining;
            }
            Trace("  " + std::to_string(remaining) + " remaining, " + std::to_string(done) + " done");
            Tolerate([&] { facade.EstimateFileSize(remaining, done); });
            break;
        }
        case kStop: Tolerate([&] { facade.Stop(); }); break;
        case kFinish: Tolerate([&] { Trace("finished: " + std::to_string(facade.FinishMediaFile()) + " bytes"); }); break;
        case kRecreate:
            // Without waiting for the worker first: the facade must stop it.
            m_facade = Mpeg::IFfMpegFacade::Create(m_in.Bool());
            break;
        case kOperations: break;
        }
    }

    // A file in the scratch directory, mostly .mp4 or .mov.
    std::wstring Name()
    {
        const std::uint8_t selector = m_in.U8();
        std::wstring name = TestMedia::Wide(Scratch() / ("f" + std::to_string(m_files++)));
        static const wchar_t* const kOdd[] = {L".mkv", L".xyz", L"", L".m4v", L"/missing/f.mp4", L"\xD83C\xDFA5.mp4",
                                              L"\xD800.mp4", L"\xDC00.mov"};
        switch (selector % 16)
        {
        case 13: return name + L".MP4";
        case 14: return name + kOdd[(selector >> 4) % 8];
        case 15: // code units from the input: unpaired surrogates, beyond U+10FFFF, ...
            for (std::size_t n = m_in.U8() % 8; n > 0; --n)
                name += static_cast<wchar_t>(m_in.Bool() ? m_in.U16() : m_in.I32());
            return name + L".mov";
        default: return name + (selector % 16 <= 6 ? L".mp4" : L".mov");
        }
    }

    Bytes Extradata(const Bytes& usual)
    {
        switch (Variant(m_in.U8(), 4))
        {
        case 0: return {};
        case 1: return m_in.Take(m_in.U8());
        case 2: return Head(usual, m_in.U8());
        case 3: return Flipped(usual);
        default: return usual;
        }
    }

    Bytes Flipped(Bytes bytes)
    {
        const std::uint16_t position = m_in.U16();
        const std::uint8_t mask = m_in.U8() | 1;
        if (!bytes.empty())
            bytes[position % bytes.size()] ^= mask;
        return bytes;
    }

    // Any enumeration value: near the declared ones, or any 32 bits.
    template <typename Enum>
    Enum Enumerated(std::uint8_t selector, Enum usual, int declared)
    {
        const int variant = Variant(selector, declared + 4);
        return variant < 0 ? usual : static_cast<Enum>(variant < declared + 3 ? variant - 2 : m_in.I32());
    }

    std::uint64_t StartTime()
    {
        switch (Variant(m_in.U8(), 5))
        {
        case 0: return 0;
        case 1: return UINT64_MAX;
        case 2: return kClockBase + m_in.U32();
        case 3: return kClockBase - m_in.U32();
        case 4: return m_in.U64();
        default: return kClockBase;
        }
    }

    std::unique_ptr<Mpeg::StreamParametersVideo> UsualVideoRecord()
    {
        const VideoItem& item = VideoBank()[m_video.item];
        auto record = TestMedia::VideoRecord(item.codec, item.media, 25, kClockBase);
        return record;
    }

    std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord()
    {
        m_video = Track{m_in.U8() % VideoBank().size()};
        auto record = UsualVideoRecord();
        record->codecId = Enumerated(m_in.U8(), record->codecId, 8);
        switch (Variant(m_in.U8(), 6))
        {
        case 0: record->width = record->height = 0; break;
        case 1: record->width = -record->width; break;
        case 2: std::swap(record->width, record->height); break;
        case 3: record->width = m_in.U8(), record->height = m_in.U8(); break;
        case 4: record->width = m_in.U16() % 4097, record->height = m_in.U16() % 4097; break;
        case 5: record->width = m_in.I32(), record->height = m_in.I32(); break;
        default: break;
        }
        static const std::int32_t kTimeScales[] = {1000, 90000, 30, 1, 0, -1, -25, INT32_MAX, INT32_MIN, 10'000'000, 12800};
        if (const int variant = Variant(m_in.U8(), std::size(kTimeScales) + 1); variant >= 0)
            record->timeScale = variant < static_cast<int>(std::size(kTimeScales)) ? kTimeScales[variant] : m_in.I32();
        record->startTime = StartTime();
        static const std::int32_t kOffsets[] = {0, 1, -1, 255, -255, INT32_MAX, INT32_MIN};
        if (const int variant = Variant(m_in.U8(), std::size(kOffsets) + 1); variant >= 0)
            record->timestampOffset = variant < static_cast<int>(std::size(kOffsets)) ? kOffsets[variant] : m_in.I32();
        record->codecConfiguration.extraData = Extradata(record->codecConfiguration.extraData);
        record->codecConfiguration.mediaType = Enumerated(m_in.U8(), Mpeg::MediaType::Video, 2);
        Trace("  video codec " + std::to_string(static_cast<int>(record->codecId)) + " " +
              std::to_string(record->width) + "x" + std::to_string(record->height) + " timeScale " +
              std::to_string(record->timeScale) + " start " + std::to_string(record->startTime));
        return record;
    }

    std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord()
    {
        const auto& bank = AudioBank();
        m_audio = Track{m_in.U8() % bank.size()};
        const AudioItem& item = bank[m_audio.item];
        auto record = std::make_unique<Mpeg::StreamParametersAudio>();
        record->codecId = Enumerated(m_in.U8(), item.codec, 8);
        static const std::int32_t kRates[] = {8000, 16000, 22050, 44100, 48000, 96000, 7350, 11025, 11000,
                                              999,  1000,  384000, 384001, 1, 0, -1, INT32_MAX};
        record->timeScale = item.media.sampleRate;
        if (const int variant = Variant(m_in.U8(), std::size(kRates) + 1); variant >= 0)
            record->timeScale = variant < static_cast<int>(std::size(kRates)) ? kRates[variant] : m_in.I32();
        static const std::int32_t kChannels[] = {0, 2, -1, 6, 8, 16};
        if (const int variant = Variant(m_in.U8(), std::size(kChannels) + 1); variant >= 0)
            record->channels = variant < static_cast<int>(std::size(kChannels)) ? kChannels[variant] : m_in.U8();
        record->channelLayout = Enumerated(m_in.U8(), record->channelLayout, 1);
        if (const int variant = Variant(m_in.U8(), 4); variant >= 0)
            record->blockAlign = variant == 0 ? 1 : variant == 1 ? 2 : variant == 2 ? -1 : m_in.I32();
        record->startTime = StartTime();
        const Bytes& first = item.media.packets.front();
        switch (Variant(m_in.U8(), 5))
        {
        case 0: break;
        case 1: record->firstPacketHeader = Head(first, 2 + m_in.U8() % 6); break;
        case 2: record->firstPacketHeader = m_in.Take(m_in.U8() % 16); break;
        case 3: record->firstPacketHeader = Head(bank.front().media.packets.front()); break;
        case 4: record->firstPacketHeader = Flipped(Head(first)); break;
        default: record->firstPacketHeader = Head(first); break;
        }
        record->codecConfiguration.extraData = Extradata(item.media.extradata);
        record->codecConfiguration.mediaType = Enumerated(m_in.U8(), Mpeg::MediaType::Audio, 2);
        Trace("  audio codec " + std::to_string(static_cast<int>(record->codecId)) + " timeScale " +
              std::to_string(record->timeScale) + " channels " + std::to_string(record->channels) + " header " +
              std::to_string(record->firstPacketHeader.size()) + " bytes");
        return record;
    }

    const Bytes& NextBankPacket(Track& track, bool video)
    {
        const auto& packets = video ? VideoBank()[track.item].media.packets : AudioBank()[track.item].media.packets;
        return packets[track.next++ % packets.size()];
    }

    Bytes PacketData(Track& track, bool video)
    {
        const Bytes& next = NextBankPacket(track, video);
        switch (Variant(m_in.U8(), 8))
        {
        case 0: return Flipped(next);
        case 1: return m_in.Take(m_in.U8());
        case 2: return m_in.Take(m_in.U16() % 4096);
        case 3: return {};
        case 4: return Head(next, m_in.U8());
        case 5:
        {
            // A packet of another codec of the same kind.
            Track other{m_in.U8() % (video ? VideoBank().size() : AudioBank().size()), m_in.U8()};
            return NextBankPacket(other, video);
        }
        case 6:
        {
            // A valid ADTS header in front of anything.
            const Bytes payload = m_in.Take(m_in.U8());
            Bytes bytes = TestMedia::AdtsHeader(8000, payload.size(), m_in.Bool());
            bytes.insert(bytes.end(), payload.begin(), payload.end());
            return bytes;
        }
        case 7:
        {
            // Two packets in one.
            Bytes bytes = next;
            const Bytes& after = NextBankPacket(track, video);
            bytes.insert(bytes.end(), after.begin(), after.end());
            return bytes;
        }
        default: return next;
        }
    }

    MediaPacketList Packets(Track& track, bool video)
    {
        const std::size_t count = std::min<std::size_t>(m_in.U8() % 17, m_packetsLeft);
        m_packetsLeft -= count;
        const std::uint64_t step = video ? VideoBank()[track.item].step : AudioBank()[track.item].step;
        const int timing = Variant(m_in.U8(), 6);
        MediaPacketList list;
        std::string trace = std::string("  ") + (video ? "video" : "audio") + ":";
        for (std::size_t i = 0; i < count; ++i)
        {
            auto packet = std::make_unique<MediaPacket>(MediaPacket{PacketData(track, video), track.clock});
            switch (timing)
            {
            case 0: // jitter of up to 12.8 ms either way
                packet->timestamp += static_cast<std::uint64_t>(static_cast<std::int8_t>(m_in.U8()) * 1000);
                break;
            case 1: track.clock -= step; break; // all at the same time
            case 2: // going backwards
                track.clock -= std::min(track.clock, 2 * step);
                packet->timestamp = track.clock + step;
                break;
            case 3: // a hole of up to 25.5 s before the packet
                track.clock += m_in.U8() * 100'000ull;
                packet->timestamp = track.clock;
                break;
            case 4: // before the streams started
                packet->timestamp = kClockBase - 1 - m_in.U16();
                break;
            case 5:
            {
                static const std::uint64_t kOdd[] = {0, kClockBase - 1, UINT64_MAX};
                const std::uint8_t which = m_in.U8() % 4;
                packet->timestamp = track.clock = which < 3 ? kOdd[which] : m_in.U64();
                break;
            }
            default: break;
            }
            track.clock += step;
            trace += " " + std::to_string(packet->timestamp) + "/" + std::to_string(packet->data.size());
            list.push_back(std::move(packet));
        }
        Trace(trace);
        return list;
    }

    std::uint64_t SplitStart()
    {
        switch (Variant(m_in.U8(), 4))
        {
        case 0: return 0;
        case 1: return UINT64_MAX;
        case 2: return m_in.U64();
        case 3: return m_video.clock + m_in.U32();
        default: return m_video.clock;
        }
    }

    Reader& m_in;
    std::shared_ptr<Mpeg::IFfMpegFacade> m_facade;
    Track m_video;
    Track m_audio;
    std::size_t m_packetsLeft = kMaxPackets;
    int m_files = 0;
};

// Seeds: well-behaved exports through each bank item, with the usual
// selector values (0).
struct Seed
{
    Bytes bytes;
    Seed& Put(std::initializer_list<std::uint8_t> values) { return bytes.insert(bytes.end(), values), *this; }
    Seed& Zeros(std::size_t count) { return bytes.resize(bytes.size() + count), *this; }
    // Count and timing selector, then the data selector of each packet.
    Seed& List(std::size_t count) { return Put({static_cast<std::uint8_t>(count)}).Zeros(1 + count); }
};

std::vector<Bytes> MakeSeeds()
{
    std::vector<Bytes> seeds;
    for (const std::uint8_t mov : {0, 8}) // name selectors
        for (std::size_t audio = 0; audio < AudioBank().size(); ++audio)
        {
            // About four pictures' worth of audio per batch.
            const std::size_t perBatch = (4 * VideoBank()[0].step + AudioBank()[audio].step - 1) / AudioBank()[audio].step;
#ifdef FUZZ_AUDIO_CHAIN
            for (const bool hole : {false, true})
            {
                Seed seed;
                seed.Put({static_cast<std::uint8_t>(mov != 0), static_cast<std::uint8_t>(audio)}).Zeros(9);
                for (int batch = 0; batch < 3; ++batch)
                    if (hole && batch == 1)
                        seed.Put({static_cast<std::uint8_t>(perBatch), kUsual + 3, 0, 20}).Zeros(2 * (perBatch - 1));
                    else
                        seed.List(perBatch);
                seeds.push_back(seed.bytes);
            }
#else
            Seed seed;
            seed.Put({1, kStart, mov, kInitVideo}).Zeros(8).Put({kInitAudio, static_cast<std::uint8_t>(audio)}).Zeros(9);
            seed.Put({kFinishInit, kAddAudioVideo}).List(4).List(perBatch).Put({kEstimate, 0, 1, 1});
            seed.Put({kSplitAudioVideo, mov, 0, 0, kAddAudioVideo}).List(4).List(perBatch).Put({kFinish});
            seeds.push_back(seed.bytes);
            if (audio >= VideoBank().size()) // and a video-only export of each video item
                continue;
            Seed video;
            video.Put({0, kStart, mov, kInitVideo, static_cast<std::uint8_t>(audio)}).Zeros(7);
            video.Put({kFinishInit, kAddVideo}).List(4).Put({kEstimate, 0, 1, 1, kAddVideo}).List(4);
            video.Put({kSplitVideo, mov, 0, kAddVideo}).List(4).Put({kFinish});
            seeds.push_back(video.bytes);
#endif
        }
    return seeds;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Initialize(MakeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    Session(in).Run();
    ClearScratch();
    return 0;
}
