// Enumeration mapping, record validation and the file-name converter, decoded
// from the fuzzer's bytes: each operation is one byte and its arguments.
// Besides the sanitizers, two properties are checked: a converted file name
// decodes back to exactly the code points it stands for, and a sample format
// chosen for an encoder is one the encoder lists.

#include "FuzzInput.h"
#include "FuzzSupport.h"

#include "container/AvCompat.h"
#include "container/FormatContext.h"
#include "container/Utf16.h"
#include "streams/Stream.h"
#include "streams/StreamProcessorVideo.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace
{
using namespace Fuzz;

constexpr int kMaxOperations = 64;

enum Operation : std::uint8_t
{
    kMediaType,
    kVideoCodec,
    kAudioCodec,
    kChannelLayout,
    kSampleFormat,
    kVideoStream,
    kAudioStream,
    kFileName,
    kOutputContext,
    kArithmetic,
    kOperations
};

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

// An enumeration value: mostly near the declared ones, sometimes anything.
std::int32_t EnumValue(Reader& in)
{
    const std::uint8_t selector = in.U8();
    return selector < 0xF0 ? static_cast<std::int32_t>(selector % 16) - 3 : in.I32();
}

std::int32_t Interesting(Reader& in)
{
    static const std::int32_t kValues[] = {0, 1, -1, 2, 8000, 25, 48000, INT32_MAX, INT32_MIN, 65536, 1 << 30, 64, 48};
    constexpr int kCount = sizeof kValues / sizeof kValues[0];
    const std::uint8_t selector = in.U8();
    if (selector < kCount * 16)
        return kValues[selector % kCount];
    return in.I32();
}

const std::vector<const AVCodec*>& Encoders()
{
    static const std::vector<const AVCodec*> encoders = [] {
        std::vector<const AVCodec*> list;
        void* state = nullptr;
        while (const AVCodec* codec = av_codec_iterate(&state))
            if (av_codec_is_encoder(codec))
                list.push_back(codec);
        return list;
    }();
    return encoders;
}

// The code points a UTF-16 file name stands for, or nothing when it is not
// valid UTF-16 (with whole code points allowed per element).
std::optional<std::vector<std::uint32_t>> CodePoints(const std::wstring& text)
{
    std::vector<std::uint32_t> points;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit > 0x10FFFF || (unit >= 0xDC00 && unit <= 0xDFFF))
            return std::nullopt;
        if (unit >= 0xD800 && unit <= 0xDBFF)
        {
            const auto low = i + 1 < text.size() ? static_cast<std::uint32_t>(text[i + 1]) : 0;
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            points.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            ++i;
        }
        else
            points.push_back(unit);
    }
    return points;
}

// Strict UTF-8 decoding: shortest forms only, no surrogates, nothing above
// U+10FFFF. Nothing when the bytes are not such UTF-8.
std::optional<std::vector<std::uint32_t>> DecodeUtf8(const std::string& text)
{
    std::vector<std::uint32_t> points;
    for (std::size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        const int length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return std::nullopt;
        std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k)
        {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            point = point << 6 | (next & 0x3F);
        }
        static const std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return std::nullopt;
        points.push_back(point);
        i += length;
    }
    return points;
}

std::wstring FileName(Reader& in)
{
    std::wstring name;
    const std::size_t length = in.U8() % 24;
    for (std::size_t i = 0; i < length; ++i)
    {
        const std::uint8_t kind = in.U8();
        if (kind < 0x80)
            name += static_cast<wchar_t>(L"abc.mp4ov/_"[kind % 11]);
        else if (kind < 0xC0)
            name += static_cast<wchar_t>(0xD800 + in.U16() % 0x800); // surrogates
        else if (kind < 0xF0)
            name += static_cast<wchar_t>(in.U16());
        else
            name += static_cast<wchar_t>(in.I32());
    }
    return name;
}

void CheckFileName(const std::wstring& name)
{
    const std::optional<std::vector<std::uint32_t>> expected = CodePoints(name);
    std::string utf8;
    const bool converted = Tolerate([&] { utf8 = Mpeg::Utf16ToUtf8(name); });
    if (converted != expected.has_value())
        Fail(converted ? "an invalid file name was converted" : "a valid file name was refused");
    if (converted && DecodeUtf8(utf8) != expected)
        Fail("the converted file name does not decode to its code points");
}

Bytes SomeBytes(Reader& in)
{
    return in.Take(in.U8() % 64);
}

void FillBase(Reader& in, Mpeg::StreamParametersBase& record)
{
    record.timeScale = Interesting(in);
    record.startTime = in.Bool() ? in.U64() : kClockBase;
    Mpeg::CodecConfiguration& configuration = record.GetCodecConfiguration();
    configuration.mediaType = static_cast<Mpeg::MediaType>(EnumValue(in));
    configuration.extraData = SomeBytes(in);
}

class Records
{
public:
    explicit Records(Reader& in)
        : m_in(in)
    {
    }

    void Run()
    {
        for (int i = 0; i < kMaxOperations && !m_in.Empty(); ++i)
            Perform(static_cast<Operation>(m_in.U8() % kOperations));
    }

private:
    // Made on first use: most inputs never get that far.
    Mpeg::FormatContextOutput& Output()
    {
        std::optional<Mpeg::FormatContextOutput>& output = m_in.Bool() ? m_mov : m_mp4;
        if (!output)
            output.emplace(&output == &m_mov ? L"records.mov" : L"records.mp4");
        return *output;
    }

    void Perform(Operation operation)
    {
        switch (operation)
        {
        case kMediaType:
        {
            const auto type = static_cast<Mpeg::MediaType>(EnumValue(m_in));
            Tolerate([&] { Mpeg::Stream::Map2Av(type); });
            break;
        }
        case kVideoCodec:
        {
            const auto codec = static_cast<Mpeg::CodecIdVideo>(EnumValue(m_in));
            Tolerate([&] { Mpeg::StreamVideo::Map2Av(codec); });
            break;
        }
        case kAudioCodec:
        {
            const auto codec = static_cast<Mpeg::CodecIdAudio>(EnumValue(m_in));
            Tolerate([&] { Mpeg::StreamAudio::Map2Av(codec); });
            break;
        }
        case kChannelLayout:
        {
            const auto layout = static_cast<Mpeg::ChannelLayout>(EnumValue(m_in));
            Tolerate([&] { Mpeg::StreamAudio::Map2Av(layout); });
            break;
        }
        case kSampleFormat:
        {
            const AVCodec* encoder = Encoders()[m_in.U16() % Encoders().size()];
            AVSampleFormat format = AV_SAMPLE_FMT_NONE;
            const AVSampleFormat* formats = Mpeg::SupportedSampleFormats(encoder);
            if (Tolerate([&] { format = Mpeg::StreamAudio::GetSampleFormat(encoder); }) && formats)
            {
                bool listed = false;
                for (const AVSampleFormat* f = formats; *f != AV_SAMPLE_FMT_NONE; ++f)
                    listed = listed || *f == format;
                if (!listed)
                    Fail("the sample format is not one the encoder takes");
            }
            break;
        }
        case kVideoStream:
        {
            Mpeg::StreamParametersVideo record;
            FillBase(m_in, record);
            record.codecId = static_cast<Mpeg::CodecIdVideo>(EnumValue(m_in));
            record.width = Interesting(m_in);
            record.height = Interesting(m_in);
            record.timestampOffset = Interesting(m_in);
            const std::int32_t index = Interesting(m_in);
            Mpeg::FormatContextOutput& output = Output();
            Tolerate([&] {
                Mpeg::StreamVideo input(index, m_input, record);
                Mpeg::StreamVideo written(output, input);
                const AVCodecParameters& codec = *written.GetCodecParameters();
                Mpeg::VideoSampleAspectRatio(codec.width, codec.height);
            });
            break;
        }
        case kAudioStream:
        {
            Mpeg::StreamParametersAudio record;
            FillBase(m_in, record);
            record.codecId = static_cast<Mpeg::CodecIdAudio>(EnumValue(m_in));
            record.channels = Interesting(m_in);
            record.channelLayout = static_cast<Mpeg::ChannelLayout>(EnumValue(m_in));
            record.blockAlign = Interesting(m_in);
            record.firstPacketHeader = m_in.Take(m_in.U8() % 12);
            const std::int32_t index = Interesting(m_in);
            Mpeg::FormatContextOutput& output = Output();
            Tolerate([&] {
                Mpeg::StreamAudio input(index, m_input, record);
                Mpeg::StreamAudio written(output, input);
                Mpeg::CopyExtradata(*written.GetCodecParameters(), *input.GetCodecParameters());
            });
            break;
        }
        case kFileName: CheckFileName(FileName(m_in)); break;
        case kOutputContext:
        {
            const std::wstring name = FileName(m_in);
            Tolerate([&] { Mpeg::FormatContextOutput context(name); });
            break;
        }
        case kArithmetic:
        {
            const std::uint64_t timestamp = m_in.U64();
            const std::uint64_t start = m_in.U64();
            Mpeg::ElapsedTicks(timestamp, start, Interesting(m_in));
            const std::int32_t width = Interesting(m_in);
            Mpeg::VideoSampleAspectRatio(width, Interesting(m_in));
            break;
        }
        case kOperations: break;
        }
    }

    Reader& m_in;
    Mpeg::FormatContextInput m_input;
    std::optional<Mpeg::FormatContextOutput> m_mp4;
    std::optional<Mpeg::FormatContextOutput> m_mov;
};

std::vector<Bytes> MakeSeeds()
{
    std::vector<Bytes> seeds;
    Writer all;
    for (std::uint8_t operation = 0; operation < kOperations; ++operation)
        for (std::uint8_t value = 0; value < 4; ++value)
        {
            Writer one;
            one.U8(operation);
            for (int i = 0; i < 24; ++i)
                one.U8(static_cast<std::uint8_t>(value * 16 + i));
            seeds.push_back(one.Data());
            all.Put(one.Data());
        }
    // A valid record of each kind: 8 kHz mu-law and 25 Hz MPEG-4.
    seeds.push_back(Writer()
                        .U8(kAudioStream)
                        .U8(4).U8(0).U8(4).U8(0) // 8000, no start, audio, no extradata
                        .U8(6).U8(1).U8(3).U8(0).U8(0).U8(0) // mu-law, mono, mono, block 0, no header, index 0
                        .U8(0)
                        .Data());
    seeds.push_back(Writer()
                        .U8(kVideoStream)
                        .U8(5).U8(0).U8(3).U8(0) // 25, no start, video, no extradata
                        .U8(5).U8(11).U8(12).U8(0).U8(0).U8(0) // MPEG-4, 64x48, no offset, index 0
                        .Data());
    seeds.push_back(all.Data());
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
    Records(in).Run();
    return 0;
}
