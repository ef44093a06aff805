// A host that knows the library only through its public headers and
// libmpegexporter.so: failures must reach it as the public exception types,
// caught by type across the shared-library boundary.
//   boundary_host <writable directory>

#include <mpegexporter/IFfMpegFacade.h>

#include <cerrno>
#include <iostream>
#include <string>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

int main(int argc, char** argv)
{
    int failures = 0;
    auto check = [&](bool condition, const std::string& what) {
        if (!condition)
            std::cerr << "FAILED: " << what << '\n', ++failures;
    };
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    check(facade->FinishMediaFile() == 0, "FinishMediaFile on a new facade returns 0");
    // Anything thrown of another type ends the host, which fails the test.
    try
    {
        facade->InitStreamAudio(std::make_unique<Mpeg::StreamParametersAudio>());
        check(false, "InitStreamAudio on a video-only facade threw nothing");
    }
    catch (const Mpeg::FfMpegFacadeException& e)
    {
        check(!dynamic_cast<const Mpeg::AvException*>(&e), "a refusal arrived as AvException");
        check(std::string(e.what()) == "FfMpegFacade: Audio-related call to video-only adapter", e.what());
    }
    const std::string path = std::string(argc > 1 ? argv[1] : ".") + "/no-such-directory/out.mp4";
    facade->StartInitMediaFile(std::wstring(path.begin(), path.end())); // ASCII paths only
    auto record = std::make_unique<Mpeg::StreamParametersVideo>();
    record->codecId = Mpeg::CodecIdVideo::Mpeg4;
    record->width = 64;
    record->height = 48;
    record->timeScale = 25;
    facade->InitStreamVideo(std::move(record));
    try
    {
        facade->FinishInitMediaFile();
        check(false, "opening a file in a missing directory threw nothing");
    }
    catch (const Mpeg::MpegExporterException& e) // the widest base a host may catch
    {
        const auto* av = dynamic_cast<const Mpeg::AvException*>(&e);
        check(av && av->GetErrorCode() == ENOENT, std::string("expected AvException with ENOENT: ") + e.what());
        check(std::string(e.what()).rfind("FfMpegFacade: ::open: ", 0) == 0, e.what());
    }
    check(facade->FinishMediaFile() == 0, "FinishMediaFile after the failed open returns 0");
    std::cout << (failures ? "boundary host: failed\n" : "boundary host: all checks passed\n");
    return failures ? 1 : 0;
}
