// A host program that knows the library only through its public headers and
// libmpegexporter.so: failures must reach it as the public exception types,
// caught by type across the shared-library boundary.
//   boundary_host <writable directory>

#include <mpegexporter/IFfMpegFacade.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
int g_failures = 0;

void Check(bool condition, const std::string& what)
{
    if (!condition)
    {
        std::cerr << "FAILED: " << what << '\n';
        ++g_failures;
    }
}

void MisuseArrivesAsFacadeException(Mpeg::IFfMpegFacade& facade)
{
    try
    {
        facade.InitStreamAudio(std::make_unique<Mpeg::StreamParametersAudio>());
        Check(false, "InitStreamAudio on a video-only facade threw nothing");
    }
    catch (const Mpeg::AvException& e)
    {
        Check(false, std::string("a refusal arrived as AvException: ") + e.what());
    }
    catch (const Mpeg::FfMpegFacadeException& e)
    {
        Check(std::string(e.what()) == "FfMpegFacade: Audio-related call to video-only adapter",
              std::string("refusal text: ") + e.what());
    }
}

void FfmpegFailureArrivesAsAvException(Mpeg::IFfMpegFacade& facade, const std::string& directory)
{
    const std::string path = directory + "/no-such-directory/out.mp4";
    facade.StartInitMediaFile(std::wstring(path.begin(), path.end())); // ASCII paths only
    auto record = std::make_unique<Mpeg::StreamParametersVideo>();
    record->codecId = Mpeg::CodecIdVideo::Mpeg4;
    record->width = 64;
    record->height = 48;
    record->timeScale = 25;
    facade.InitStreamVideo(std::move(record));
    try
    {
        facade.FinishInitMediaFile();
        Check(false, "opening a file in a missing directory threw nothing");
    }
    catch (const Mpeg::AvException& e)
    {
        Check(e.GetErrorCode() == ENOENT, "error code " + std::to_string(e.GetErrorCode()) + ", expected ENOENT");
        Check(std::string(e.what()).rfind("FfMpegFacade: ::avio_open: ", 0) == 0,
              std::string("avio_open text: ") + e.what());
        const Mpeg::AvException copy = e;
        Check(copy.GetErrorCode() == e.GetErrorCode() && std::strcmp(copy.what(), e.what()) == 0,
              "a copy keeps text and code");
        // The same object is also an instance of every base a host may catch.
        try
        {
            throw;
        }
        catch (const Mpeg::MpegExporterException&)
        {
        }
    }
    catch (const std::exception& e)
    {
        Check(false, std::string("opening the file failed with another type: ") + e.what());
    }
    // The file never opened: finishing gives it up.
    Check(facade.FinishMediaFile() == 0, "FinishMediaFile after the failed open returns 0");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: boundary_host <writable directory>\n";
        return 2;
    }
    try
    {
        auto facade = Mpeg::IFfMpegFacade::Create(false);
        Check(facade != nullptr, "Create(false) returned a facade");
        Check(facade->FinishMediaFile() == 0, "FinishMediaFile on a new facade returns 0");
        MisuseArrivesAsFacadeException(*facade);
        FfmpegFailureArrivesAsAvException(*facade, argv[1]);
    }
    catch (const std::exception& e)
    {
        Check(false, std::string("unexpected exception: ") + e.what());
    }
    if (g_failures == 0)
        std::cout << "boundary host: all checks passed\n";
    return g_failures == 0 ? 0 : 1;
}
