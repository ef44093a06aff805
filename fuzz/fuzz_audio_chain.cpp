// The audio chain without the facade and its worker: one StreamProcessorAudio
// (ADTS filter, then a copy or an AudioTranscoder) built into an MP4 or MOV
// output written to memory, fed batches of packets decoded from the fuzzer's
// bytes, then drained and closed as the facade closes a file.
//
// Input: the stream description (bank item, then selectors for codec, rate,
// channels, container, offset, first packet header, extradata and how the
// filter is wired), then operations: a batch, or a single packet. Selectors
// below kUsual take what a well-behaved host passes.

#include "FuzzInput.h"
#include "FuzzSupport.h"

#include "container/FormatContext.h"
#include "errors/AvResult.h"
#include "transcoding/StreamProcessorAudio.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iostream>
#include <memory>

namespace
{
using namespace Fuzz;
using Mpeg::MediaPacket;
using Mpeg::MediaPacketList;

constexpr std::uint8_t kUsual = 160;
constexpr int kMaxOperations = 32;
constexpr std::size_t kMaxPackets = 512;

enum Operation : std::uint8_t
{
    kBatch,
    kSingle,
    kOperations
};

int Variant(std::uint8_t selector, int count)
{
    return selector < kUsual ? -1 : (selector - kUsual) % count;
}

// Gives an output context an in-memory file for the test's lifetime; the
// context's own destructor only knows how to close real files.
class MemoryFile
{
public:
    explicit MemoryFile(Mpeg::FormatContextOutput& output)
        : m_context(output.GetAvFormatContext())
    {
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    ~MemoryFile()
    {
        if (!m_context->pb)
            return;
        std::uint8_t* buffer = nullptr;
        avio_close_dyn_buf(m_context->pb, &buffer);
        av_free(buffer);
        m_context->pb = nullptr;
    }

    void Open()
    {
        Mpeg::CheckAvResult(avio_open_dyn_buf(&m_context->pb), "::avio_open_dyn_buf");
        Mpeg::CheckAvResult(avformat_write_header(m_context, nullptr), "::avformat_write_header");
    }

    void Close()
    {
        Mpeg::CheckAvResult(av_interleaved_write_frame(m_context, nullptr), "::av_interleaved_write_frame");
        Mpeg::CheckAvResult(av_write_trailer(m_context), "::av_write_trailer");
    }

private:
    AVFormatContext* m_context;
};

class Chain
{
public:
    explicit Chain(Reader& in)
        : m_in(in)
    {
    }

    void Run()
    {
        auto record = Record();
        const bool mov = m_in.Bool();
        const std::int32_t offset = Offset();
        const int wiring = Variant(m_in.U8(), 3);
        if (Tracing())
            std::cerr << (mov ? "mov" : "mp4") << ", offset " << offset << ", wiring " << wiring << '\n';

        Mpeg::FormatContextInput input;
        Mpeg::FormatContextOutput output(WideScratchDir() + (mov ? L"/chain.mov" : L"/chain.mp4"));
        std::unique_ptr<Mpeg::StreamProcessorAudio> processor;
        // Wired as the audio/video facade wires it, or one of the ways it must not be.
        const bool built = Tolerate([&] {
            auto stream = std::make_unique<Mpeg::StreamAudio>(0, input, *record);
            bool adts = stream->HasAdtsHeaders();
            if (wiring == 1)
                adts = !adts;
            const std::int32_t timeScale = record->timeScale;
            processor = std::make_unique<Mpeg::StreamProcessorAudio>(offset, timeScale, std::move(stream), kClockBase,
                                                                     adts, std::move(record));
            if (wiring == 0 || (wiring == -1 && adts))
                processor->InitBitstreamFilter();
            if (wiring == 2)
            {
                processor->InitBitstreamFilter();
                processor->InitBitstreamFilter();
            }
            processor->Build(output);
            const bool globalHeader = (output.GetAvFormatContext()->oformat->flags & AVFMT_GLOBALHEADER) != 0;
            processor->CreateSilentPacket(globalHeader);
        });
        if (!built)
            return;

        MemoryFile file(output);
        if (!Tolerate([&] { file.Open(); }))
            return;
        for (int i = 0; i < kMaxOperations && !m_in.Empty(); ++i)
        {
            const bool batch = m_in.U8() % kOperations == kBatch;
            MediaPacketList packets = Packets();
            if (Tracing())
            {
                std::cerr << (batch ? "batch of " : "one at a time: ") << packets.size() << " packets:";
                for (const auto& packet : packets)
                    std::cerr << ' ' << packet->timestamp << '/' << packet->data.size();
                std::cerr << '\n';
            }
            if (batch)
                Tolerate([&] { Write(output, processor->Process(std::move(packets))); });
            else
                for (const auto& packet : packets)
                    Tolerate([&] { Write(output, processor->ProcessPacket(*packet)); });
        }
        Tolerate([&] {
            if (processor->m_transcoder)
                Write(output, processor->m_transcoder->Flush());
            file.Close();
        });
    }

private:
    static void Write(Mpeg::FormatContextOutput& output, Mpeg::PacketSequence packets)
    {
        for (auto& packet : packets)
            output.WritePacket(packet->packet);
    }

    std::unique_ptr<Mpeg::StreamParametersAudio> Record()
    {
        const auto& bank = AudioBank();
        m_item = m_in.U8() % bank.size();
        const AudioItem& item = bank[m_item];
        auto record = std::make_unique<Mpeg::StreamParametersAudio>();
        record->startTime = kClockBase;

        const std::uint8_t codec = m_in.U8();
        record->codecId =
            codec < kUsual ? item.codec : static_cast<Mpeg::CodecIdAudio>((codec - kUsual) % 11 - 2);

        static const std::int32_t kRates[] = {8000,  16000, 22050, 24000, 32000, 44100, 48000,    96000,
                                              7350,  11025, 12000, 64000, 1,     0,     INT32_MAX, 192000};
        constexpr int kRateCount = sizeof kRates / sizeof kRates[0];
        record->timeScale = item.media.sampleRate;
        if (const int variant = Variant(m_in.U8(), kRateCount + 1); variant >= 0)
            record->timeScale = variant < kRateCount ? kRates[variant] : m_in.I32();

        switch (Variant(m_in.U8(), 5))
        {
        case 0: record->channels = 0; break;
        case 1: record->channels = 2; break;
        case 2: record->channels = -1; break;
        case 3: record->channels = 8; break;
        case 4: record->channels = m_in.U8(); break;
        default: break;
        }

        const Bytes& first = item.media.packets.front();
        switch (Variant(m_in.U8(), 4))
        {
        case 0: break;
        case 1: record->firstPacketHeader = Head(first, 3); break;
        case 2: record->firstPacketHeader = m_in.Take(m_in.U8() % 16); break;
        case 3: record->firstPacketHeader = Head(bank.front().media.packets.front()); break;
        default: record->firstPacketHeader = Head(first); break;
        }

        record->codecConfiguration.extraData = item.media.extradata;
        switch (Variant(m_in.U8(), 2))
        {
        case 0: record->codecConfiguration.extraData.clear(); break;
        case 1: record->codecConfiguration.extraData = m_in.Take(m_in.U8()); break;
        default: break;
        }
        m_clock = kClockBase;
        if (Tracing())
            std::cerr << "audio codec " << static_cast<int>(record->codecId) << " timeScale " << record->timeScale
                      << " channels " << record->channels << " header " << record->firstPacketHeader.size()
                      << " extradata " << record->codecConfiguration.extraData.size() << " bytes\n";
        return record;
    }

    std::int32_t Offset()
    {
        switch (Variant(m_in.U8(), 4))
        {
        case 0: return m_in.U8();
        case 1: return -static_cast<std::int32_t>(m_in.U16());
        case 2: return INT32_MAX;
        case 3: return m_in.I32();
        default: return 0;
        }
    }

    // The next bank packet, or something in its place.
    Bytes Data(const Bytes& next)
    {
        switch (Variant(m_in.U8(), 6))
        {
        case 0:
        {
            Bytes bytes = next;
            const std::uint16_t position = m_in.U16();
            const std::uint8_t mask = m_in.U8() | 1;
            if (!bytes.empty())
                bytes[position % bytes.size()] ^= mask;
            return bytes;
        }
        case 1: return m_in.Take(m_in.U8());
        case 2: return {};
        case 3: return Head(next, m_in.U8());
        case 4:
        {
            // A valid ADTS header in front of arbitrary payload.
            Bytes payload = m_in.Take(m_in.U8());
            Bytes bytes = TestMedia::AdtsHeader(8000, payload.size(), m_in.Bool());
            bytes.insert(bytes.end(), payload.begin(), payload.end());
            return bytes;
        }
        case 5:
        {
            // Two packets' data in one.
            Bytes bytes = next;
            const auto& packets = AudioBank()[m_item].media.packets;
            const Bytes& after = packets[m_next % packets.size()];
            bytes.insert(bytes.end(), after.begin(), after.end());
            ++m_next;
            return bytes;
        }
        default: return next;
        }
    }

    MediaPacketList Packets()
    {
        const AudioItem& item = AudioBank()[m_item];
        const std::uint64_t step = item.step;
        std::size_t count = std::min<std::size_t>(m_in.U8() % 17, m_packetsLeft);
        m_packetsLeft -= count;
        const int timing = Variant(m_in.U8(), 6);
        MediaPacketList list;
        for (; count > 0; --count)
        {
            Bytes data = Data(item.media.packets[m_next++ % item.media.packets.size()]);
            std::uint64_t at = m_clock;
            switch (timing)
            {
            case 0: // a hole of up to 255 packets before each packet
                at = m_clock += m_in.U8() * step;
                m_clock += step;
                break;
            case 1: break; // all at the same time
            case 2: // going backwards
                at = m_clock -= std::min(m_clock, step);
                break;
            case 3: // before the video started
                at = kClockBase - 1 - m_in.U16();
                break;
            case 4: // jitter of up to 12.8 ms either way
                at += static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(m_in.U8())) * 1000);
                m_clock += step;
                break;
            case 5: // anything
                at = m_in.U64();
                m_clock = at + step;
                break;
            default: m_clock += step; break;
            }
            // The packet split in two, both halves at the same time or the
            // second a little later.
            if (m_in.U8() >= 0xF0 && data.size() > 1)
            {
                const std::size_t cut = 1 + m_in.U16() % (data.size() - 1);
                Bytes tail(data.begin() + static_cast<std::ptrdiff_t>(cut), data.end());
                data.resize(cut);
                list.push_back(std::make_unique<MediaPacket>(MediaPacket{std::move(data), at}));
                list.push_back(std::make_unique<MediaPacket>(MediaPacket{std::move(tail), at + m_in.U8() * 1000u}));
                continue;
            }
            list.push_back(std::make_unique<MediaPacket>(MediaPacket{std::move(data), at}));
        }
        return list;
    }

    Reader& m_in;
    std::size_t m_item = 0;
    std::size_t m_next = 0;
    std::uint64_t m_clock = kClockBase;
    std::size_t m_packetsLeft = kMaxPackets;
};

std::vector<Bytes> MakeSeeds()
{
    std::vector<Bytes> seeds;
    for (std::size_t item = 0; item < AudioBank().size(); ++item)
        for (std::uint8_t mov : {0, 1})
            for (bool hole : {false, true})
            {
                Writer out;
                // Item, codec, rate, channels, header and extradata as the
                // bank has them; container; no offset; the facade's wiring.
                out.U8(static_cast<std::uint8_t>(item)).U8(0).U8(0).U8(0).U8(0).U8(0).U8(mov).U8(0).U8(0);
                for (int batch = 0; batch < 3; ++batch)
                {
                    out.U8(kBatch).U8(6).U8(hole && batch == 1 ? kUsual : 0);
                    for (int packet = 0; packet < 6; ++packet)
                    {
                        out.U8(0); // bank data
                        if (hole && batch == 1)
                            out.U8(3); // three packets missing before it
                        out.U8(0); // not split
                    }
                }
                seeds.push_back(out.Data());
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
    Chain(in).Run();
    return 0;
}
