// The transcoding paths against the loop an application writes with
// libavcodec for the same work on one thread: decode each packet, convert,
// encode, mux into MP4 with libavformat.
//   8 kHz G.711 mu-law in 20 ms packets -> AAC, through Create(true) with one
//   tiny MJPEG picture a second as the video it needs;
//   H.263 CIF at 25 fps -> MPEG-4 part 2, through Create(false).
// Input is made before the clock starts; both sides take it from memory.
//
// BENCH_SECONDS sets the input length (default 60 s; 2 s under BENCH_SMOKE).

#include "BenchInput.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <filesystem>
#include <functional>
#include <map>

namespace
{
using namespace Bench;
using TestMedia::EncodedStream;

constexpr int kMulawRate = 8000;
constexpr std::uint64_t kMulawStep = kSecond / 50; // 20 ms packets

// Made once: encoding is not what is measured.
const EncodedStream& Input(const char* name)
{
    static std::map<std::string, EncodedStream> made;
    const std::string codec = name;
    const int seconds = static_cast<int>(Workload("BENCH_SECONDS", 60, 2));
    if (!made.count(codec))
        made[codec] = codec == "pcm_mulaw" ? TestMedia::EncodeTone("pcm_mulaw", kMulawRate, seconds, 440)
                      : codec == "h263"    ? TestMedia::EncodeVideo("h263", 352, 288, seconds * kFps, kFps, 50)
                                           : TestMedia::EncodeVideo("mjpeg", 16, 16, seconds, 1);
    return made[codec];
}

Mpeg::AvCodecContextPtr OpenCodec(AVCodecID id, bool encoder, const std::function<void(AVCodecContext&)>& setup)
{
    const AVCodec* codec = Mpeg::FindCodec(encoder ? avcodec_find_encoder : avcodec_find_decoder, id);
    Mpeg::AvCodecContextPtr context = Mpeg::AllocateCodecContext(codec);
    context->thread_count = 1;
    setup(*context);
    CheckAvResult(avcodec_open2(context.get(), codec, nullptr), "::avcodec_open2");
    return context;
}

// The reference: decode, convert, encode and mux `input` into an MP4 of
// `output` codec, as an application does with libavcodec on one thread.
class Loop
{
public:
    Loop(const EncodedStream& input, AVCodecID output, const std::string& path)
        : m_audio(input.sampleRate > 0), m_muxer(OpenOutput(path))
    {
        m_decoder = OpenCodec(input.codecId, false, [&](AVCodecContext& c) {
            c.sample_rate = input.sampleRate;
            av_channel_layout_default(&c.ch_layout, m_audio ? 1 : 0);
        });
        const bool globalHeader = (m_muxer->oformat->flags & AVFMT_GLOBALHEADER) != 0;
        m_encoder = OpenCodec(output, true, [&](AVCodecContext& c) {
            c.flags |= globalHeader ? AV_CODEC_FLAG_GLOBAL_HEADER : 0;
            c.time_base = m_audio ? AVRational{1, input.sampleRate} : AVRational{1, kFps};
            c.sample_rate = input.sampleRate;
            c.sample_fmt = AV_SAMPLE_FMT_FLTP;
            av_channel_layout_default(&c.ch_layout, m_audio ? 1 : 0);
            c.width = input.width;
            c.height = input.height;
            c.pix_fmt = AV_PIX_FMT_YUV420P;
            c.gop_size = 50;
        });
        AVStream* stream = avformat_new_stream(m_muxer.get(), nullptr);
        CheckAvResult(stream ? avcodec_parameters_from_context(stream->codecpar, m_encoder.get()) : AVERROR(ENOMEM),
                      "::avformat_new_stream");
        stream->time_base = m_encoder->time_base;
        CheckAvResult(avio_open(&m_muxer->pb, path.c_str(), AVIO_FLAG_WRITE), "::avio_open");
        CheckAvResult(avformat_write_header(m_muxer.get(), nullptr), "::avformat_write_header");
        if (m_audio)
        {
            SwrContext* swr = nullptr;
            CheckAvResult(swr_alloc_set_opts2(&swr, &m_encoder->ch_layout, AV_SAMPLE_FMT_FLTP, input.sampleRate,
                                              &m_decoder->ch_layout, m_decoder->sample_fmt, input.sampleRate, 0,
                                              nullptr),
                          "::swr_alloc_set_opts2");
            m_resampler.reset(swr);
            CheckAvResult(swr_init(swr), "::swr_init");
        }
    }

    void Run(const EncodedStream& input)
    {
        for (std::size_t i = 0; i <= input.packets.size(); ++i)
        {
            const bool last = i == input.packets.size();
            if (!last)
            {
                const Bytes& data = input.packets[i];
                CheckAvResult(av_new_packet(m_packet.get(), static_cast<int>(data.size())), "::av_new_packet");
                std::copy(data.begin(), data.end(), m_packet->data);
                m_packet->pts = m_packet->dts = static_cast<std::int64_t>(i); // video: one a tick
            }
            CheckAvResult(avcodec_send_packet(m_decoder.get(), last ? nullptr : m_packet.get()),
                          "::avcodec_send_packet");
            av_packet_unref(m_packet.get());
            while (avcodec_receive_frame(m_decoder.get(), m_frame.get()) == 0)
                m_audio ? Convert(m_frame.get(), false) : Encode(m_frame.get());
        }
        if (m_audio)
            Convert(nullptr, true);
        Encode(nullptr);
        CheckAvResult(av_write_trailer(m_muxer.get()), "::av_write_trailer");
    }

private:
    // The converter keeps the samples until a whole encoder frame is there;
    // at the end the partial one goes too.
    void Convert(const AVFrame* decoded, bool last)
    {
        if (decoded)
            CheckAvResult(swr_convert(m_resampler.get(), nullptr, 0,
                                      const_cast<const std::uint8_t**>(decoded->extended_data), decoded->nb_samples),
                          "::swr_convert");
        while (swr_get_delay(m_resampler.get(), m_encoder->sample_rate) >= (last ? 1 : m_encoder->frame_size))
        {
            Mpeg::AvFramePtr frame = Mpeg::AllocateFrame();
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->nb_samples = m_encoder->frame_size;
            CheckAvResult(av_channel_layout_copy(&frame->ch_layout, &m_encoder->ch_layout), "::av_channel_layout_copy");
            CheckAvResult(av_frame_get_buffer(frame.get(), 0), "::av_frame_get_buffer");
            frame->nb_samples = swr_convert(m_resampler.get(), frame->data, frame->nb_samples, nullptr, 0);
            CheckAvResult(frame->nb_samples, "::swr_convert");
            frame->pts = m_samples;
            m_samples += frame->nb_samples;
            Encode(frame.get());
        }
    }

    void Encode(AVFrame* frame)
    {
        if (frame)
            frame->pict_type = AV_PICTURE_TYPE_NONE;
        CheckAvResult(avcodec_send_frame(m_encoder.get(), frame), "::avcodec_send_frame");
        while (avcodec_receive_packet(m_encoder.get(), m_packet.get()) == 0)
        {
            av_packet_rescale_ts(m_packet.get(), m_encoder->time_base, m_muxer->streams[0]->time_base);
            CheckAvResult(av_interleaved_write_frame(m_muxer.get(), m_packet.get()), "::av_interleaved_write_frame");
        }
    }

    bool m_audio;
    OutputContext m_muxer;
    Mpeg::AvCodecContextPtr m_decoder;
    Mpeg::AvCodecContextPtr m_encoder;
    Mpeg::SwrContextPtr m_resampler;
    PacketPtr m_packet{av_packet_alloc()};
    Mpeg::AvFramePtr m_frame = Mpeg::AllocateFrame();
    std::int64_t m_samples = 0;
};

void Reference(benchmark::State& state, const char* input, AVCodecID output)
{
    const std::string path = OutputPath("loop.mp4");
    for (auto _ : state)
    {
        const auto start = Clock::now();
        Loop(Input(input), output, path).Run(Input(input));
        state.SetIterationTime(Since(start));
    }
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(Reference, mulaw_aac, "pcm_mulaw", AV_CODEC_ID_AAC)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Reference, h263_mpeg4, "h263", AV_CODEC_ID_MPEG4)->UseManualTime()->Unit(benchmark::kMillisecond);

void Facade(benchmark::State& state, bool audio)
{
    const std::string path = OutputPath("facade.mp4");
    const EncodedStream& video = Input(audio ? "mjpeg" : "h263");
    const EncodedStream& mulaw = Input("pcm_mulaw");
    for (auto _ : state)
    {
        // One add call a second, made before the clock starts.
        std::vector<Mpeg::MediaPacketList> pictures, sound;
        const std::size_t perSecond = audio ? 1 : kFps;
        for (std::size_t first = 0; first < video.packets.size(); first += perSecond)
        {
            pictures.push_back(TestMedia::ToHostPackets(video, kHostStart, kSecond / perSecond, first, perSecond));
            if (audio)
                sound.push_back(TestMedia::ToHostPackets(mulaw, kHostStart, kMulawStep, first * 50, 50));
        }
        const auto start = Clock::now();
        const auto facade = Mpeg::IFfMpegFacade::Create(audio);
        facade->StartInitMediaFile(TestMedia::Wide(path));
        facade->InitStreamVideo(TestMedia::VideoRecord(audio ? Mpeg::CodecIdVideo::Mjpeg : Mpeg::CodecIdVideo::H263,
                                                       video, audio ? 1 : kFps, kHostStart));
        if (audio)
        {
            auto record = std::make_unique<Mpeg::StreamParametersAudio>();
            record->startTime = kHostStart;
            record->timeScale = kMulawRate;
            record->codecId = Mpeg::CodecIdAudio::PcmMulaw;
            record->firstPacketHeader.assign(mulaw.packets[0].begin(), mulaw.packets[0].begin() + 8);
            facade->InitStreamAudio(std::move(record));
        }
        facade->FinishInitMediaFile();
        for (std::size_t s = 0; s < pictures.size(); ++s)
            audio ? facade->AddPacketsAudioVideo(std::move(pictures[s]), std::move(sound[s]))
                  : facade->AddPacketsVideo(std::move(pictures[s]));
        facade->FinishMediaFile();
        state.SetIterationTime(Since(start));
    }
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(Facade, mulaw_aac, true)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Facade, h263_mpeg4, false)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
