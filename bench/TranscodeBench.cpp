// bench_transcode [--seconds=60] [--runs=5] [--ffmpeg=ffmpeg] [--smoke]
//
// The transcoding paths against the ffmpeg command-line tool doing the same
// work on the same input, runs alternating, medians compared:
//
// audio: 8 kHz G.711 mu-law in 20 ms packets, exported into MP4 (becomes
//   AAC) through the audio/video facade, against
//   `ffmpeg -i in.wav -c:a aac out.mp4` on the same samples. The facade needs
//   a video stream: one tiny H.264-sized packet a second, whose cost is
//   measured on its own with the video-only facade.
// video: H.263 CIF at 25 fps exported into MP4 (becomes MPEG-4 part 2)
//   through the video-only facade, against `ffmpeg -i in.mov -c:v mpeg4
//   out.mp4`; also the tool limited to one thread, as libavcodec runs for
//   API users that do not ask for more.
//
// The tool's wall time includes starting the process; its -benchmark figures
// (the transcoding loop alone, wall and CPU) are compared too. Ratios are
// medians over pairs of neighbouring runs. Input is made in-process
// with FFmpeg's encoders before the clock starts. Outputs must decode to the
// same number of pictures, and to the same number of audio samples give or
// take the encoder's priming and last partial frame.
//
// --smoke runs two seconds once and checks the outputs only.

#include "BenchSupport.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <iostream>
#include <stdexcept>

namespace
{
using namespace Bench;

constexpr int kAudioRate = 8000;
constexpr int kAudioPacket = 160; // 20 ms, as devices send G.711
constexpr int kCifWidth = 352;
constexpr int kCifHeight = 288;
constexpr int kFps = 25;

struct Options
{
    double seconds = 60;
    int runs = 5;
    std::string ffmpeg = "ffmpeg";
    std::string only; // "audio", "video" or empty for both
    bool smoke = false;
};

struct Encoded
{
    Packets packets;
    std::vector<bool> key;
};

struct CodecContextFree
{
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct FrameFree
{
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketFree
{
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

CodecContextPtr OpenEncoder(AVCodecID id, const std::function<void(AVCodecContext&)>& setup)
{
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec)
        throw std::runtime_error(std::string("no encoder for ") + avcodec_get_name(id));
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        throw std::runtime_error("avcodec_alloc_context3 failed");
    setup(*context);
    Check(avcodec_open2(context.get(), codec, nullptr), "avcodec_open2");
    return context;
}

void Drain(AVCodecContext& context, const AVFrame* frame, Encoded& out)
{
    Check(avcodec_send_frame(&context, frame), "avcodec_send_frame");
    PacketPtr packet(av_packet_alloc());
    while (avcodec_receive_packet(&context, packet.get()) == 0)
    {
        out.packets.emplace_back(packet->data, packet->data + packet->size);
        out.key.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        av_packet_unref(packet.get());
    }
}

// Two tones, slowly swelling and fading, over a little noise: the encoder
// sees changing spectra rather than one steady line.
Encoded MakeMulaw(double seconds)
{
    CodecContextPtr context = OpenEncoder(AV_CODEC_ID_PCM_MULAW, [](AVCodecContext& c) {
        c.sample_rate = kAudioRate;
        c.sample_fmt = AV_SAMPLE_FMT_S16;
        c.time_base = AVRational{1, kAudioRate};
        av_channel_layout_default(&c.ch_layout, 1);
    });
    FramePtr frame(av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = kAudioRate;
    frame->nb_samples = kAudioPacket;
    Check(av_channel_layout_copy(&frame->ch_layout, &context->ch_layout), "av_channel_layout_copy");
    Check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
    Encoded out;
    std::uint32_t noise = 12345;
    const auto total = static_cast<std::int64_t>(seconds * kAudioRate);
    for (std::int64_t first = 0; first + kAudioPacket <= total; first += kAudioPacket)
    {
        Check(av_frame_make_writable(frame.get()), "av_frame_make_writable");
        auto* samples = reinterpret_cast<std::int16_t*>(frame->data[0]);
        for (int i = 0; i < kAudioPacket; ++i)
        {
            const double t = static_cast<double>(first + i) / kAudioRate;
            noise = noise * 1664525u + 1013904223u;
            const double value = (0.3 + 0.2 * std::sin(2 * M_PI * 0.7 * t)) * std::sin(2 * M_PI * 440 * t) +
                                 0.15 * std::sin(2 * M_PI * 1250 * t + std::sin(2 * M_PI * 3 * t)) +
                                 0.01 * (static_cast<double>(noise >> 16) / 32768.0 - 1.0);
            samples[i] = static_cast<std::int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767));
        }
        frame->pts = first;
        Drain(*context, frame.get(), out);
    }
    Drain(*context, nullptr, out);
    return out;
}

// A moving gradient, a square crossing it and a patch of noise: enough
// motion and detail that the codecs do real work.
Encoded MakeH263(double seconds)
{
    CodecContextPtr context = OpenEncoder(AV_CODEC_ID_H263, [](AVCodecContext& c) {
        c.width = kCifWidth;
        c.height = kCifHeight;
        c.pix_fmt = AV_PIX_FMT_YUV420P;
        c.time_base = AVRational{1, kFps};
        c.framerate = AVRational{kFps, 1};
        c.gop_size = 2 * kFps;
        c.bit_rate = 1'000'000;
    });
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = kCifWidth;
    frame->height = kCifHeight;
    Check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
    Encoded out;
    std::uint32_t noise = 777;
    const auto count = static_cast<int>(std::llround(seconds * kFps));
    for (int n = 0; n < count; ++n)
    {
        Check(av_frame_make_writable(frame.get()), "av_frame_make_writable");
        for (int plane = 0; plane < 3; ++plane)
        {
            const int w = plane ? kCifWidth / 2 : kCifWidth;
            const int h = plane ? kCifHeight / 2 : kCifHeight;
            std::uint8_t* data = frame->data[plane];
            const int stride = frame->linesize[plane];
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    data[y * stride + x] = static_cast<std::uint8_t>(plane ? 128 + ((x + n) >> 2) - ((y - n) >> 3)
                                                                           : (x * 2 + y + n * 3) & 0xFF);
        }
        const int boxX = (n * 4) % (kCifWidth - 64);
        const int boxY = (n * 2) % (kCifHeight - 64);
        for (int y = boxY; y < boxY + 64; ++y)
            for (int x = boxX; x < boxX + 64; ++x)
                frame->data[0][y * frame->linesize[0] + x] = 235;
        for (int y = 200; y < 264; ++y)
            for (int x = 16; x < 112; ++x)
            {
                noise = noise * 1664525u + 1013904223u;
                frame->data[0][y * frame->linesize[0] + x] = static_cast<std::uint8_t>(64 + (noise >> 25));
            }
        frame->pts = n;
        Drain(*context, frame.get(), out);
    }
    Drain(*context, nullptr, out);
    return out;
}

// The same packets in a file, for the command-line tool.
void WriteFile(const std::string& path, const AVCodecParameters& codec, AVRational timeBase, const Encoded& input,
               std::int64_t step)
{
    AVFormatContext* context = nullptr;
    Check(avformat_alloc_output_context2(&context, nullptr, nullptr, path.c_str()), "avformat_alloc_output_context2");
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> owner(context, [](AVFormatContext* c) {
        if (c->pb)
            avio_closep(&c->pb);
        avformat_free_context(c);
    });
    AVStream* stream = avformat_new_stream(context, nullptr);
    if (!stream)
        throw std::runtime_error("avformat_new_stream failed");
    Check(avcodec_parameters_copy(stream->codecpar, &codec), "avcodec_parameters_copy");
    stream->time_base = timeBase;
    Check(avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open");
    Check(avformat_write_header(context, nullptr), "avformat_write_header");
    PacketPtr packet(av_packet_alloc());
    for (std::size_t i = 0; i < input.packets.size(); ++i)
    {
        const Bytes& data = input.packets[i];
        Check(av_new_packet(packet.get(), static_cast<int>(data.size())), "av_new_packet");
        std::copy(data.begin(), data.end(), packet->data);
        packet->pts = packet->dts = static_cast<std::int64_t>(i) * step;
        packet->duration = step;
        packet->flags = input.key[i] ? AV_PKT_FLAG_KEY : 0;
        av_packet_rescale_ts(packet.get(), timeBase, stream->time_base);
        Check(av_interleaved_write_frame(context, packet.get()), "av_interleaved_write_frame");
    }
    Check(av_write_trailer(context), "av_write_trailer");
}

Mpeg::MediaPacketList HostPackets(const Encoded& input, std::size_t first, std::size_t end, std::uint64_t step)
{
    Mpeg::MediaPacketList list;
    list.reserve(end - first);
    for (std::size_t i = first; i < end && i < input.packets.size(); ++i)
        list.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{input.packets[i], kHostStart + i * step}));
    return list;
}

struct Timings
{
    std::vector<Sample> facade;
    std::vector<CommandRun> tool;
};

std::vector<double> ToolWalls(const std::vector<CommandRun>& runs)
{
    std::vector<double> values;
    for (const CommandRun& r : runs)
        values.push_back(r.wall);
    return values;
}

std::vector<double> ToolLoops(const std::vector<CommandRun>& runs)
{
    std::vector<double> values;
    for (const CommandRun& r : runs)
        if (r.loop >= 0)
            values.push_back(r.loop);
    return values;
}

std::vector<double> ToolLoopCpus(const std::vector<CommandRun>& runs)
{
    std::vector<double> values;
    for (const CommandRun& r : runs)
        if (r.loopCpu >= 0)
            values.push_back(r.loopCpu);
    return values;
}

std::vector<double> ToolCpus(const std::vector<CommandRun>& runs)
{
    std::vector<double> values;
    for (const CommandRun& r : runs)
        values.push_back(r.cpu);
    return values;
}

CommandRun Tool(const Options& options, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{options.ffmpeg, "-nostdin", "-hide_banner", "-nostats", "-loglevel", "info",
                                  "-benchmark", "-y"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CommandRun run = RunCommand(argv);
    if (run.status != 0)
        throw std::runtime_error("ffmpeg failed:\n" + run.log);
    return run;
}

void PrintTimes(const std::string& name, const std::vector<double>& walls, const std::vector<double>& cpus)
{
    std::cout << "  " << std::left << std::setw(34) << name << std::right << " wall " << std::setw(8)
              << Fixed(Median(walls) * 1e3, 1) << " ms";
    if (!cpus.empty())
        std::cout << "  cpu " << std::setw(8) << Fixed(Median(cpus) * 1e3, 1) << " ms";
    std::cout << "   (";
    for (std::size_t i = 0; i < walls.size(); ++i)
        std::cout << (i ? " " : "") << Fixed(walls[i] * 1e3, 1);
    std::cout << ")\n";
}

// One row comparing the facade's times with the tool's, run for run; the
// ratio is the tool's time over the facade's, so above 1 the facade is faster.
void Compare(const Options& options, const std::string& path, const std::string& figure, const std::string& what,
             const std::vector<double>& facade, const std::vector<double>& tool)
{
    const double ratio = PairedRatio(tool, facade);
    Result(path, figure + ", " + std::to_string(options.runs) + " runs", Fixed(Median(facade) * 1e3, 1) + " ms",
           Fixed(Median(tool) * 1e3, 1) + " ms (" + what + ")", Fixed(ratio, 2), ">= 1.00",
           options.smoke ? "smoke" : Verdict(ratio >= 1.0));
}

// The facade against the tool three ways: wall time against the whole
// process and against the tool's own transcoding loop, and CPU time against
// the loop's (steadier when the machine is shared).
void CompareAll(const Options& options, const std::string& path, const std::vector<Sample>& facade,
                const std::vector<CommandRun>& tool)
{
    Compare(options, path, "wall", "ffmpeg process", Walls(facade), ToolWalls(tool));
    Compare(options, path, "wall", "ffmpeg -benchmark loop", Walls(facade), ToolLoops(tool));
    Compare(options, path, "CPU", "ffmpeg -benchmark loop", Cpus(facade), ToolLoopCpus(tool));
}

// ---- Audio

bool AudioTranscode(const Options& options, const TempDir& dir, bool haveTool)
{
    const Encoded mulaw = MakeMulaw(options.seconds);
    const std::string wav = dir.File("in.wav");
    const std::string facadePath = dir.File("facade-audio.mp4");
    const std::string videoPath = dir.File("facade-video-alone.mp4");
    const std::string toolPath = dir.File("tool-audio.mp4");
    {
        AVCodecParameters* codec = avcodec_parameters_alloc();
        codec->codec_type = AVMEDIA_TYPE_AUDIO;
        codec->codec_id = AV_CODEC_ID_PCM_MULAW;
        codec->sample_rate = kAudioRate;
        codec->block_align = 1;
        codec->bits_per_coded_sample = 8;
        av_channel_layout_default(&codec->ch_layout, 1);
        WriteFile(wav, *codec, AVRational{1, kAudioRate}, mulaw, kAudioPacket);
        avcodec_parameters_free(&codec);
    }
    const auto seconds = static_cast<std::size_t>(options.seconds);
    // One tiny picture a second at a time scale of 1: the least video the
    // audio facade accepts.
    const Packets video = SyntheticH264(seconds, 0.0001);
    const std::uint64_t packetStep = kSecond * kAudioPacket / kAudioRate;
    const std::size_t perSecond = kAudioRate / kAudioPacket;

    auto openVideo = [&](Mpeg::IFfMpegFacade& facade, const std::string& path) {
        facade.StartInitMediaFile(Widen(path));
        auto record = std::make_unique<Mpeg::StreamParametersVideo>();
        record->startTime = kHostStart;
        record->timeScale = 1;
        record->codecId = Mpeg::CodecIdVideo::H264;
        record->width = 64;
        record->height = 64;
        record->codecConfiguration.extraData = AvcC();
        facade.InitStreamVideo(std::move(record));
    };
    auto videoBatch = [&](std::size_t s) {
        Mpeg::MediaPacketList list;
        list.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{video[s], kHostStart + s * kSecond}));
        return list;
    };
    auto facadeRun = [&] {
        std::vector<Mpeg::MediaPacketList> videoBatches, audioBatches;
        for (std::size_t s = 0; s < seconds; ++s)
        {
            videoBatches.push_back(videoBatch(s));
            audioBatches.push_back(HostPackets(mulaw, s * perSecond, (s + 1) * perSecond, packetStep));
        }
        return Measure([&] {
            auto facade = Mpeg::IFfMpegFacade::Create(true);
            openVideo(*facade, facadePath);
            auto record = std::make_unique<Mpeg::StreamParametersAudio>();
            record->startTime = kHostStart;
            record->timeScale = kAudioRate;
            record->codecId = Mpeg::CodecIdAudio::PcmMulaw;
            record->channels = 1;
            record->firstPacketHeader.assign(mulaw.packets[0].begin(), mulaw.packets[0].begin() + 8);
            facade->InitStreamAudio(std::move(record));
            facade->FinishInitMediaFile();
            for (std::size_t s = 0; s < seconds; ++s)
                facade->AddPacketsAudioVideo(std::move(videoBatches[s]), std::move(audioBatches[s]));
            facade->FinishMediaFile();
        });
    };
    auto videoAloneRun = [&] {
        std::vector<Mpeg::MediaPacketList> videoBatches;
        for (std::size_t s = 0; s < seconds; ++s)
            videoBatches.push_back(videoBatch(s));
        return Measure([&] {
            auto facade = Mpeg::IFfMpegFacade::Create(false);
            openVideo(*facade, videoPath);
            facade->FinishInitMediaFile();
            for (auto& batch : videoBatches)
                facade->AddPacketsVideo(std::move(batch));
            facade->FinishMediaFile();
        });
    };
    auto toolRun = [&] { return Tool(options, {"-i", wav, "-c:a", "aac", toolPath}); };

    std::cout << "audio transcode: " << options.seconds << " s of 8 kHz mu-law in " << mulaw.packets.size()
              << " packets of 20 ms -> AAC in MP4, " << options.runs << " runs per side\n";
    if (!options.smoke)
    {
        facadeRun();
        videoAloneRun();
        if (haveTool)
            toolRun();
    }
    Timings timings;
    std::vector<Sample> videoAlone;
    for (int r = 0; r < options.runs; ++r)
    {
        timings.facade.push_back(facadeRun());
        videoAlone.push_back(videoAloneRun());
        if (haveTool)
            timings.tool.push_back(toolRun());
    }
    const double facadeCpu = Median(Cpus(timings.facade));
    const double videoCpu = Median(Cpus(videoAlone));
    PrintTimes("facade (audio + tiny video)", Walls(timings.facade), Cpus(timings.facade));
    PrintTimes("of which tiny video alone", Walls(videoAlone), Cpus(videoAlone));

    const std::int64_t facadeSamples = DecodedUnits(facadePath, AVMEDIA_TYPE_AUDIO);
    const StreamSummary facadeAudio = StreamOf(Summarize(facadePath), AVMEDIA_TYPE_AUDIO);
    std::cout << "  facade output: " << Describe(facadeAudio) << ", decodes to " << facadeSamples << " samples\n";
    const std::int64_t inputSamples = static_cast<std::int64_t>(mulaw.packets.size()) * kAudioPacket;
    bool correct = facadeAudio.codec == AV_CODEC_ID_AAC && facadeSamples > 0 &&
                   std::llabs(facadeSamples - inputSamples) <= 2 * kAacFrame;
    if (haveTool)
    {
        PrintTimes("ffmpeg -i in.wav -c:a aac (process)", ToolWalls(timings.tool), ToolCpus(timings.tool));
        PrintTimes("ffmpeg, its -benchmark loop time", ToolLoops(timings.tool), ToolLoopCpus(timings.tool));
        const std::int64_t toolSamples = DecodedUnits(toolPath, AVMEDIA_TYPE_AUDIO);
        const StreamSummary toolAudio = StreamOf(Summarize(toolPath), AVMEDIA_TYPE_AUDIO);
        std::cout << "  ffmpeg output: " << Describe(toolAudio) << ", decodes to " << toolSamples << " samples\n";
        correct = correct && toolSamples > 0 && std::llabs(facadeSamples - toolSamples) <= 2 * kAacFrame;
    }
    std::cout << "  input " << inputSamples << " samples; outputs "
              << (correct ? "decode to the same length within two AAC frames" : "DIFFER") << "\n\n";

    const std::string path = "audio transcode, mu-law -> AAC";
    if (haveTool)
        CompareAll(options, path, timings.facade, timings.tool);
    Result(path, "tiny video stream's share, CPU", Fixed(videoCpu * 1e3, 2) + " ms alone",
           Fixed(facadeCpu * 1e3, 1) + " ms whole export", Fixed(videoCpu / facadeCpu, 3), "negligible", "");
    Result(path, "outputs decode alike", correct ? "yes" : "NO", "", "", "same length", Verdict(correct));
    return correct;
}

// ---- Video

bool VideoTranscode(const Options& options, const TempDir& dir, bool haveTool)
{
    const Encoded h263 = MakeH263(options.seconds);
    const std::string mov = dir.File("in.mov");
    const std::string facadePath = dir.File("facade-video.mp4");
    const std::string toolPath = dir.File("tool-video.mp4");
    const std::string toolOnePath = dir.File("tool-video-1.mp4");
    {
        AVCodecParameters* codec = avcodec_parameters_alloc();
        codec->codec_type = AVMEDIA_TYPE_VIDEO;
        codec->codec_id = AV_CODEC_ID_H263;
        codec->width = kCifWidth;
        codec->height = kCifHeight;
        codec->format = AV_PIX_FMT_YUV420P;
        WriteFile(mov, *codec, AVRational{1, kFps}, h263, 1);
        avcodec_parameters_free(&codec);
    }
    const std::uint64_t step = kSecond / kFps;

    auto facadeRun = [&] {
        std::vector<Mpeg::MediaPacketList> batches;
        for (std::size_t i = 0; i < h263.packets.size(); i += kFps)
            batches.push_back(HostPackets(h263, i, i + kFps, step));
        return Measure([&] {
            auto facade = Mpeg::IFfMpegFacade::Create(false);
            facade->StartInitMediaFile(Widen(facadePath));
            auto record = std::make_unique<Mpeg::StreamParametersVideo>();
            record->startTime = kHostStart;
            record->timeScale = kFps;
            record->codecId = Mpeg::CodecIdVideo::H263;
            record->width = kCifWidth;
            record->height = kCifHeight;
            facade->InitStreamVideo(std::move(record));
            facade->FinishInitMediaFile();
            for (auto& batch : batches)
                facade->AddPacketsVideo(std::move(batch));
            facade->FinishMediaFile();
        });
    };
    auto toolRun = [&] { return Tool(options, {"-i", mov, "-c:v", "mpeg4", toolPath}); };
    auto toolOneRun = [&] {
        return Tool(options, {"-threads", "1", "-i", mov, "-c:v", "mpeg4", "-threads", "1", toolOnePath});
    };

    std::cout << "video transcode: " << options.seconds << " s of H.263 CIF at 25 fps ("
              << Fixed(static_cast<double>(TotalBytes(h263.packets)) * 8 / options.seconds / 1e3, 0)
              << " kbit/s) -> MPEG-4 part 2 in MP4, " << options.runs << " runs per side\n";
    if (!options.smoke)
    {
        facadeRun();
        if (haveTool)
            toolRun();
    }
    Timings timings;
    std::vector<CommandRun> oneThread;
    for (int r = 0; r < options.runs; ++r)
    {
        timings.facade.push_back(facadeRun());
        if (haveTool)
        {
            timings.tool.push_back(toolRun());
            oneThread.push_back(toolOneRun());
        }
    }
    PrintTimes("facade", Walls(timings.facade), Cpus(timings.facade));
    const std::int64_t facadeFrames = DecodedUnits(facadePath, AVMEDIA_TYPE_VIDEO);
    const StreamSummary facadeVideo = StreamOf(Summarize(facadePath), AVMEDIA_TYPE_VIDEO);
    std::cout << "  facade output: " << Describe(facadeVideo) << ", decodes to " << facadeFrames << " pictures\n";
    const auto inputFrames = static_cast<std::int64_t>(h263.packets.size());
    bool correct = facadeVideo.codec == AV_CODEC_ID_MPEG4 && facadeFrames == inputFrames;
    if (haveTool)
    {
        PrintTimes("ffmpeg -c:v mpeg4 (process)", ToolWalls(timings.tool), ToolCpus(timings.tool));
        PrintTimes("ffmpeg, its -benchmark loop time", ToolLoops(timings.tool), ToolLoopCpus(timings.tool));
        PrintTimes("ffmpeg -threads 1 (process)", ToolWalls(oneThread), ToolCpus(oneThread));
        PrintTimes("ffmpeg -threads 1, its loop", ToolLoops(oneThread), ToolLoopCpus(oneThread));
        const std::int64_t toolFrames = DecodedUnits(toolPath, AVMEDIA_TYPE_VIDEO);
        const StreamSummary toolVideo = StreamOf(Summarize(toolPath), AVMEDIA_TYPE_VIDEO);
        std::cout << "  ffmpeg output: " << Describe(toolVideo) << ", decodes to " << toolFrames << " pictures\n";
        correct = correct && toolFrames == inputFrames;
    }
    std::cout << "  input " << inputFrames << " pictures; outputs "
              << (correct ? "decode to as many" : "DIFFER") << "\n\n";

    const std::string path = "video transcode, H.263 -> MPEG-4";
    if (haveTool)
    {
        CompareAll(options, path, timings.facade, timings.tool);
        Result(path, "for reference: CPU against ffmpeg -threads 1 loop", Fixed(Median(Cpus(timings.facade)) * 1e3, 1) + " ms",
               Fixed(Median(ToolLoopCpus(oneThread)) * 1e3, 1) + " ms (" +
                   Fixed(Median(ToolLoops(oneThread)) * 1e3, 1) + " ms wall)",
               Fixed(PairedRatio(ToolLoopCpus(oneThread), Cpus(timings.facade)), 2), "", "");
    }
    Result(path, "outputs decode alike", correct ? "yes" : "NO", "", "", "same picture count", Verdict(correct));
    return correct;
}

int Run(int argc, char** argv)
{
    Args args(argc, argv,
              "usage: bench_transcode [--seconds=60] [--runs=5] [--ffmpeg=ffmpeg] [--only=audio|video] "
              "[--without-ffmpeg] [--smoke]");
    Options options;
    options.smoke = args.Flag("smoke");
    if (options.smoke)
    {
        options.seconds = 2;
        options.runs = 1;
    }
    options.seconds = std::floor(args.Number("seconds", options.seconds, 1));
    options.runs = static_cast<int>(args.Number("runs", options.runs, 1));
    options.ffmpeg = args.Text("ffmpeg", options.ffmpeg);
    options.only = args.Text("only", "");
    // For profiling the facade alone.
    const bool withoutTool = args.Flag("without-ffmpeg");
    args.Finish();
    if (!options.only.empty() && options.only != "audio" && options.only != "video")
        throw std::invalid_argument("--only takes audio or video");

    av_log_set_level(AV_LOG_ERROR);
    const bool haveTool = !withoutTool && HaveCommand(options.ffmpeg);
    if (!haveTool)
        std::cout << "not running '" << options.ffmpeg << "': the facade is timed alone\n";
    const TempDir dir("bench_transcode");
    bool correct = true;
    if (options.only != "video")
        correct = AudioTranscode(options, dir, haveTool);
    if (options.only != "audio")
        correct = VideoTranscode(options, dir, haveTool) && correct;
    return correct ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    try
    {
        return Run(argc, argv);
    }
    catch (const std::exception& error)
    {
        std::cerr << "bench_transcode: " << error.what() << '\n';
        return 2;
    }
}
