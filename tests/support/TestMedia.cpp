#include "support/TestMedia.h"

#include "container/AvHandles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace TestMedia
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
using InputContextPtr = std::unique_ptr<AVFormatContext, Mpeg::AvFreeByAddress<AVFormatContext, avformat_close_input>>;
using PacketPtr = std::unique_ptr<AVPacket, Mpeg::AvFreeByAddress<AVPacket, av_packet_free>>;

void Check(int status, const char* what)
{
    if (status < 0)
    {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(status, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

const AVCodec* Encoder(const char* name)
{
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec)
        throw std::runtime_error(std::string("no encoder ") + name);
    return codec;
}

// Sends one frame (or null to drain) and collects every packet that comes out.
void EncodeInto(AVCodecContext* context, const AVFrame* frame, EncodedStream& out)
{
    Check(avcodec_send_frame(context, frame), "avcodec_send_frame");
    PacketPtr packet(av_packet_alloc());
    for (;;)
    {
        const int status = avcodec_receive_packet(context, packet.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            return;
        Check(status, "avcodec_receive_packet");
        out.packets.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet.get());
    }
}

void TakeExtradata(const AVCodecContext* context, EncodedStream& out)
{
    if (context->extradata_size > 0)
        out.extradata.assign(context->extradata, context->extradata + context->extradata_size);
}

int SamplingFrequencyIndex(int rate)
{
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    for (int i = 0; i < 13; ++i)
        if (rates[i] == rate)
            return i;
    throw std::runtime_error("no ADTS index for the sample rate");
}

// A 7-byte ADTS header (no CRC) for one AAC-LC frame of `payload` bytes.
std::vector<std::uint8_t> AdtsHeader(std::size_t payload, int sampleRate, int channels)
{
    const std::size_t length = payload + 7;
    const int index = SamplingFrequencyIndex(sampleRate);
    return {0xFF,
            0xF1, // MPEG-4, layer 0, no CRC
            static_cast<std::uint8_t>((1 << 6) | (index << 2) | ((channels >> 2) & 1)), // profile LC
            static_cast<std::uint8_t>(((channels & 3) << 6) | ((length >> 11) & 3)),
            static_cast<std::uint8_t>((length >> 3) & 0xFF),
            static_cast<std::uint8_t>(((length & 7) << 5) | 0x1F),
            0xFC}; // buffer fullness 0x7FF, one raw data block
}
} // namespace

bool HasEncoder(const char* name)
{
    return avcodec_find_encoder_by_name(name) != nullptr;
}

EncodedStream EncodeVideo(const char* encoder, int width, int height, int frames, int fps, int gop, bool globalHeader)
{
    const AVCodec* codec = Encoder(encoder);
    Mpeg::AvCodecContextPtr context(avcodec_alloc_context3(codec));
    context->width = width;
    context->height = height;
    context->time_base = AVRational{1, fps};
    context->framerate = AVRational{fps, 1};
    context->gop_size = gop;
    context->max_b_frames = 0;
    context->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
    if (codec->id == AV_CODEC_ID_MJPEG)
        context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    if (globalHeader)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (std::strncmp(encoder, "libx26", 6) == 0)
    {
        av_opt_set(context->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context->priv_data, codec->id == AV_CODEC_ID_HEVC ? "x265-params" : "x264-params",
                   codec->id == AV_CODEC_ID_HEVC ? "log-level=error" : "log-level=-1", 0);
    }
    Check(avcodec_open2(context.get(), codec, nullptr), "avcodec_open2");

    EncodedStream out;
    out.codecId = codec->id;
    out.width = width;
    out.height = height;
    Mpeg::AvFramePtr frame(av_frame_alloc());
    frame->format = context->pix_fmt;
    frame->width = width;
    frame->height = height;
    Check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(context->pix_fmt);
    for (int i = 0; i < frames; ++i)
    {
        Check(av_frame_make_writable(frame.get()), "av_frame_make_writable");
        for (int plane = 0; plane < 4 && frame->data[plane]; ++plane)
        {
            const int rows = plane == 0 || plane == 3 ? height : AV_CEIL_RSHIFT(height, descriptor->log2_chroma_h);
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < frame->linesize[plane]; ++x)
                    frame->data[plane][y * frame->linesize[plane] + x] =
                        static_cast<std::uint8_t>(x + y + i * 3 + plane * 64);
        }
        frame->pts = i;
        EncodeInto(context.get(), frame.get(), out);
    }
    EncodeInto(context.get(), nullptr, out);
    TakeExtradata(context.get(), out);
    return out;
}

EncodedStream EncodeTone(const char* encoder, int sampleRate, double seconds, double frequency, bool adts)
{
    const AVCodec* codec = Encoder(encoder);
    Mpeg::AvCodecContextPtr context(avcodec_alloc_context3(codec));
    context->sample_rate = sampleRate;
    context->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&context->ch_layout, 1);
    context->time_base = AVRational{1, sampleRate};
    if (codec->id == AV_CODEC_ID_ADPCM_G726 || codec->id == AV_CODEC_ID_ADPCM_G726LE)
        context->bit_rate = 32000;
    Check(avcodec_open2(context.get(), codec, nullptr), "avcodec_open2");

    EncodedStream out;
    out.codecId = codec->id;
    out.sampleRate = sampleRate;
    out.frameSize = context->frame_size > 0 ? context->frame_size : 160;
    const auto total = static_cast<long>(seconds * sampleRate);
    Mpeg::AvFramePtr frame(av_frame_alloc());
    long produced = 0;
    for (long start = 0; start < total; start += out.frameSize)
    {
        const int count = static_cast<int>(std::min<long>(out.frameSize, total - start));
        // Encoders with a fixed frame size take only full frames until the last.
        frame.reset(av_frame_alloc());
        frame->format = context->sample_fmt;
        av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
        frame->sample_rate = sampleRate;
        frame->nb_samples = count;
        Check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
        for (int i = 0; i < count; ++i)
        {
            const double value = 0.5 * std::sin(2 * M_PI * frequency * static_cast<double>(start + i) / sampleRate);
            switch (context->sample_fmt)
            {
            case AV_SAMPLE_FMT_S16:
            case AV_SAMPLE_FMT_S16P:
                reinterpret_cast<std::int16_t*>(frame->data[0])[i] = static_cast<std::int16_t>(value * 32767);
                break;
            case AV_SAMPLE_FMT_FLT:
            case AV_SAMPLE_FMT_FLTP:
                reinterpret_cast<float*>(frame->data[0])[i] = static_cast<float>(value);
                break;
            default:
                throw std::runtime_error("tone: unhandled sample format");
            }
        }
        frame->pts = produced;
        produced += count;
        EncodeInto(context.get(), frame.get(), out);
    }
    EncodeInto(context.get(), nullptr, out);
    if (adts)
    {
        if (codec->id != AV_CODEC_ID_AAC)
            throw std::runtime_error("ADTS framing is for AAC only");
        for (auto& packet : out.packets)
        {
            std::vector<std::uint8_t> framed = AdtsHeader(packet.size(), sampleRate, 1);
            framed.insert(framed.end(), packet.begin(), packet.end());
            packet = std::move(framed);
        }
    }
    else
        TakeExtradata(context.get(), out);
    return out;
}

Mpeg::MediaPacketList ToHostPackets(const EncodedStream& stream, std::uint64_t start, std::uint64_t step,
                                    std::size_t first, std::size_t count)
{
    Mpeg::MediaPacketList list;
    for (std::size_t i = first; i < stream.packets.size() && i - first < count; ++i)
    {
        auto packet = std::make_unique<Mpeg::MediaPacket>();
        packet->data = stream.packets[i];
        packet->timestamp = start + i * step;
        list.push_back(std::move(packet));
    }
    return list;
}

std::vector<ReadPacket> ReadFile::PacketsOf(int streamIndex) const
{
    std::vector<ReadPacket> result;
    for (const auto& packet : packets)
        if (packet.streamIndex == streamIndex)
            result.push_back(packet);
    return result;
}

ReadFile Read(const std::filesystem::path& path)
{
    ReadFile file;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
    {
        ADD_FAILURE() << "libavformat cannot open " << path;
        return file;
    }
    InputContextPtr context(raw);
    // MP4 leaves some picture sizes to the decoder; let libavformat probe them.
    if (avformat_find_stream_info(context.get(), nullptr) < 0)
        ADD_FAILURE() << "libavformat cannot probe " << path;
    file.formatName = context->iformat->name;
    for (unsigned i = 0; i < context->nb_streams; ++i)
    {
        const AVStream* stream = context->streams[i];
        ReadStream info;
        info.type = stream->codecpar->codec_type;
        info.codecId = stream->codecpar->codec_id;
        info.timeBase = stream->time_base;
        info.width = stream->codecpar->width;
        info.height = stream->codecpar->height;
        info.sampleAspectRatio = stream->codecpar->sample_aspect_ratio;
        info.sampleRate = stream->codecpar->sample_rate;
        info.channels = stream->codecpar->ch_layout.nb_channels;
        info.duration = stream->duration;
        file.streams.push_back(info);
    }
    PacketPtr packet(av_packet_alloc());
    while (av_read_frame(context.get(), packet.get()) >= 0)
    {
        file.packets.push_back(ReadPacket{packet->stream_index, packet->pts, packet->dts, packet->duration,
                                          std::vector<std::uint8_t>(packet->data, packet->data + packet->size)});
        av_packet_unref(packet.get());
    }
    return file;
}

int DecodeFrameCount(const std::filesystem::path& path, int streamIndex)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return -1;
    InputContextPtr format(raw);
    if (streamIndex < 0 || static_cast<unsigned>(streamIndex) >= format->nb_streams)
        return -1;
    const AVCodecParameters* parameters = format->streams[streamIndex]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return -1;
    Mpeg::AvCodecContextPtr context(avcodec_alloc_context3(codec));
    if (avcodec_parameters_to_context(context.get(), parameters) < 0 || avcodec_open2(context.get(), codec, nullptr) < 0)
        return -1;
    int frames = 0;
    PacketPtr packet(av_packet_alloc());
    Mpeg::AvFramePtr frame(av_frame_alloc());
    auto receive = [&]() {
        for (;;)
        {
            const int status = avcodec_receive_frame(context.get(), frame.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
                return true;
            if (status < 0)
                return false;
            ++frames;
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0)
    {
        const bool ours = packet->stream_index == streamIndex;
        const int status = ours ? avcodec_send_packet(context.get(), packet.get()) : 0;
        av_packet_unref(packet.get());
        if (status < 0 || !receive())
            return -1;
    }
    if (avcodec_send_packet(context.get(), nullptr) < 0 || !receive())
        return -1;
    return frames;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "mpegexporter-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::wstring Wide(const std::filesystem::path& path)
{
    // Decode UTF-8 into code points; a host on Linux stores them per element.
    const std::string utf8 = path.string();
    std::wstring wide;
    for (std::size_t i = 0; i < utf8.size();)
    {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        const int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        std::uint32_t cp = length == 1 ? byte : byte & (0xFF >> (length + 1));
        for (int k = 1; k < length && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        wide += static_cast<wchar_t>(cp);
        i += length;
    }
    return wide;
}

} // namespace TestMedia
