#include "support/TestMedia.h"

#include "av/AvCompat.h"
#include "av/AvHandles.h"
#include "av/AvResult.h"

#include <mpegexporter/Journal.h>

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern "C" {
#include <libswscale/swscale.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

// libx265 loses an allocation for each encoder it opens (freed by nothing
// FFmpeg calls). The test media use it, so the leak checks of the sanitizer
// and fuzz runs leave it out; they still report everything else.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libx265.so\n";
}

namespace TestMedia
{
namespace
{
using InputContextPtr = std::unique_ptr<AVFormatContext, Mpeg::AvDeleter<avformat_close_input>>;
using PacketPtr = std::unique_ptr<AVPacket, Mpeg::AvDeleter<av_packet_free>>;

// Sample i of the first channel, full scale 1.0.
float Sample(const AVFrame& frame, int i)
{
    const auto planar = static_cast<AVSampleFormat>(frame.format);
    const auto format = av_get_packed_sample_fmt(planar);
    if (!av_sample_fmt_is_planar(planar))
        i *= frame.ch_layout.nb_channels;
    return format == AV_SAMPLE_FMT_FLT   ? reinterpret_cast<const float*>(frame.data[0])[i]
           : format == AV_SAMPLE_FMT_S16 ? reinterpret_cast<const std::int16_t*>(frame.data[0])[i] / 32768.0f
                                         : 0.0f;
}

// Sends one frame (or null to drain) and collects every packet that comes out.
void EncodeInto(AVCodecContext* context, const AVFrame* frame, EncodedStream& out)
{
    Mpeg::CheckAvResult(avcodec_send_frame(context, frame), "::avcodec_send_frame");
    PacketPtr packet(av_packet_alloc());
    for (;;)
    {
        const int status = avcodec_receive_packet(context, packet.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            return;
        Mpeg::CheckAvResult(status, "::avcodec_receive_packet");
        if (packet->flags & AV_PKT_FLAG_KEY)
            out.keyPictures.push_back(out.packets.size());
        out.packets.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet.get());
    }
}

// avcC extradata from libx264's global header. FFmpeg 7.1 hands avcC over
// as it is (first byte 1); 5.1 gives the SPS and PPS with four-byte length
// prefixes; start codes are taken too.
Bytes Avcc(Bytes header)
{
    if (!header.empty() && header[0] == 1)
        return header;
    if (header.size() > 3 && header[0] == 0 && header[1] == 0 && (header[2] == 1 || (header[2] == 0 && header[3] == 1)))
    {
        Bytes stored;
        Mpeg::Journal::AnnexBToLengthPrefixed(header.data(), header.size(), stored);
        header = stored;
    }
    Bytes sps, pps;
    for (std::size_t i = 0, length = 0; i < header.size(); i += 4 + length)
    {
        length = i + 4 > header.size() ? 0 : std::size_t{header[i]} << 24 | header[i + 1] << 16 | header[i + 2] << 8 | header[i + 3];
        if (length == 0 || i + 4 + length > header.size())
            throw std::runtime_error("libx264's global header is neither avcC, length-prefixed nor Annex B");
        ((header[i + 4] & 0x1F) == 7 ? sps : pps).assign(header.begin() + i + 4, header.begin() + i + 4 + length);
    }
    if (sps.size() < 4 || pps.empty())
        throw std::runtime_error("no SPS and PPS in libx264's global header");
    Bytes avcc = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, static_cast<std::uint8_t>(sps.size() >> 8),
                  static_cast<std::uint8_t>(sps.size())};
    avcc.insert(avcc.end(), sps.begin(), sps.end());
    avcc.insert(avcc.end(), {1, static_cast<std::uint8_t>(pps.size() >> 8), static_cast<std::uint8_t>(pps.size())});
    avcc.insert(avcc.end(), pps.begin(), pps.end());
    return avcc;
}

// A context for the named encoder; FFmpeg's banners would bury the test output.
Mpeg::AvCodecContextPtr NewEncoder(const char* name)
{
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec)
        throw std::runtime_error(std::string("no encoder ") + name);
    av_log_set_level(AV_LOG_ERROR);
    return Mpeg::AvCodecContextPtr(avcodec_alloc_context3(codec));
}

// Drains the encoder into `out` and takes its extradata.
void Finish(AVCodecContext* context, EncodedStream& out)
{
    EncodeInto(context, nullptr, out);
    out.extradata.assign(context->extradata, context->extradata + context->extradata_size);
}

InputContextPtr OpenInput(const std::filesystem::path& path)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return nullptr;
    return InputContextPtr(raw);
}

// Sends `packet` (null: the end) to `decoder` and hands each frame to `take`;
// false when it does not decode.
bool Decode(AVCodecContext* decoder, const AVPacket* packet, const std::function<void(const AVFrame&)>& take)
{
    Mpeg::AvFramePtr frame(av_frame_alloc());
    if (avcodec_send_packet(decoder, packet) < 0)
        return false;
    int status;
    while ((status = avcodec_receive_frame(decoder, frame.get())) >= 0)
        take(*frame);
    return status == AVERROR(EAGAIN) || status == AVERROR_EOF;
}

// Decodes stream `only` of the file (-1: every stream) in file order, handing
// each frame to `take`; false when the file does not open or a packet does
// not decode.
bool DecodeFile(const std::filesystem::path& path, const std::function<void(const AVStream&, const AVFrame&)>& take,
                int only = -1)
{
    InputContextPtr format = OpenInput(path);
    if (!format || avformat_find_stream_info(format.get(), nullptr) < 0 ||
        only >= static_cast<int>(format->nb_streams))
        return false;
    std::vector<Mpeg::AvCodecContextPtr> decoders;
    for (unsigned i = 0; i < format->nb_streams; ++i)
    {
        const AVCodecParameters* parameters = format->streams[i]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        decoders.emplace_back(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (only >= 0 && i != static_cast<unsigned>(only))
            continue;
        if (!codec || avcodec_parameters_to_context(decoders.back().get(), parameters) < 0 ||
            avcodec_open2(decoders.back().get(), codec, nullptr) < 0)
            return false;
    }
    auto decode = [&](unsigned index, const AVPacket* packet) {
        return (only >= 0 && index != static_cast<unsigned>(only)) ||
               Decode(decoders[index].get(), packet, [&](const AVFrame& frame) { take(*format->streams[index], frame); });
    };
    PacketPtr packet(av_packet_alloc());
    bool ok = true;
    while (ok && av_read_frame(format.get(), packet.get()) >= 0)
    {
        ok = decode(static_cast<unsigned>(packet->stream_index), packet.get());
        av_packet_unref(packet.get());
    }
    for (unsigned i = 0; i < format->nb_streams; ++i)
        ok = decode(i, nullptr) && ok;
    return ok;
}
} // namespace

bool HasEncoder(const char* name)
{
    return avcodec_find_encoder_by_name(name) != nullptr;
}

EncodedStream EncodeVideo(const char* encoder, int width, int height, int frames, int fps, int gop, bool globalHeader,
                          int bFrames, bool annexB, bool flash)
{
    Mpeg::AvCodecContextPtr context = NewEncoder(encoder);
    const AVCodec* codec = context->codec;
    context->width = width;
    context->height = height;
    context->time_base = AVRational{1, fps};
    context->framerate = AVRational{fps, 1};
    context->gop_size = gop;
    context->max_b_frames = bFrames;
    const AVPixelFormat* pixelFormats = Mpeg::SupportedPixelFormats(codec);
    context->pix_fmt = codec->id == AV_CODEC_ID_MJPEG ? AV_PIX_FMT_YUVJ420P
                       : pixelFormats                   ? pixelFormats[0]
                                                        : AV_PIX_FMT_YUV420P;
    if (globalHeader)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const bool x264 = std::strcmp(encoder, "libx264") == 0;
    if (x264)
    {
        av_opt_set(context->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context->priv_data, "x264-params", annexB ? "log=-1" : "log=-1:annexb=0", 0);
    }
    if (std::strcmp(encoder, "libx265") == 0)
    {
        // On one thread: x265's own worker threads synchronise in ways
        // ThreadSanitizer cannot see, which it reports as races in test media.
        av_opt_set(context->priv_data, "x265-params", "log-level=none:pools=none:frame-threads=1", 0);
    }
    Mpeg::CheckAvResult(avcodec_open2(context.get(), codec, nullptr), "::avcodec_open2");

    EncodedStream out;
    out.codecId = codec->id;
    out.width = width;
    out.height = height;
    Mpeg::AvFramePtr frame(av_frame_alloc());
    frame->format = context->pix_fmt;
    frame->width = width;
    frame->height = height;
    Mpeg::CheckAvResult(av_frame_get_buffer(frame.get(), 0), "::av_frame_get_buffer");
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(context->pix_fmt);
    for (int i = 0; i < frames; ++i)
    {
        Mpeg::CheckAvResult(av_frame_make_writable(frame.get()), "::av_frame_make_writable");
        for (int plane = 0; plane < 4 && frame->data[plane]; ++plane)
        {
            const int rows = plane == 0 || plane == 3 ? height : AV_CEIL_RSHIFT(height, descriptor->log2_chroma_h);
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < frame->linesize[plane]; ++x)
                    frame->data[plane][y * frame->linesize[plane] + x] =
                        !flash         ? static_cast<std::uint8_t>(x + y + i * 3 + plane * 64)
                        : plane > 0    ? 128
                        : i % fps < fps / 5 ? 235
                                            : 16;
        }
        frame->pts = i;
        EncodeInto(context.get(), frame.get(), out);
    }
    Finish(context.get(), out);
    if (x264 && globalHeader && !annexB)
        out.extradata = Avcc(out.extradata);
    return out;
}

EncodedStream EncodeTone(const char* encoder, int sampleRate, double seconds, double frequency, bool adts,
                         bool beep, double clock, int channels)
{
    Mpeg::AvCodecContextPtr context = NewEncoder(encoder);
    const AVCodec* codec = context->codec;
    context->sample_rate = sampleRate;
    const AVSampleFormat* sampleFormats = Mpeg::SupportedSampleFormats(codec);
    context->sample_fmt = sampleFormats ? sampleFormats[0] : AV_SAMPLE_FMT_S16;
    context->time_base = AVRational{1, sampleRate};
    av_channel_layout_default(&context->ch_layout, channels);
    if (codec->id == AV_CODEC_ID_ADPCM_G726 || codec->id == AV_CODEC_ID_ADPCM_G726LE)
        context->bit_rate = 4 * sampleRate;
    Mpeg::CheckAvResult(avcodec_open2(context.get(), codec, nullptr), "::avcodec_open2");

    EncodedStream out;
    out.codecId = codec->id;
    out.sampleRate = sampleRate;
    out.frameSize = context->frame_size > 0 ? context->frame_size : sampleRate / 50;
    Mpeg::AvFramePtr frame(av_frame_alloc());
    frame->format = context->sample_fmt;
    frame->sample_rate = sampleRate;
    frame->nb_samples = out.frameSize;
    Mpeg::CheckAvResult(av_channel_layout_copy(&frame->ch_layout, &context->ch_layout), "::av_channel_layout_copy");
    Mpeg::CheckAvResult(av_frame_get_buffer(frame.get(), 0), "::av_frame_get_buffer");
    const bool planar = av_sample_fmt_is_planar(context->sample_fmt) != 0;
    const auto format = av_get_packed_sample_fmt(context->sample_fmt);
    const auto total = static_cast<std::int64_t>(std::ceil(seconds * sampleRate * clock));
    const double samplesPerSecond = sampleRate * clock; // of the host's clock
    for (std::int64_t first = 0; first < total; first += out.frameSize)
    {
        Mpeg::CheckAvResult(av_frame_make_writable(frame.get()), "::av_frame_make_writable");
        for (int i = 0; i < out.frameSize; ++i)
        {
            const double at = double(first + i) / samplesPerSecond;
            const bool sounds = !beep || at - std::floor(at) < 0.2;
            const double value = sounds ? 0.5 * std::sin(2 * M_PI * frequency * double(first + i) / sampleRate) : 0.0;
            for (int c = 0; c < channels; ++c)
            {
                const int plane = planar ? c : 0, index = planar ? i : i * channels + c;
                if (format == AV_SAMPLE_FMT_FLT)
                    reinterpret_cast<float*>(frame->data[plane])[index] = static_cast<float>(value);
                else if (format == AV_SAMPLE_FMT_S16)
                    reinterpret_cast<std::int16_t*>(frame->data[plane])[index] =
                        static_cast<std::int16_t>(std::lround(value * 32767));
                else
                    throw std::runtime_error(std::string("no tone for the sample format of ") + encoder);
            }
        }
        frame->pts = first;
        EncodeInto(context.get(), frame.get(), out);
    }
    Finish(context.get(), out);
    if (adts)
        for (Bytes& packet : out.packets)
        {
            const Bytes header = AdtsHeader(sampleRate, packet.size(), false, channels);
            packet.insert(packet.begin(), header.begin(), header.end());
        }
    return out;
}

Bytes Adts(int profile, int rateIndex, int channels, std::size_t length, int blocks, std::uint8_t second)
{
    // Buffer fullness 0x7FF: variable rate.
    Bytes header = {0xFF, second, static_cast<std::uint8_t>(profile << 6 | rateIndex << 2 | channels >> 2),
                    static_cast<std::uint8_t>((channels & 3) << 6 | (length >> 11 & 3)),
                    static_cast<std::uint8_t>(length >> 3), static_cast<std::uint8_t>((length & 7) << 5 | 0x1F),
                    static_cast<std::uint8_t>(0xFC | (blocks - 1))};
    if ((second & 1) == 0)
        header.insert(header.end(), {0, 0}); // the checksum
    return header;
}

Bytes AdtsHeader(int sampleRate, std::size_t payload, bool crc, int channels, int blocks)
{
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};
    const auto index = std::find(std::begin(rates), std::end(rates), sampleRate) - std::begin(rates);
    if (index == 13)
        throw std::runtime_error("no ADTS sampling frequency index for " + std::to_string(sampleRate));
    return Adts(1, static_cast<int>(index), channels, payload + (crc ? 9 : 7), blocks, crc ? 0xF0 : 0xF1);
}

Mpeg::MediaPacketList ToHostPackets(const EncodedStream& stream, std::uint64_t start, std::uint64_t step,
                                    std::size_t first, std::size_t count)
{
    Mpeg::MediaPacketList list;
    for (std::size_t i = first; i < stream.packets.size() && i - first < count; ++i)
        list.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{stream.packets[i], start + i * step}));
    return list;
}

std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, int width, int height,
                                                         std::int32_t timeScale, Bytes extradata)
{
    auto record = std::make_unique<Mpeg::StreamParametersVideo>();
    record->codecId = codec;
    record->width = width;
    record->height = height;
    record->timeScale = timeScale;
    record->codecConfiguration.extraData = std::move(extradata);
    return record;
}

std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, const EncodedStream& media,
                                                         std::int32_t timeScale, std::uint64_t startTime,
                                                         std::int32_t timestampOffset)
{
    auto record = VideoRecord(codec, media.width, media.height, timeScale, media.extradata);
    record->startTime = startTime;
    record->timestampOffset = timestampOffset;
    return record;
}

std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord(Mpeg::CodecIdAudio codec, std::int32_t timeScale,
                                                         const Bytes& firstPacket, std::uint64_t startTime)
{
    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    record->codecId = codec;
    record->timeScale = timeScale;
    record->startTime = startTime;
    record->firstPacketHeader.assign(firstPacket.begin(), firstPacket.begin() + std::min<std::size_t>(8, firstPacket.size()));
    return record;
}

void Open(Mpeg::IFfMpegFacade& facade, const std::filesystem::path& path,
          std::unique_ptr<Mpeg::StreamParametersVideo> record, std::unique_ptr<Mpeg::StreamParametersAudio> audio)
{
    facade.StartInitMediaFile(Wide(path));
    facade.InitStreamVideo(std::move(record));
    if (audio)
        facade.InitStreamAudio(std::move(audio));
    facade.FinishInitMediaFile();
}

ReadFile Read(const std::filesystem::path& path)
{
    ReadFile file;
    InputContextPtr context = OpenInput(path);
    if (!context)
    {
        ADD_FAILURE() << "libavformat cannot open " << path;
        return file;
    }
    // Before probing, which takes the decoder's word.
    std::vector<int> declaredChannels;
    for (unsigned i = 0; i < context->nb_streams; ++i)
        declaredChannels.push_back(context->streams[i]->codecpar->ch_layout.nb_channels);
    // MP4 leaves some picture sizes to the decoder; let libavformat probe them.
    if (avformat_find_stream_info(context.get(), nullptr) < 0)
        ADD_FAILURE() << "libavformat cannot probe " << path;
    for (unsigned i = 0; i < context->nb_streams; ++i)
    {
        const AVStream* stream = context->streams[i];
        const AVCodecParameters* codec = stream->codecpar;
        auto seconds = [&](std::int64_t t) { return t == AV_NOPTS_VALUE ? 0.0 : double(t) * av_q2d(stream->time_base); };
        ReadStream read{codec->codec_id, stream->time_base, codec->width, codec->height, stream->sample_aspect_ratio,
                        Bytes(codec->extradata, codec->extradata + codec->extradata_size), seconds(stream->start_time),
                        seconds(stream->duration), {}, declaredChannels[i]};
        // MP4/MOV demuxers index every sample, marking the sync samples.
        for (int k = 0; k < avformat_index_get_entries_count(stream); ++k)
            if (avformat_index_get_entry(context->streams[i], k)->flags & AVINDEX_KEYFRAME)
                read.syncSamples.push_back(static_cast<std::size_t>(k));
        file.streams.push_back(std::move(read));
    }
    PacketPtr packet(av_packet_alloc());
    while (av_read_frame(context.get(), packet.get()) >= 0)
    {
        file.packets.push_back(ReadPacket{packet->stream_index, packet->pts, packet->dts,
                                          (packet->flags & AV_PKT_FLAG_DISCARD) != 0,
                                          Bytes(packet->data, packet->data + packet->size)});
        av_packet_unref(packet.get());
    }
    return file;
}

std::vector<float> DecodeSamples(const std::filesystem::path& path, int streamIndex)
{
    std::vector<float> samples;
    if (!DecodeFile(path, [&](const AVStream&, const AVFrame& frame) {
            for (int i = 0; i < frame.nb_samples; ++i)
                samples.push_back(Sample(frame, i));
        }, streamIndex))
        ADD_FAILURE() << "cannot decode stream " << streamIndex << " of " << path;
    return samples;
}

namespace
{
Bytes Gray(const AVFrame& frame)
{
    Bytes gray(static_cast<std::size_t>(frame.width * frame.height));
    Mpeg::SwsContextPtr context(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                               frame.width, frame.height, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr,
                                               nullptr));
    std::uint8_t* planes[4] = {gray.data()};
    const int strides[4] = {frame.width};
    if (!context || sws_scale(context.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) < 0)
        ADD_FAILURE() << "cannot convert a picture to gray";
    return gray;
}
} // namespace

std::vector<Bytes> DecodeGray(const std::filesystem::path& path)
{
    std::vector<Bytes> pictures;
    if (!DecodeFile(path, [&](const AVStream&, const AVFrame& frame) { pictures.push_back(Gray(frame)); }, 0))
        ADD_FAILURE() << "cannot decode " << path;
    return pictures;
}

std::vector<Bytes> DecodeGray(const EncodedStream& stream)
{
    std::vector<Bytes> pictures;
    const AVCodec* codec = avcodec_find_decoder(stream.codecId);
    Mpeg::AvCodecContextPtr context(avcodec_alloc_context3(codec));
    PacketPtr packet(av_packet_alloc());
    bool ok = avcodec_open2(context.get(), codec, nullptr) >= 0;
    for (const Bytes& data : stream.packets)
    {
        Mpeg::CheckAvResult(av_new_packet(packet.get(), static_cast<int>(data.size())), "::av_new_packet");
        std::copy(data.begin(), data.end(), packet->data);
        ok = ok && Decode(context.get(), packet.get(), [&](const AVFrame& frame) { pictures.push_back(Gray(frame)); });
        av_packet_unref(packet.get());
    }
    if (!ok || !Decode(context.get(), nullptr, [&](const AVFrame& frame) { pictures.push_back(Gray(frame)); }))
        ADD_FAILURE() << "the source pictures do not decode";
    return pictures;
}

int DecodeFrameCount(const std::filesystem::path& path, int streamIndex)
{
    int frames = 0;
    const bool ok = streamIndex >= 0 && DecodeFile(path, [&](const AVStream&, const AVFrame&) { ++frames; }, streamIndex);
    return ok ? frames : -1;
}

double SyncReport::Mean(const std::vector<Offset>& offsets, double from, double to)
{
    double total = 0;
    int count = 0;
    for (const Offset& o : offsets)
        if (o.flash >= from && o.flash < to)
            total += o.offset, ++count;
    return count > 0 ? total / count : 0;
}

int SyncReport::Count(const std::vector<Offset>& offsets, double from, double to)
{
    return static_cast<int>(std::count_if(offsets.begin(), offsets.end(),
                                          [&](const Offset& o) { return o.flash >= from && o.flash < to; }));
}

SyncReport MeasureSync(const std::filesystem::path& path)
{
    // A beep starts after at least 0.3 s of quiet.
    struct Onsets
    {
        std::vector<double> at;
        double quietSince = -1e9;
        void Take(double time, bool loud)
        {
            if (loud && time - quietSince >= 0.3)
                at.push_back(time);
            quietSince = loud ? 1e9 : std::min(quietSince, time);
        }
    };
    SyncReport report;
    std::vector<double> flashes;
    Onsets byTimestamps, asStream;
    bool bright = false, audioStarted = false;
    double firstPicture = -1, lastPicture = 0, lastInterval = 0;
    auto take = [&](const AVStream& stream, const AVFrame& frame) {
        const double start = static_cast<double>(frame.best_effort_timestamp) * av_q2d(stream.time_base);
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        {
            // The middle of the picture tells black from white.
            const int middle = frame.data[0][(frame.height / 2) * frame.linesize[0] + frame.width / 2];
            if (middle > 128 && !bright)
                flashes.push_back(start);
            bright = middle > 128;
            if (firstPicture < 0)
                firstPicture = lastPicture = start;
            lastInterval = start - lastPicture;
            lastPicture = start;
            return;
        }
        if (!audioStarted)
            report.audioStart = start;
        audioStarted = true;
        const double streamStart = report.audioStart + report.audioSeconds;
        for (int i = 0; i < frame.nb_samples; ++i)
        {
            const bool loud = std::abs(Sample(frame, i)) > 0.1;
            byTimestamps.Take(start + static_cast<double>(i) / frame.sample_rate, loud);
            asStream.Take(streamStart + static_cast<double>(i) / frame.sample_rate, loud);
        }
        report.audioSeconds += static_cast<double>(frame.nb_samples) / frame.sample_rate;
    };
    if (!DecodeFile(path, take))
        ADD_FAILURE() << "cannot decode " << path;
    // The last picture lasts as long as the one before it.
    report.videoSeconds = firstPicture < 0 ? 0 : lastPicture + lastInterval - firstPicture;

    auto pair = [&](const Onsets& beeps, std::vector<SyncReport::Offset>& offsets) {
        for (const double beep : beeps.at)
        {
            const auto nearest = std::min_element(flashes.begin(), flashes.end(), [&](double a, double b) {
                return std::abs(a - beep) < std::abs(b - beep);
            });
            if (nearest != flashes.end() && std::abs(*nearest - beep) < 0.5)
                offsets.push_back({*nearest, beep - *nearest});
        }
    };
    pair(byTimestamps, report.byTimestamps);
    pair(asStream, report.asStream);
    return report;
}

std::string StrError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string TestName(std::string text)
{
    for (char& c : text)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return text;
}

std::string Thrown(const std::function<void()>& call)
{
    using std::string;
    try { call(); }
    catch (const Mpeg::AvException& e) { return "AvException " + std::to_string(e.GetErrorCode()) + ": " + e.what(); }
    catch (const Mpeg::FfMpegFacadeException& e) { return string("FfMpegFacadeException: ") + e.what(); }
    catch (const std::invalid_argument& e) { return string("invalid_argument: ") + e.what(); }
    catch (const std::out_of_range& e) { return string("out_of_range: ") + e.what(); }
    catch (const std::range_error& e) { return string("range_error: ") + e.what(); }
    catch (const std::exception& e) { return string("exception: ") + e.what(); }
    return "nothing";
}

std::string Refusal(const std::string& where)
{
    return "FfMpegFacadeException: FfMpegFacade: " + where;
}

std::string AvError(int code, const std::string& call)
{
    return "AvException " + std::to_string(-code) + ": FfMpegFacade: " + call + ": " + StrError(code);
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
    // UTF-8 decoded into code points, one a wchar_t as a host on Linux stores them.
    const std::string utf8 = path.string();
    std::wstring wide;
    for (std::size_t i = 0, length = 1; i < utf8.size(); i += length)
    {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        std::uint32_t cp = length == 1 ? byte : byte & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        wide += static_cast<wchar_t>(cp);
    }
    return wide;
}

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
}

Bytes FileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> Listing(const std::filesystem::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

std::vector<Mpeg::MediaPacket> TimedAudio(const EncodedStream& stream, std::uint64_t start)
{
    std::vector<Mpeg::MediaPacket> packets;
    for (std::size_t i = 0; i < stream.packets.size(); ++i)
        packets.push_back({stream.packets[i], start + i * static_cast<std::uint64_t>(stream.frameSize) * 10'000'000 /
                                                          static_cast<std::uint64_t>(stream.sampleRate)});
    return packets;
}

void AddInLists(Mpeg::IFfMpegFacade& facade, const EncodedStream& video, std::size_t first, std::size_t last,
                std::size_t perList, const std::vector<Mpeg::MediaPacket>* audio)
{
    constexpr std::uint64_t kPicture = 400'000;
    for (std::size_t v = first; v < last; v += perList)
    {
        const std::size_t end = std::min(v + perList, last);
        Mpeg::MediaPacketList pictures = ToHostPackets(video, 0, kPicture, v, end - v), sound;
        if (!audio)
        {
            facade.AddPacketsVideo(std::move(pictures));
            continue;
        }
        for (const Mpeg::MediaPacket& packet : *audio)
            if (packet.timestamp >= v * kPicture && packet.timestamp < end * kPicture)
                sound.push_back(std::make_unique<Mpeg::MediaPacket>(packet));
        facade.AddPacketsAudioVideo(std::move(pictures), std::move(sound));
    }
}

void ExportFile(const std::filesystem::path& path, std::unique_ptr<Mpeg::StreamParametersVideo> record,
                std::unique_ptr<Mpeg::StreamParametersAudio> audioRecord, const EncodedStream& video,
                std::size_t pictures, std::size_t perList, const std::vector<Mpeg::MediaPacket>* audio)
{
    auto facade = Mpeg::IFfMpegFacade::Create(audioRecord != nullptr);
    Open(*facade, path, std::move(record), std::move(audioRecord));
    AddInLists(*facade, video, 0, pictures, perList, audio);
    const std::int64_t size = facade->FinishMediaFile();
    EXPECT_EQ(size, static_cast<std::int64_t>(std::filesystem::file_size(path))) << path;
}

} // namespace TestMedia
