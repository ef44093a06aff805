// The facades driven by the fuzzer's bytes, built as two harnesses:
//  - fuzz_facade: call sequences on both facades. Input: a flags byte (bit 0:
//    audio/video facade; bit 1: release it unfinished), then operations.
//  - fuzz_audio_chain (FUZZ_AUDIO_CHAIN): the audio chain in one export whose
//    calls and video are a well-behaved host's. Input: a flags byte (bit 0:
//    MOV), the audio record, then one audio list per four pictures.
// Most arguments are a selector byte: below kUsual what a well-behaved host
// passes (the media bank's packets, timing and record), from kUsual on one of
// the values hosts get wrong, some followed by raw bytes.

#include "FuzzSupport.h"

#include <climits>
#include <tuple>

namespace
{
using namespace Fuzz;
using Mpeg::MediaPacket;
using Mpeg::MediaPacketList;

// Little-endian values from the input's front, zeros past its end, so every
// input is a complete program.
class Reader
{
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_position >= m_size; }
    std::uint8_t U8() { return Empty() ? 0 : m_data[m_position++]; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | U8() << 8); }
    std::uint32_t U32() { return U16() | static_cast<std::uint32_t>(U16()) << 16; }
    std::uint64_t U64() { return U32() | static_cast<std::uint64_t>(U32()) << 32; }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    bool Bool() { return (U8() & 1) != 0; }
    // Up to `count` bytes, fewer when the input ends first.
    Bytes Take(std::size_t count)
    {
        count = std::min(count, m_size - std::min(m_position, m_size));
        m_position += count;
        return Bytes(m_data + m_position - count, m_data + m_position);
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

using AudioItem = Item<Mpeg::CodecIdAudio>;

// Half a second of each audio codec a host can declare, AAC with and without ADTS.
const std::vector<AudioItem>& AudioBank()
{
    using Codec = Mpeg::CodecIdAudio;
    static const std::vector<AudioItem> bank = [] {
        std::vector<AudioItem> items;
        for (const auto& [codec, encoder, rate, adts] : std::initializer_list<std::tuple<Codec, const char*, int, bool>>{
                 {Codec::Aac, "aac", 8000, true}, {Codec::Aac, "aac", 48000, true}, {Codec::Aac, "aac", 16000, false},
                 {Codec::Mp2, "mp2", 16000, false}, {Codec::PcmMulaw, "pcm_mulaw", 8000, false},
                 {Codec::PcmAlaw, "pcm_alaw", 8000, false}, {Codec::PcmS16be, "pcm_s16be", 8000, false},
                 {Codec::G726, "g726", 8000, false}, {Codec::G726le, "g726le", 8000, false}})
        {
            TestMedia::EncodedStream media = TestMedia::EncodeTone(encoder, rate, 0.5, 440, adts);
            const auto step = static_cast<std::uint64_t>(media.frameSize) * kSecond / static_cast<std::uint64_t>(rate);
            items.push_back({codec, std::move(media), step});
        }
        return items;
    }();
    return bank;
}

// The first bytes of a packet, as hosts fill firstPacketHeader.
Bytes Head(const Bytes& packet, std::size_t count = 8)
{
    return Bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(std::min(count, packet.size())));
}

constexpr std::uint8_t kUsual = 160;
constexpr int kMaxOperations = 48;
constexpr std::size_t kMaxPackets = 256; // per input, both streams together

enum Operation : std::uint8_t
{
    kStart, kInitVideo, kInitAudio, kFinishInit, kAddVideo, kAddAudioVideo, kSplitVideo, kSplitAudioVideo,
    kEstimate, kStop, kFinish, kRecreate, kOperations
};

// The variant a selector asks for, or -1 for the usual value.
int Variant(std::uint8_t selector, int count) { return selector < kUsual ? -1 : (selector - kUsual) % count; }

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
        auto audio = AudioRecord();
        const auto path = m_dir / ((flags & 1) ? "chain.mov" : "chain.mp4");
        const bool opened = Tolerate([&] { TestMedia::Open(facade, path, UsualVideoRecord(), std::move(audio)); });
        for (int i = 0; opened && i < kMaxOperations && !m_in.Empty(); ++i)
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
        Mpeg::IFfMpegFacade& facade = *m_facade;
        // Arguments are taken from the input before the call, whatever it does.
        switch (operation)
        {
        case kStart: Tolerate([&, name = Name()] { facade.StartInitMediaFile(name); }); break;
        case kInitVideo: Tolerate([&, record = VideoRecord()]() mutable { facade.InitStreamVideo(std::move(record)); }); break;
        case kInitAudio: Tolerate([&, record = AudioRecord()]() mutable { facade.InitStreamAudio(std::move(record)); }); break;
        case kFinishInit: Tolerate([&] { facade.FinishInitMediaFile(); }); break;
        case kAddVideo: Tolerate([&, video = Packets(m_video, true)]() mutable { facade.AddPacketsVideo(std::move(video)); }); break;
        case kAddAudioVideo:
        {
            MediaPacketList video = Packets(m_video, true);
            Tolerate([&, audio = Packets(m_audio, false)]() mutable {
                facade.AddPacketsAudioVideo(std::move(video), std::move(audio));
            });
            break;
        }
        case kSplitVideo:
        case kSplitAudioVideo:
        {
            const std::wstring name = Name();
            const std::uint64_t start = HostTime(m_video.clock);
            if (operation == kSplitVideo)
                return static_cast<void>(Tolerate([&] { facade.SplitMediaFileVideo(name, start); }));
            const MediaPacket first{PacketData(m_audio, false), Variant(m_in.U8(), 2) == 0 ? m_in.U64() : m_audio.clock};
            Tolerate([&] { facade.SplitMediaFileAudioVideo(name, start, first); });
            break;
        }
        case kEstimate:
        {
            const int variant = Variant(m_in.U8(), 4);
            std::int64_t remaining = m_in.U8(), done = variant == 1 ? -1 : 1;
            if (variant == 0)
                remaining = static_cast<std::int64_t>(m_in.U64()), done = static_cast<std::int64_t>(m_in.U64());
            else if (variant == 2)
                remaining = m_in.Bool() ? INT64_MAX : INT64_MIN;
            else if (variant == 3) // a projection just under or over the largest size
                Tolerate([&] { remaining = INT64_MAX / std::max<std::int64_t>(facade.EstimateFileSize(0, 1), 1) - remaining; });
            Tolerate([&] { facade.EstimateFileSize(remaining, done); });
            break;
        }
        case kStop: Tolerate([&] { facade.Stop(); }); break;
        case kFinish: Tolerate([&] { facade.FinishMediaFile(); }); break;
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
        std::wstring name = TestMedia::Wide(m_dir / ("f" + std::to_string(m_files++)));
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
        const int variant = Variant(m_in.U8(), 4);
        return variant == 0 ? Bytes{} : variant == 1 ? m_in.Take(m_in.U8()) : variant == 2 ? Head(usual, m_in.U8())
             : variant == 3 ? Flipped(usual) : usual;
    }

    Bytes Flipped(Bytes bytes)
    {
        const std::uint16_t position = m_in.U16();
        const std::uint8_t mask = m_in.U8() | 1;
        return bytes.empty() ? bytes : (bytes[position % bytes.size()] ^= mask, bytes);
    }

    // The usual value, one of `odd`, or (the last variant) any 32 bits.
    template <typename T, std::size_t N>
    T Pick(T usual, const std::int64_t (&odd)[N])
    {
        const int variant = Variant(m_in.U8(), N + 1);
        return static_cast<T>(variant < 0 ? static_cast<std::int64_t>(usual) : variant < int(N) ? odd[variant] : m_in.I32());
    }

    // `usual`, or the clock's first or last value, a little after or before `usual`, or any.
    std::uint64_t HostTime(std::uint64_t usual)
    {
        const int variant = Variant(m_in.U8(), 5);
        return variant == 0 ? 0 : variant == 1 ? UINT64_MAX : variant == 2 ? usual + m_in.U32()
             : variant == 3 ? usual - m_in.U32() : variant == 4 ? m_in.U64() : usual;
    }

    std::unique_ptr<Mpeg::StreamParametersVideo> UsualVideoRecord()
    {
        const VideoItem& item = VideoBank()[m_video.item];
        return TestMedia::VideoRecord(item.codec, item.media, 25, kClockBase);
    }

    static constexpr std::int64_t kCodecs[] = {-2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    static constexpr std::int64_t kMediaTypes[] = {-1, 0, 1, 2};

    std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord()
    {
        m_video = Track{m_in.U8() % VideoBank().size()};
        auto record = UsualVideoRecord();
        record->codecId = Pick(record->codecId, kCodecs);
        switch (Variant(m_in.U8(), 5))
        {
        case 0: record->width = record->height = 0; break;
        case 1: record->width = -record->width; break;
        case 2: std::swap(record->width, record->height); break;
        case 3: record->width = m_in.U16() % 4097, record->height = m_in.U16() % 4097; break;
        case 4: record->width = m_in.I32(), record->height = m_in.I32(); break;
        default: break;
        }
        record->timeScale = Pick(record->timeScale, {1000, 90000, 30, 1, 0, -1, -25, INT32_MAX, INT32_MIN, 10'000'000});
        record->startTime = HostTime(kClockBase);
        record->timestampOffset = Pick(record->timestampOffset, {1, -1, 255, -255, INT32_MAX, INT32_MIN});
        record->codecConfiguration.extraData = Extradata(record->codecConfiguration.extraData);
        record->codecConfiguration.mediaType = Pick(Mpeg::MediaType::Video, kMediaTypes);
        return record;
    }

    std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord()
    {
        m_audio = Track{m_in.U8() % AudioBank().size()};
        const AudioItem& item = AudioBank()[m_audio.item];
        auto record = std::make_unique<Mpeg::StreamParametersAudio>();
        record->codecId = Pick(item.codec, kCodecs);
        record->timeScale = Pick(item.media.sampleRate,
                                 {8000, 16000, 22050, 48000, 96000, 7350, 11000, 999, 1000, 384000, 384001, 0, -1});
        record->channels = Pick(1, {0, 2, -1, 6, 8, 16});
        record->channelLayout = Pick(Mpeg::ChannelLayout::Mono, {-2, -1, 1});
        record->blockAlign = Pick(0, {1, 2, -1});
        record->startTime = HostTime(kClockBase);
        const Bytes& first = item.media.packets.front();
        const int header = Variant(m_in.U8(), 4);
        record->firstPacketHeader = header == 0 ? Head(first, 2 + m_in.U8() % 6) : header == 1 ? m_in.Take(m_in.U8() % 16)
                                  : header == 2 ? Head(AudioBank().front().media.packets.front())
                                  : header == 3 ? Flipped(Head(first)) : Head(first);
        record->codecConfiguration.extraData = Extradata(item.media.extradata);
        record->codecConfiguration.mediaType = Pick(Mpeg::MediaType::Audio, kMediaTypes);
        return record;
    }

    static const Bytes& NextBankPacket(Track& track, bool video)
    {
        const auto& packets = video ? VideoBank()[track.item % VideoBank().size()].media.packets
                                    : AudioBank()[track.item % AudioBank().size()].media.packets;
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
        case 5: // a packet of another codec of the same kind
        {
            Track other{m_in.U8(), m_in.U8()};
            return NextBankPacket(other, video);
        }
        case 6: // a valid ADTS header in front of anything
        {
            Bytes payload = m_in.Take(m_in.U8()), bytes = TestMedia::AdtsHeader(8000, payload.size(), m_in.Bool());
            return bytes.insert(bytes.end(), payload.begin(), payload.end()), bytes;
        }
        case 7: // two packets in one
        {
            Bytes bytes = next;
            const Bytes& after = NextBankPacket(track, video);
            return bytes.insert(bytes.end(), after.begin(), after.end()), bytes;
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
        for (std::size_t i = 0; i < count; ++i)
        {
            auto packet = std::make_unique<MediaPacket>(MediaPacket{PacketData(track, video), track.clock});
            switch (timing)
            {
            case 0: packet->timestamp += static_cast<std::uint64_t>(std::int8_t(m_in.U8()) * 1000); break; // jitter
            case 1: track.clock -= step; break; // all at the same time
            case 2: // going backwards
                track.clock -= std::min(track.clock, 2 * step);
                packet->timestamp = track.clock + step;
                break;
            case 3: // a hole of up to 25.5 s before the packet
                track.clock += m_in.U8() * 100'000ull;
                packet->timestamp = track.clock;
                break;
            case 4: packet->timestamp = kClockBase - 1 - m_in.U16(); break; // before the streams started
            case 5: packet->timestamp = track.clock = m_in.Bool() ? UINT64_MAX - m_in.U8() : m_in.U64(); break;
            default: break;
            }
            track.clock += step;
            list.push_back(std::move(packet));
        }
        return list;
    }

    Reader& m_in;
    const TestMedia::TempDir m_dir; // outlives the facade, which may still be writing into it
    std::shared_ptr<Mpeg::IFfMpegFacade> m_facade;
    Track m_video;
    Track m_audio;
    std::size_t m_packetsLeft = kMaxPackets;
    int m_files = 0;
};

// Seeds: well-behaved exports through each bank item (selectors 0: usual).
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
            Seed seed;
#ifdef FUZZ_AUDIO_CHAIN
            seed.Put({static_cast<std::uint8_t>(mov != 0), static_cast<std::uint8_t>(audio)}).Zeros(9);
            seeds.push_back(seed.List(perBatch).List(perBatch).List(perBatch).bytes);
#else
            seed.Put({1, kStart, mov, kInitVideo}).Zeros(8).Put({kInitAudio, static_cast<std::uint8_t>(audio)}).Zeros(9);
            seed.Put({kFinishInit, kAddAudioVideo}).List(4).List(perBatch).Put({kEstimate, 0, 1});
            seed.Put({kSplitAudioVideo, mov, 0, 0, 0, kAddAudioVideo}).List(4).List(perBatch).Put({kFinish});
            seeds.push_back(seed.bytes);
            if (audio >= VideoBank().size()) // and a video-only export of each video item
                continue;
            Seed video;
            video.Put({0, kStart, mov, kInitVideo, static_cast<std::uint8_t>(audio)}).Zeros(7);
            video.Put({kFinishInit, kAddVideo}).List(4).Put({kEstimate, 0, 1, kAddVideo}).List(4);
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
    VideoBank(), AudioBank(); // made before the first input, not inside it
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    Session(in).Run();
    return 0;
}
