// export_video: writes JPEG pictures into an MP4 or MOV file through
// libmpegexporter, the way a host with an MJPEG camera would. Each input file
// is one encoded picture; they are shown at 25 per second.
//
//   export_video OUTPUT.mp4 WIDTH HEIGHT PICTURE.jpg...
//
// Pictures to try it with:
//   ffmpeg -f lavfi -i testsrc=size=320x240:rate=25:duration=2 -c:v mjpeg picture%03d.jpg

#include <mpegexporter/IFfMpegFacade.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <ratio>
#include <stdexcept>
#include <string>
#include <vector>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
// Packets are stamped on the host's clock, in 100-ns units.
using HostTicks = std::chrono::duration<std::uint64_t, std::ratio<1, 10'000'000>>;
constexpr int kPicturesPerSecond = 25;
constexpr std::size_t kBatchSize = kPicturesPerSecond; // hand over one second at a time

std::vector<std::uint8_t> ReadPicture(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (data.empty())
        throw std::runtime_error(path + " is empty");
    return data;
}

int PictureSize(const char* text)
{
    const int value = std::atoi(text);
    if (value <= 0)
        throw std::invalid_argument(std::string("not a picture size: ") + text);
    return value;
}

// File names go to the library as UTF-16. Widening is exact for ASCII only;
// a real host converts from its own encoding.
std::wstring FileName(const std::string& name)
{
    for (const unsigned char c : name)
        if (c >= 0x80)
            throw std::invalid_argument("this example takes ASCII file names only: " + name);
    return std::wstring(name.begin(), name.end());
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 5)
    {
        std::cerr << "usage: export_video OUTPUT.mp4|OUTPUT.mov WIDTH HEIGHT PICTURE.jpg...\n";
        return 2;
    }
    try
    {
        const auto start = std::chrono::duration_cast<HostTicks>(std::chrono::system_clock::now().time_since_epoch());
        const auto interval = std::chrono::duration_cast<HostTicks>(std::chrono::seconds(1)) / kPicturesPerSecond;

        auto stream = std::make_unique<Mpeg::StreamParametersVideo>();
        stream->codecId = Mpeg::CodecIdVideo::Mjpeg; // JPEG pictures need no extradata
        stream->width = PictureSize(argv[2]);
        stream->height = PictureSize(argv[3]);
        stream->timeScale = kPicturesPerSecond; // one tick per picture: players time and seek correctly
        stream->startTime = start.count();

        // Read everything before the export starts: a failed read in the
        // middle would leave an unfinished file behind.
        std::vector<Mpeg::MediaPacketList> batches;
        for (int i = 4; i < argc; ++i)
        {
            if (batches.empty() || batches.back().size() == kBatchSize)
                batches.emplace_back();
            auto packet = std::make_unique<Mpeg::MediaPacket>();
            packet->data = ReadPicture(argv[i]);
            packet->timestamp = (start + (i - 4) * interval).count();
            batches.back().push_back(std::move(packet));
        }

        auto facade = Mpeg::IFfMpegFacade::Create(false); // video only
        facade->StartInitMediaFile(FileName(argv[1]));
        facade->InitStreamVideo(std::move(stream));
        facade->FinishInitMediaFile(); // opens the file
        for (auto& batch : batches)
            facade->AddPacketsVideo(std::move(batch)); // returns at once; the worker writes
        const std::int64_t bytes = facade->FinishMediaFile(); // waits for the worker
        std::cout << "wrote " << argc - 4 << " pictures, " << bytes << " bytes, to " << argv[1] << '\n';
        return 0;
    }
    catch (const Mpeg::AvException& e) // an FFmpeg call failed, e.g. the file could not be opened
    {
        std::cerr << "export_video: " << e.what() << " (error " << e.GetErrorCode() << ")\n";
    }
    catch (const Mpeg::FfMpegFacadeException& e) // the facade refused a call
    {
        std::cerr << "export_video: " << e.what() << '\n';
    }
    catch (const std::exception& e) // bad arguments, unreadable pictures
    {
        std::cerr << "export_video: " << e.what() << '\n';
    }
    return 1;
}
