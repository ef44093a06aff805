// Writes one file per export path through the public facade, the way a host
// would, into the directory given, and describes each in manifest.json: what
// the host handed over (the truth other readers are held to) and what
// libavformat reads back (to tell a fault of ours from a reader's quirk).
//   reader_exports <directory> [file ...]   (no files: all of them)

#include "support/TestMedia.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <cmath>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

namespace
{
namespace fs = std::filesystem;
using Audio = Mpeg::CodecIdAudio;
using Video = Mpeg::CodecIdVideo;
using TestMedia::EncodedStream;

constexpr std::uint64_t kSecond = 10000000; // host clock: 100-ns units
constexpr int kFps = 25;
constexpr std::uint64_t kFrame = kSecond / kFps;
constexpr int kFrames = 75; // 3 s
constexpr std::size_t kBatch = 5;

struct AudioTruth
{
    std::string codec; // FFmpeg's name for what the file holds
    int rate = 0;
    int channels = 1;
    bool transcoded = false;
    double start = 0;   // seconds after the video start at which the tone is first heard
    double end = 0;     // seconds after the video start at which the host's audio ends
    double frame = 0;   // one audio frame of the file, the tolerance for audio times
};

struct Truth
{
    std::string file;
    std::string videoCodec; // FFmpeg's name for what the file holds
    int width = 0, height = 0;
    int frames = 0;
    bool hasAudio = false;
    AudioTruth audio;
};

// What libavformat and libavcodec make of a written file.
struct LibavView
{
    double end = -1; // where the last stream ends
    int videoFrames = -1;
    std::int64_t audioSamples = 0;
};

const EncodedStream& H264()
{
    static const EncodedStream video =
        TestMedia::EncodeVideo(TestMedia::HasEncoder("libx264") ? "libx264" : "mpeg4", 320, 240, kFrames, kFps, 25, true);
    return video;
}

Video CodecOf(const EncodedStream& video)
{
    switch (video.codecId)
    {
    case AV_CODEC_ID_H264: return Video::H264;
    case AV_CODEC_ID_MJPEG: return Video::Mjpeg;
    case AV_CODEC_ID_H263: return Video::H263;
    default: return Video::Mpeg4;
    }
}

std::uint64_t AudioTime(const EncodedStream& audio, std::size_t i)
{
    return i * static_cast<std::uint64_t>(audio.frameSize) * kSecond / static_cast<std::uint64_t>(audio.sampleRate);
}

double Seconds(std::uint64_t hostTime)
{
    return static_cast<double>(hostTime) / kSecond;
}

std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord(Audio codec, const EncodedStream& audio,
                                                         const TestMedia::Bytes& firstPacket, std::uint64_t start)
{
    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    record->startTime = start;
    record->timeScale = audio.sampleRate;
    record->codecId = codec;
    record->firstPacketHeader.assign(firstPacket.begin(),
                                     firstPacket.begin() + std::min<std::size_t>(8, firstPacket.size()));
    return record;
}

std::shared_ptr<Mpeg::IFfMpegFacade> OpenWithAudio(const fs::path& path, Audio codec, const EncodedStream& audio,
                                                   std::uint64_t videoStart, const TestMedia::Bytes& firstAudio)
{
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    facade->StartInitMediaFile(TestMedia::Wide(path));
    facade->InitStreamVideo(TestMedia::VideoRecord(CodecOf(H264()), H264(), kFps, videoStart));
    facade->InitStreamAudio(AudioRecord(codec, audio, firstAudio, videoStart));
    facade->FinishInitMediaFile();
    return facade;
}

// Which audio packets a run of Feed handed over.
struct Handed
{
    std::size_t first = SIZE_MAX, last = 0;
};

// Pictures [firstFrame, endFrame) in batches of kBatch, each with the audio
// packets of its stretch that start at or after `audioFrom` (host time).
Handed Feed(Mpeg::IFfMpegFacade& facade, const EncodedStream& audio, std::uint64_t audioFrom, std::size_t firstFrame,
            std::size_t endFrame)
{
    Handed handed;
    for (std::size_t v = firstFrame; v < endFrame; v += kBatch)
    {
        const std::size_t count = std::min(kBatch, endFrame - v);
        Mpeg::MediaPacketList sound;
        for (std::size_t a = 0; a < audio.packets.size() && AudioTime(audio, a) < (v + count) * kFrame; ++a)
            if (AudioTime(audio, a) >= v * kFrame && AudioTime(audio, a) >= audioFrom)
            {
                sound.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{audio.packets[a], AudioTime(audio, a)}));
                handed.first = std::min(handed.first, a);
                handed.last = a;
            }
        facade.AddPacketsAudioVideo(TestMedia::ToHostPackets(H264(), 0, kFrame, v, count), std::move(sound));
    }
    return handed;
}

// The truth about the audio of a file whose video starts at `videoStart`.
AudioTruth AudioOf(const EncodedStream& audio, const Handed& handed, std::uint64_t videoStart, const char* written,
                   bool transcoded)
{
    AudioTruth truth;
    truth.codec = written;
    truth.rate = audio.sampleRate;
    truth.transcoded = transcoded;
    truth.frame = transcoded || audio.codecId == AV_CODEC_ID_AAC ? 1024.0 / audio.sampleRate
                                                                   : audio.frameSize / double(audio.sampleRate);
    truth.start = Seconds(AudioTime(audio, handed.first) - videoStart);
    // An AAC stream opens with its encoder's priming frame: the host's tone
    // is heard one frame after the first packet's time.
    if (audio.codecId == AV_CODEC_ID_AAC && handed.first == 0)
        truth.start += 1024.0 / audio.sampleRate;
    truth.end = Seconds(AudioTime(audio, handed.last + 1) - videoStart);
    return truth;
}

std::string Json(const std::string& text)
{
    return "\"" + text + "\"";
}

LibavView ReadWithLibav(const fs::path& path)
{
    LibavView view;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0)
        return view;
    avformat_find_stream_info(context, nullptr);
    // Per stream, start plus duration: the file's duration counts a leading
    // empty edit in FFmpeg 5.1 but not in 7.1 (end minus start there).
    for (unsigned i = 0; i < context->nb_streams; ++i)
    {
        const AVStream& stream = *context->streams[i];
        const std::int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
        if (stream.duration != AV_NOPTS_VALUE)
            view.end = std::max(view.end, static_cast<double>(start + stream.duration) * av_q2d(stream.time_base));
    }
    for (unsigned i = 0; i < context->nb_streams; ++i)
    {
        const AVCodecParameters* codec = context->streams[i]->codecpar;
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO)
        {
            view.videoFrames = TestMedia::DecodeFrameCount(path, static_cast<int>(i));
            continue;
        }
        // Decoded as a player does, with the edit list cutting the priming.
        view.audioSamples = std::llround(TestMedia::MeasureSync(path).audioSeconds * codec->sample_rate);
    }
    avformat_close_input(&context);
    return view;
}

class Manifest
{
public:
    explicit Manifest(fs::path directory) : m_directory(std::move(directory)) {}

    void Add(const Truth& t)
    {
        const LibavView libav = ReadWithLibav(m_directory / t.file);
        std::ostringstream out;
        out.precision(9);
        out << "  {\"file\": " << Json(t.file) << ",\n   \"video\": {\"codec\": " << Json(t.videoCodec)
            << ", \"width\": " << t.width << ", \"height\": " << t.height << ", \"frames\": " << t.frames
            << ", \"fps\": " << kFps << "},\n";
        if (t.hasAudio)
            out << "   \"audio\": {\"codec\": " << Json(t.audio.codec) << ", \"rate\": " << t.audio.rate
                << ", \"channels\": " << t.audio.channels << ", \"transcoded\": " << (t.audio.transcoded ? "true" : "false")
                << ", \"start\": " << t.audio.start << ", \"end\": " << t.audio.end << ", \"frame\": " << t.audio.frame
                << "},\n";
        out << "   \"libav\": {\"end\": " << libav.end << ", \"video_frames\": " << libav.videoFrames
            << ", \"audio_samples\": " << libav.audioSamples << "}}";
        m_entries.push_back(out.str());
    }

    void Write() const
    {
        std::ofstream file(m_directory / "manifest.json");
        file << "[\n";
        for (std::size_t i = 0; i < m_entries.size(); ++i)
            file << m_entries[i] << (i + 1 < m_entries.size() ? ",\n" : "\n");
        file << "]\n";
        if (!file)
            throw std::runtime_error("cannot write manifest.json");
    }

private:
    fs::path m_directory;
    std::vector<std::string> m_entries;
};

Truth VideoTruth(const std::string& file, const EncodedStream& media, const char* written, std::size_t frames)
{
    Truth truth;
    truth.file = file;
    truth.videoCodec = written;
    truth.width = media.width;
    truth.height = media.height;
    truth.frames = static_cast<int>(frames);
    return truth;
}

void VideoOnly(Manifest& manifest, const fs::path& dir, const std::string& name, const EncodedStream& media,
               const char* written)
{
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / name, TestMedia::VideoRecord(CodecOf(media), media, kFps));
    for (std::size_t v = 0; v < media.packets.size(); v += kBatch)
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, v, kBatch));
    facade->FinishMediaFile();
    manifest.Add(VideoTruth(name, media, written, media.packets.size()));
}

void WithAudio(Manifest& manifest, const fs::path& dir, const std::string& name, Audio codec,
               const EncodedStream& audio, const char* written, bool transcoded, std::uint64_t audioFrom)
{
    auto facade = OpenWithAudio(dir / name, codec, audio, 0, audio.packets.front());
    const Handed handed = Feed(*facade, audio, audioFrom, 0, H264().packets.size());
    facade->FinishMediaFile();
    Truth truth = VideoTruth(name, H264(), avcodec_get_name(H264().codecId), H264().packets.size());
    truth.hasAudio = true;
    truth.audio = AudioOf(audio, handed, 0, written, transcoded);
    manifest.Add(truth);
}

// Split at a key picture (the video has one every 25), as a host would.
void SplitPair(Manifest& manifest, const fs::path& dir, const EncodedStream& adts)
{
    constexpr std::size_t kSplit = 50;
    const std::uint64_t splitTime = kSplit * kFrame;
    auto facade = OpenWithAudio(dir / "split_1.mp4", Audio::Aac, adts, 0, adts.packets.front());
    const Handed first = Feed(*facade, adts, 0, 0, kSplit);
    const std::size_t next = first.last + 1;
    facade->SplitMediaFileAudioVideo(TestMedia::Wide(dir / "split_2.mp4"), splitTime,
                                     Mpeg::MediaPacket{adts.packets[next], AudioTime(adts, next)});
    const Handed second = Feed(*facade, adts, 0, kSplit, H264().packets.size());
    facade->FinishMediaFile();

    const char* video = avcodec_get_name(H264().codecId);
    Truth one = VideoTruth("split_1.mp4", H264(), video, kSplit);
    one.hasAudio = true;
    one.audio = AudioOf(adts, first, 0, "aac", false);
    manifest.Add(one);
    Truth two = VideoTruth("split_2.mp4", H264(), video, H264().packets.size() - kSplit);
    two.hasAudio = true;
    two.audio = AudioOf(adts, second, splitTime, "aac", false);
    manifest.Add(two);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::cerr << "usage: reader_exports <directory> [file ...]\n";
        return 2;
    }
    try
    {
        const fs::path dir = argv[1];
        fs::create_directories(dir);
        const std::set<std::string> wanted(argv + 2, argv + argc);
        auto want = [&](const char* file) { return wanted.empty() || wanted.count(file) != 0; };
        Manifest manifest(dir);
        if (want("h264_copy.mp4"))
            VideoOnly(manifest, dir, "h264_copy.mp4", H264(), avcodec_get_name(H264().codecId));
        if (want("mjpeg_copy.mov") || want("mjpeg_copy.mp4"))
        {
            const EncodedStream mjpeg = TestMedia::EncodeVideo("mjpeg", 320, 240, kFrames, kFps);
            VideoOnly(manifest, dir, "mjpeg_copy.mov", mjpeg, "mjpeg");
            VideoOnly(manifest, dir, "mjpeg_copy.mp4", mjpeg, "mjpeg");
        }
        if (want("h263_transcode.mp4"))
            VideoOnly(manifest, dir, "h263_transcode.mp4", TestMedia::EncodeVideo("h263", 352, 288, kFrames, kFps),
                      "mpeg4");

        const EncodedStream mulaw = TestMedia::EncodeTone("pcm_mulaw", 8000, 4, 440);
        const EncodedStream adts = TestMedia::EncodeTone("aac", 16000, 4, 440, true);
        struct WithAudioCase
        {
            const char* file;
            Audio codec;
            const EncodedStream& audio;
            const char* written;
            bool transcoded;
            std::uint64_t from;
        };
        const WithAudioCase cases[] = {
            {"mulaw_copy.mov", Audio::PcmMulaw, mulaw, "pcm_mulaw", false, 0},
            {"mulaw_copy_late.mov", Audio::PcmMulaw, mulaw, "pcm_mulaw", false, kSecond},
            {"mulaw_aac.mp4", Audio::PcmMulaw, mulaw, "aac", true, 0},
            {"mulaw_aac_late.mp4", Audio::PcmMulaw, mulaw, "aac", true, kSecond},
            {"adts_copy.mp4", Audio::Aac, adts, "aac", false, 0},
            {"adts_copy_late.mp4", Audio::Aac, adts, "aac", false, kSecond},
        };
        for (const WithAudioCase& c : cases)
            if (want(c.file))
                WithAudio(manifest, dir, c.file, c.codec, c.audio, c.written, c.transcoded, c.from);
        if (want("split_1.mp4") || want("split_2.mp4"))
            SplitPair(manifest, dir, adts);
        manifest.Write();
    }
    catch (const std::exception& error)
    {
        std::cerr << "reader_exports: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
