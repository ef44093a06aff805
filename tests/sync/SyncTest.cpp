// Real recordings keep sync: every audio path against outages, lost packets,
// drifting device clocks and arrival jitter, measured as players play the
// file, both by timestamps and as one continuous stream.

#include "support/Recording.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <tuple>

namespace
{
using Audio = Mpeg::CodecIdAudio;
using TestMedia::Recording;
using TestMedia::SyncReport;

struct Path
{
    const char* encoder;
    Audio codec;
    int rate;
    const char* container;
    int frame; // samples of one packet as the file holds it: how close the track can follow
};

// Every way audio reaches a file: copied, or transcoded into AAC (MP4) or Microsoft ADPCM (MOV).
const Path kPaths[] = {
    {"pcm_mulaw", Audio::PcmMulaw, 8000, "mov", 1},  {"pcm_mulaw", Audio::PcmMulaw, 8000, "mp4", 1024},
    {"pcm_alaw", Audio::PcmAlaw, 8000, "mov", 1},    {"pcm_alaw", Audio::PcmAlaw, 8000, "mp4", 1024},
    {"pcm_s16be", Audio::PcmS16be, 8000, "mov", 1},  {"pcm_s16be", Audio::PcmS16be, 8000, "mp4", 1024},
    {"g726", Audio::G726, 8000, "mov", 2036},        {"g726", Audio::G726, 8000, "mp4", 1024},
    {"aac", Audio::Aac, 48000, "mov", 1024},         {"aac", Audio::Aac, 48000, "mp4", 1024},
    {"mp2", Audio::Mp2, 48000, "mov", 1152},         {"mp2", Audio::Mp2, 48000, "mp4", 1152},
};

struct Case
{
    const char* name;
    Recording recording;
    // The stretch whose offsets must be within kAcceptable, beside the start.
    double checkFrom, checkTo;
};

// Viewers notice sound more than about 45 ms early (or 125 ms late).
constexpr double kAcceptable = 0.045;

// 120 ms apart by the end, uncorrected; SYNC_DRIFT_MINUTES runs them longer.
double DriftSeconds()
{
    const char* minutes = std::getenv("SYNC_DRIFT_MINUTES");
    return minutes ? std::atof(minutes) * 60 : 120;
}

// Recordings: seconds, drift, jitter, every n-th audio packet lost, an outage
// from and to, then audio and video back after it.
const Case kCases[] = {
    {"Outage", {60, 0, 0, 0, 15, 45}, 46, 60},
    {"OutageAudioBackFirst", {60, 0, 0, 0, 15, 45, 0, 1}, 47, 60},
    {"OutageVideoBackFirst", {60, 0, 0, 0, 15, 45, 1, 0}, 47, 60},
    {"Fast1000ppm", {DriftSeconds(), 1e-3, 0.02}, DriftSeconds() - 10, DriftSeconds()},
    {"Slow1000ppm", {DriftSeconds(), -1e-3, 0.02}, DriftSeconds() - 10, DriftSeconds()},
    {"OnePacketIn50Lost", {60, 0, 0, 50}, 50, 60},
};

std::string Name(const Path& path)
{
    return std::string(path.encoder) + "_" + path.container;
}

// With `midway`, the first ten minutes are played, then it runs, then the rest.
SyncReport Export(const std::filesystem::path& file, const Path& path, const Recording& recording, int timeScale = 25,
                  const std::function<void(Mpeg::IFfMpegFacade&)>& midway = {})
{
    const TestMedia::EncodedStream sound =
        TestMedia::RecordedSound(path.encoder, path.rate, recording, path.codec == Audio::Aac);
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    TestMedia::Open(*facade, file,
                    TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, TestMedia::FlashingSecond(), timeScale),
                    TestMedia::AudioRecord(path.codec, path.rate, sound.packets[0]));
    TestMedia::Play(*facade, recording, sound, 0, midway ? 600 : -1);
    if (midway)
        midway(*facade), TestMedia::Play(*facade, recording, sound, 600);
    EXPECT_GT(facade->FinishMediaFile(), 0);
    return TestMedia::MeasureSync(file);
}

// Both ways, in [from, to): the mean offset within kAcceptable of `reference`.
void ExpectInSync(const SyncReport& report, double from, double to, double reference, double bound)
{
    for (const auto* offsets : {&report.byTimestamps, &report.asStream})
    {
        SCOPED_TRACE(offsets == &report.byTimestamps ? "by timestamps" : "as one stream");
        EXPECT_GE(SyncReport::Count(*offsets, from, to), static_cast<int>(to - from) - 2);
        EXPECT_NEAR(SyncReport::Mean(*offsets, from, to), reference, bound);
    }
}

void Print(const char* what, const Path& path, const SyncReport& report, double from, double to)
{
    std::cout << "[ figures  ] " << what << ", " << Name(path) << ": offset "
              << SyncReport::Mean(report.byTimestamps, from, to) * 1000 << " ms by timestamps, "
              << SyncReport::Mean(report.asStream, from, to) * 1000 << " ms as one stream; audio "
              << report.audioSeconds << " s for " << report.videoSeconds << " s of video\n";
}

class SyncOnEveryPath : public ::testing::TestWithParam<std::tuple<Path, Case>>
{
};
} // namespace

// What each path does to a clean recording, at the time scales hosts use,
// against the same packets written at their own times (the control): the
// same offset, within 5 ms, from the first picture; the file as long as its
// ten seconds of pictures, within a millisecond; the sound as long as the
// pictures, within a frame.
class CleanRecording : public ::testing::TestWithParam<std::tuple<Path, int>>
{
};

TEST_P(CleanRecording, PlaysAsTheControl)
{
    const auto& [path, timeScale] = GetParam();
    TestMedia::TempDir dir;
    Recording recording;
    const auto file = dir / (std::string("out.") + path.container);
    const SyncReport report = Export(file, path, recording, timeScale);
    const TestMedia::EncodedStream sound =
        TestMedia::RecordedSound(path.encoder, path.rate, recording, path.codec == Audio::Aac);
    // MOV takes every source codec but G.726, which has no delay of its own.
    double control = 0;
    if (TestMedia::WritePlain(dir / "control.mov", recording, sound))
        control = SyncReport::Mean(TestMedia::MeasureSync(dir / "control.mov").byTimestamps);
    Print("clean 10 s", path, report, 0, 10);
    std::cout << "[ figures  ] control: " << control * 1000 << " ms\n";
    ExpectInSync(report, 0, 10, control, 0.005);
    EXPECT_NEAR(report.audioStart, 0, 0.001);
    EXPECT_NEAR(report.audioSeconds, report.videoSeconds, static_cast<double>(path.frame) / path.rate);
    for (const TestMedia::ReadStream& stream : TestMedia::Read(file).streams)
        EXPECT_NEAR(stream.startSeconds + stream.durationSeconds, 10, 0.001) << avcodec_get_name(stream.codecId);
}

INSTANTIATE_TEST_SUITE_P(Paths, CleanRecording, ::testing::Combine(::testing::ValuesIn(kPaths), ::testing::Values(25, 1000, 90000)),
                         [](const auto& info) {
                             return Name(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param));
                         });

TEST_P(SyncOnEveryPath, WithinWhatViewersNotice)
{
    const auto& [path, c] = GetParam();
    TestMedia::TempDir dir;
    const SyncReport report = Export(dir / (std::string("out.") + path.container), path, c.recording);
    Print(c.name, path, report, c.checkFrom, c.checkTo);
    ExpectInSync(report, 0, 10, 0, kAcceptable);
    ExpectInSync(report, c.checkFrom, c.checkTo, 0, kAcceptable);
    EXPECT_NEAR(report.audioSeconds, report.videoSeconds, static_cast<double>(path.frame) / path.rate);
}

INSTANTIATE_TEST_SUITE_P(PathsAndCases, SyncOnEveryPath,
                         ::testing::Combine(::testing::ValuesIn(kPaths), ::testing::ValuesIn(kCases)),
                         [](const auto& info) {
                             return Name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

// A source gone silent holds nothing back: with the audio lists empty for ten
// minutes the pictures reach the file as they come (the muxer keeps at most
// ten seconds to interleave), and the sound that returns is placed by its
// timestamps, the silence before it filled.
TEST(SilentSource, PicturesGoOnAndTheSoundReturnsInPlace)
{
    std::int64_t second = 0;
    for (const auto& picture : TestMedia::FlashingSecond().packets)
        second += static_cast<std::int64_t>(picture.size());
    for (const Path& path : {kPaths[0], kPaths[1]})
    {
        SCOPED_TRACE(Name(path));
        TestMedia::TempDir dir;
        const SyncReport report = Export(dir / (std::string("silent.") + path.container), path,
                                         {660, 0, 0, 0, 0, 0, 0, 0, 30, 630}, 25, [&](Mpeg::IFfMpegFacade& facade) {
                                             EXPECT_GT(facade.EstimateFileSize(0, 1), 585 * second);
                                         });
        Print("silent for ten minutes", path, report, 631, 660);
        ExpectInSync(report, 631, 660, 0, kAcceptable);
        EXPECT_NEAR(report.audioSeconds, report.videoSeconds, static_cast<double>(path.frame) / path.rate);
    }
}
