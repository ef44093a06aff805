// Call sequences on both facades, decoded from the fuzzer's bytes.
//
// Input: a flags byte (bit 0: the audio/video facade; bit 1: release it at
// the end without finishing), then operations, each an operation byte and its
// arguments. Most arguments are one selector byte: below kUsual it takes what
// a well-behaved host passes (the media bank's packets, their timing, their
// codec's record), from kUsual on one of the values hosts get wrong, some
// followed by raw bytes.

#include "FuzzInput.h"
#include "FuzzSupport.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

namespace
{
using namespace Fuzz;
using Mpeg::CodecIdAudio;
using Mpeg::CodecIdVideo;
using Mpeg::MediaPacket;
using Mpeg::MediaPacketList;
using Mpeg::MediaType;

constexpr std::uint8_t kUsual = 160;
constexpr int kMaxOperations = 48;
constexpr std::size_t kMaxPackets = 256; // per input, both streams together

enum Operation : std::uint8_t
{
    kStart,
    kInitVideo,
    kInitAudio,
    kFinishInit,
    kAddVideo,
    kAddAudioVideo,
    kSplitVideo,
    kSplitAudioVideo,
    kEstimate,
    kStop,
    kFinish,
    kRecreate,
    kOperations
};

// Name selectors (the selector modulo 16 picks the kind of name).
constexpr std::uint8_t kNameMp4 = 0;
constexpr std::uint8_t kNameMov = 8;

// What an operation was given, for MPEGEXPORTER_FUZZ_TRACE.
void TraceRecord(const char* kind, int codec, const Mpeg::StreamParametersBase& record, int a, int b,
                 std::size_t extradata)
{
    if (Tracing())
        std::cerr << "  " << kind << " codec " << codec << " timeScale " << record.timeScale << " start "
                  << record.startTime << " (" << a << ", " << b << ") extradata " << extradata << " bytes\n";
}

void TracePackets(const char* kind, const MediaPacketList& packets)
{
    if (!Tracing())
        return;
    std::cerr << "  " << kind << " " << packets.size() << " packets:";
    for (const auto& packet : packets)
        std::cerr << ' ' << packet->timestamp << '/' << packet->data.size();
    std::cerr << '\n';
}

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
    explicit Session(Reader& in)
        : m_in(in)
    {
    }

    void Run()
    {
        const std::uint8_t flags = m_in.U8();
        m_facade = Mpeg::IFfMpegFacade::Create((flags & 1) != 0);
        for (int i = 0; i < kMaxOperations && !m_in.Empty(); ++i)
            Perform(static_cast<Operation>(m_in.U8() % kOperations));
        if ((flags & 2) == 0)
            Tolerate([&] { m_facade->FinishMediaFile(); });
        m_facade.reset();
    }

private:
    void Perform(Operation operation)
    {
        static const char* const kNames[] = {"start", "init video", "init audio", "finish init", "add video",
                                             "add audio/video", "split video", "split audio/video", "estimate",
                                             "stop", "finish", "recreate", ""};
        if (Tracing())
            std::cerr << kNames[operation] << '\n';
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
        {
            const std::wstring name = Name();
            const std::uint64_t start = SplitStart();
            if (Tracing())
                std::cerr << "  start " << start << '\n';
            Tolerate([&] { facade.SplitMediaFileVideo(name, start); });
            break;
        }
        case kSplitAudioVideo:
        {
            const std::wstring name = Name();
            const std::uint64_t start = SplitStart();
            const MediaPacket first = FirstAudioPacket();
            if (Tracing())
                std::cerr << "  start " << start << " first audio " << first.timestamp << '/' << first.data.size()
                          << '\n';
            Tolerate([&] { facade.SplitMediaFileAudioVideo(name, start, first); });
            break;
        }
        case kEstimate:
        {
            const int variant = Variant(m_in.U8(), 5);
            std::int64_t remaining = m_in.U8();
            std::int64_t done = m_in.U8();
            switch (variant)
            {
            case 0:
                remaining = m_in.I64();
                done = m_in.I64();
                break;
            case 1:
                remaining = INT64_MAX;
                done = 1;
                break;
            case 2:
                remaining = INT64_MIN;
                done = 1;
                break;
            case 3:
                remaining = -remaining;
                done = -done;
                break;
            case 4:
            {
                // A projection just under or over the largest size: what is
                // written so far times remaining / done near INT64_MAX.
                std::int64_t size = 0;
                Tolerate([&] { size = facade.EstimateFileSize(0, 1); });
                done = 1;
                remaining = INT64_MAX / std::max<std::int64_t>(size, 1) - remaining;
                break;
            }
            default: break;
            }
            if (Tracing())
                std::cerr << "  " << remaining << " remaining, " << done << " done\n";
            Tolerate([&] { facade.EstimateFileSize(remaining, done); });
            break;
        }
        case kStop: Tolerate([&] { facade.Stop(); }); break;
        case kFinish:
            Tolerate([&] {
                const std::int64_t size = facade.FinishMediaFile();
                if (Tracing())
                    std::cerr << "finished: " << size << " bytes\n";
            });
            break;
        case kRecreate:
            // Without waiting for the worker first: the facade must stop it.
            m_facade = Mpeg::IFfMpegFacade::Create(m_in.Bool());
            break;
        case kOperations: break;
        }
    }

    std::wstring Name()
    {
        std::wstring name = MakeName();
        if (Tracing())
        {
            std::string narrow;
            for (wchar_t c : name.substr(WideScratchDir().size()))
                narrow += c > 0 && c < 0x80 ? static_cast<char>(c) : '?';
            std::cerr << "  name " << narrow << '\n';
        }
        return name;
    }

    std::wstring MakeName()
    {
        const std::uint8_t selector = m_in.U8();
        const std::wstring base = WideScratchDir() + L"/f" + std::to_wstring(m_files++);
        const int kind = selector % 16;
        if (kind <= 6)
            return base + L".mp4";
        if (kind <= 12)
            return base + L".mov";
        if (kind == 13)
            return base + L".MP4";
        if (kind == 15)
            return base + static_cast<wchar_t>(m_in.U16()) + L".mov";
        static const wchar_t* const kOdd[] = {
            L".mkv", L".xyz", L"", L".m4v", L"/missing/f.mp4", L"\xD83C\xDFA5.mp4", L"\xD800.mp4", L"\xDC00.mov",
        };
        return base + kOdd[(selector >> 4) % 8];
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

    MediaType Type(MediaType usual)
    {
        switch (Variant(m_in.U8(), 2))
        {
        case 0: return usual == MediaType::Video ? MediaType::Audio : MediaType::Video;
        case 1: return static_cast<MediaType>(m_in.I32());
        default: return usual;
        }
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

    std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord()
    {
        const auto& bank = VideoBank();
        m_video = Track{m_in.U8() % bank.size()};
        const VideoItem& item = bank[m_video.item];
        auto record = std::make_unique<Mpeg::StreamParametersVideo>();

        const std::uint8_t codec = m_in.U8();
        record->codecId = codec < kUsual ? item.codec : static_cast<CodecIdVideo>((codec - kUsual) % 12 - 2);

        record->width = item.media.width;
        record->height = item.media.height;
        switch (Variant(m_in.U8(), 6))
        {
        case 0: record->width = record->height = 0; break;
        case 1: record->width = -record->width; break;
        case 2: std::swap(record->width, record->height); break;
        case 3:
            record->width = m_in.U8();
            record->height = m_in.U8();
            break;
        case 4:
            record->width = m_in.U16() % 4097;
            record->height = m_in.U16() % 4097;
            break;
        case 5:
            record->width = m_in.I32();
            record->height = m_in.I32();
            break;
        default: break;
        }

        static const std::int32_t kTimeScales[] = {1000, 90000, 30, 1, 0, -1, -25, INT32_MAX, INT32_MIN, 10'000'000,
                                                   24,   12800};
        constexpr int kTimeScaleCount = sizeof kTimeScales / sizeof kTimeScales[0];
        record->timeScale = item.fps;
        if (const int variant = Variant(m_in.U8(), kTimeScaleCount + 1); variant >= 0)
            record->timeScale = variant < kTimeScaleCount ? kTimeScales[variant] : m_in.I32();

        record->startTime = StartTime();

        switch (Variant(m_in.U8(), 5))
        {
        case 0: record->timestampOffset = m_in.U8(); break;
        case 1: record->timestampOffset = -static_cast<std::int32_t>(m_in.U8()); break;
        case 2: record->timestampOffset = INT32_MAX; break;
        case 3: record->timestampOffset = INT32_MIN; break;
        case 4: record->timestampOffset = m_in.I32(); break;
        default: break;
        }

        record->codecConfiguration.extraData = Extradata(item.media.extradata);
        record->codecConfiguration.mediaType = Type(MediaType::Video);
        TraceRecord("video", static_cast<int>(record->codecId), *record, record->width, record->height,
                    record->codecConfiguration.extraData.size());
        return record;
    }

    std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord()
    {
        const auto& bank = AudioBank();
        m_audio = Track{m_in.U8() % bank.size()};
        const AudioItem& item = bank[m_audio.item];
        auto record = std::make_unique<Mpeg::StreamParametersAudio>();

        const std::uint8_t codec = m_in.U8();
        record->codecId = codec < kUsual ? item.codec : static_cast<CodecIdAudio>((codec - kUsual) % 11 - 2);

        static const std::int32_t kRates[] = {8000, 16000, 22050, 44100, 48000,     96000,  7350,
                                              11025, 1,    0,     -1,    INT32_MAX, 192000};
        constexpr int kRateCount = sizeof kRates / sizeof kRates[0];
        record->timeScale = item.media.sampleRate;
        if (const int variant = Variant(m_in.U8(), kRateCount + 1); variant >= 0)
            record->timeScale = variant < kRateCount ? kRates[variant] : m_in.I32();

        switch (Variant(m_in.U8(), 6))
        {
        case 0: record->channels = 0; break;
        case 1: record->channels = 2; break;
        case 2: record->channels = -1; break;
        case 3: record->channels = 6; break;
        case 4: record->channels = m_in.U8(); break;
        case 5: record->channels = m_in.I32(); break;
        default: break;
        }

        switch (Variant(m_in.U8(), 2))
        {
        case 0: record->channelLayout = Mpeg::ChannelLayout::Undefined; break;
        case 1: record->channelLayout = static_cast<Mpeg::ChannelLayout>(m_in.I32()); break;
        default: break;
        }

        switch (Variant(m_in.U8(), 4))
        {
        case 0: record->blockAlign = 1; break;
        case 1: record->blockAlign = 2; break;
        case 2: record->blockAlign = -1; break;
        case 3: record->blockAlign = m_in.I32(); break;
        default: break;
        }

        record->startTime = StartTime();

        const Bytes& first = item.media.packets.front();
        switch (Variant(m_in.U8(), 6))
        {
        case 0: break;
        case 1: record->firstPacketHeader = Head(first, 2); break;
        case 2: record->firstPacketHeader = Head(first, 3); break;
        case 3: record->firstPacketHeader = Head(first, 7); break;
        case 4: record->firstPacketHeader = m_in.Take(m_in.U8() % 16); break;
        case 5: record->firstPacketHeader = Head(bank.front().media.packets.front()); break;
        default: record->firstPacketHeader = Head(first); break;
        }

        record->codecConfiguration.extraData = Extradata(item.media.extradata);
        record->codecConfiguration.mediaType = Type(MediaType::Audio);
        TraceRecord("audio", static_cast<int>(record->codecId), *record, record->channels,
                    static_cast<int>(record->firstPacketHeader.size()), record->codecConfiguration.extraData.size());
        return record;
    }

    const std::vector<Bytes>& BankPackets(const Track& track, bool video) const
    {
        return video ? VideoBank()[track.item].media.packets : AudioBank()[track.item].media.packets;
    }

    Bytes PacketData(Track& track, bool video)
    {
        const std::vector<Bytes>& packets = BankPackets(track, video);
        const Bytes& next = packets[track.next++ % packets.size()];
        switch (Variant(m_in.U8(), 6))
        {
        case 0: return Flipped(next);
        case 1: return m_in.Take(m_in.U8());
        case 2: return m_in.Take(m_in.U16() % 4096);
        case 3: return {};
        case 4: return Head(next, m_in.U8());
        case 5:
        {
            // A packet of another codec of the same kind.
            const Track other{m_in.U8() % (video ? VideoBank().size() : AudioBank().size())};
            const std::vector<Bytes>& foreign = BankPackets(other, video);
            return foreign[m_in.U8() % foreign.size()];
        }
        default: return next;
        }
    }

    MediaPacketList Packets(Track& track, bool video)
    {
        const std::size_t count = std::min<std::size_t>(m_in.U8() % 17, m_packetsLeft);
        m_packetsLeft -= count;
        const std::uint64_t step = video ? VideoBank()[track.item].step : AudioBank()[track.item].step;
        const int timing = Variant(m_in.U8(), 5);
        MediaPacketList list;
        for (std::size_t i = 0; i < count; ++i)
        {
            auto packet = std::make_unique<MediaPacket>();
            packet->data = PacketData(track, video);
            switch (timing)
            {
            case 0: // jitter of up to 12.8 ms either way
                packet->timestamp =
                    track.clock + static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(m_in.U8())) * 1000);
                track.clock += step;
                break;
            case 1: packet->timestamp = track.clock; break; // all at the same time
            case 2: // going backwards
                track.clock -= std::min(track.clock, step);
                packet->timestamp = track.clock;
                break;
            case 3: // a hole of up to 25.5 s before each packet
                track.clock += static_cast<std::uint64_t>(m_in.U8()) * 1'000'000;
                packet->timestamp = track.clock;
                track.clock += step;
                break;
            case 4:
            {
                static const std::uint64_t kOdd[] = {0, kClockBase - 1, UINT64_MAX};
                const std::uint8_t which = m_in.U8() % 4;
                packet->timestamp = which < 3 ? kOdd[which] : m_in.U64();
                track.clock = packet->timestamp + step;
                break;
            }
            default:
                packet->timestamp = track.clock;
                track.clock += step;
                break;
            }
            list.push_back(std::move(packet));
        }
        TracePackets(video ? "video" : "audio", list);
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

    MediaPacket FirstAudioPacket()
    {
        const std::vector<Bytes>& packets = BankPackets(m_audio, false);
        MediaPacket packet{packets[m_audio.next % packets.size()], m_audio.clock};
        switch (Variant(m_in.U8(), 4))
        {
        case 0: packet.data.clear(); break;
        case 1: packet.data = m_in.Take(m_in.U8() % 16); break;
        case 2: packet.timestamp = m_in.U64(); break;
        case 3: packet.data = Head(AudioBank().front().media.packets.front()); break;
        default: break;
        }
        return packet;
    }

    Reader& m_in;
    std::shared_ptr<Mpeg::IFfMpegFacade> m_facade;
    Track m_video;
    Track m_audio;
    std::size_t m_packetsLeft = kMaxPackets;
    int m_files = 0;
};

// Seeds: whole well-behaved exports through each bank item, written with the
// usual selector values (0).
class SeedWriter
{
public:
    explicit SeedWriter(bool withAudio) { m_out.U8(withAudio ? 1 : 0); }

    SeedWriter& Start(bool mov) { return Op(kStart).Name(mov); }
    SeedWriter& InitVideo(std::size_t item) { return Op(kInitVideo).Item(item).Zeros(7); }
    SeedWriter& InitAudio(std::size_t item) { return Op(kInitAudio).Item(item).Zeros(9); }
    SeedWriter& FinishInit() { return Op(kFinishInit); }
    SeedWriter& AddVideo(int count) { return Op(kAddVideo).List(count); }
    SeedWriter& AddAudioVideo(int video, int audio) { return Op(kAddAudioVideo).List(video).List(audio); }
    // Selector, then one remaining and one done.
    SeedWriter& Estimate() { return Op(kEstimate).Zeros(1).Put({1, 1}); }
    SeedWriter& SplitVideo(bool mov) { return Op(kSplitVideo).Name(mov).Zeros(1); }
    SeedWriter& SplitAudioVideo(bool mov) { return Op(kSplitAudioVideo).Name(mov).Zeros(2); }
    SeedWriter& Finish() { return Op(kFinish); }

    const Bytes& Data() const { return m_out.Data(); }

private:
    SeedWriter& Op(Operation operation) { return Put({operation}); }
    SeedWriter& Name(bool mov) { return Put({mov ? kNameMov : kNameMp4}); }
    SeedWriter& Item(std::size_t item) { return Put({static_cast<std::uint8_t>(item)}); }
    SeedWriter& Put(const Bytes& bytes)
    {
        m_out.Put(bytes);
        return *this;
    }
    SeedWriter& Zeros(int count) { return Put(Bytes(static_cast<std::size_t>(count), 0)); }
    // Count and timing selector, then the data selector of each packet.
    SeedWriter& List(int count) { return Put({static_cast<std::uint8_t>(count)}).Zeros(1 + count); }

    Writer m_out;
};

std::vector<Bytes> MakeSeeds()
{
    std::vector<Bytes> seeds;
    for (bool mov : {false, true})
    {
        for (std::size_t video = 0; video < VideoBank().size(); ++video)
            seeds.push_back(SeedWriter(false)
                                .Start(mov)
                                .InitVideo(video)
                                .FinishInit()
                                .AddVideo(4)
                                .Estimate()
                                .AddVideo(4)
                                .SplitVideo(mov)
                                .AddVideo(4)
                                .Finish()
                                .Data());
        for (std::size_t audio = 0; audio < AudioBank().size(); ++audio)
        {
            // About four pictures' worth of audio per batch.
            const auto perBatch = static_cast<int>((4 * VideoBank()[0].step + AudioBank()[audio].step - 1) /
                                                   AudioBank()[audio].step);
            seeds.push_back(SeedWriter(true)
                                .Start(mov)
                                .InitVideo(0)
                                .InitAudio(audio)
                                .FinishInit()
                                .AddAudioVideo(4, perBatch)
                                .AddAudioVideo(4, perBatch)
                                .SplitAudioVideo(mov)
                                .AddAudioVideo(4, perBatch)
                                .Finish()
                                .Data());
        }
    }
    return seeds;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Initialize();
    WriteSeedsIfAsked(MakeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    Session(in).Run();
    ClearScratch();
    return 0;
}
