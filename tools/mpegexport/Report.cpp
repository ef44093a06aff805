#include "Report.h"

#include <string>

namespace mpegexport
{
namespace
{
std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text)
    {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (u < 0x20)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        }
        else
            out += c;
    }
    return out + "\"";
}

const char* Bool(bool value)
{
    return value ? "true" : "false";
}

std::string Treatment(AVCodecID in, AVCodecID out)
{
    return in == out ? DisplayName(in) + " copied" : DisplayName(in) + " transcoded to " + DisplayName(out);
}

const char* CopiedOrTranscoded(bool copied)
{
    return copied ? "copied" : "transcoded";
}
} // namespace

void PrintText(std::FILE* out, const std::vector<ExportResult>& results)
{
    for (const ExportResult& result : results)
    {
        std::fprintf(out, "%s -> %s: %s, time scale %d, %lld of %lld packets handed over, %.3f s%s\n", result.input.c_str(),
                     ContainerName(result.container), Treatment(result.codecIn, result.codecOut).c_str(),
                     result.timeScale, static_cast<long long>(result.packetsSent),
                     static_cast<long long>(result.packetsRead), result.secondsTaken,
                     result.interrupted ? " (interrupted)" : result.stopped ? " (stopped)" : "");
        if (const auto& audio = result.audio)
            std::fprintf(out, "  audio from %s: %s, %d Hz, %lld of %lld packets handed over\n", audio->source.c_str(),
                         Treatment(audio->codecIn, audio->codecOut).c_str(), audio->sampleRate,
                         static_cast<long long>(audio->packetsSent), static_cast<long long>(audio->packetsRead));
        for (const WrittenFile& file : result.files)
        {
            const FileContents& contents = file.contents;
            std::fprintf(out, "  %s: %lld bytes, %lld pictures, %.2f s", file.path.c_str(),
                         static_cast<long long>(file.bytes), static_cast<long long>(contents.frames),
                         contents.seconds);
            if (!contents.audioCodec.empty())
                std::fprintf(out, "; %s audio, %lld packets, %.2f s", contents.audioCodec.c_str(),
                             static_cast<long long>(contents.audioPackets), contents.audioSeconds);
            std::fputc('\n', out);
        }
    }
}

void PrintJson(std::FILE* out, const std::vector<ExportResult>& results, double secondsTaken)
{
    std::fprintf(out, "{\n  \"exports\": [");
    for (std::size_t i = 0; i < results.size(); ++i)
    {
        const ExportResult& r = results[i];
        std::fprintf(out, "%s\n    {\n", i ? "," : "");
        std::fprintf(out, "      \"input\": %s,\n", JsonString(r.input).c_str());
        std::fprintf(out, "      \"container\": \"%s\",\n", ContainerName(r.container));
        std::fprintf(out, "      \"codecIn\": %s,\n", JsonString(ShortName(r.codecIn)).c_str());
        std::fprintf(out, "      \"codecOut\": %s,\n", JsonString(ShortName(r.codecOut)).c_str());
        std::fprintf(out, "      \"video\": \"%s\",\n", CopiedOrTranscoded(r.Copied()));
        std::fprintf(out, "      \"timeScale\": %d,\n", r.timeScale);
        std::fprintf(out, "      \"packetsRead\": %lld,\n", static_cast<long long>(r.packetsRead));
        std::fprintf(out, "      \"packetsSent\": %lld,\n", static_cast<long long>(r.packetsSent));
        if (const auto& a = r.audio)
            std::fprintf(out,
                         "      \"audio\": {\"source\": %s, \"codecIn\": %s, \"codecOut\": %s, \"treatment\": \"%s\", "
                         "\"sampleRate\": %d, \"channels\": %d, \"packetsRead\": %lld, \"packetsSent\": %lld},\n",
                         JsonString(a->source).c_str(), JsonString(ShortName(a->codecIn)).c_str(),
                         JsonString(ShortName(a->codecOut)).c_str(), CopiedOrTranscoded(a->Copied()), a->sampleRate,
                         a->channels, static_cast<long long>(a->packetsRead), static_cast<long long>(a->packetsSent));
        else
            std::fprintf(out, "      \"audio\": null,\n");
        std::fprintf(out, "      \"stopped\": %s,\n", Bool(r.stopped));
        std::fprintf(out, "      \"interrupted\": %s,\n", Bool(r.interrupted));
        std::fprintf(out, "      \"secondsTaken\": %.3f,\n", r.secondsTaken);
        std::fprintf(out, "      \"files\": [");
        for (std::size_t f = 0; f < r.files.size(); ++f)
        {
            const WrittenFile& file = r.files[f];
            const FileContents& contents = file.contents;
            std::fprintf(out, "%s\n        {\"path\": %s, \"bytes\": %lld, \"frames\": %lld, \"seconds\": %.3f, ",
                         f ? "," : "", JsonString(file.path).c_str(), static_cast<long long>(file.bytes),
                         static_cast<long long>(contents.frames), contents.seconds);
            if (contents.audioCodec.empty())
                std::fprintf(out, "\"audioCodec\": null, \"audioPackets\": 0, \"audioSeconds\": 0}");
            else
                std::fprintf(out, "\"audioCodec\": %s, \"audioPackets\": %lld, \"audioSeconds\": %.3f}",
                             JsonString(contents.audioCodec).c_str(), static_cast<long long>(contents.audioPackets),
                             contents.audioSeconds);
        }
        std::fprintf(out, "\n      ],\n      \"notes\": [");
        for (std::size_t n = 0; n < r.notes.size(); ++n)
            std::fprintf(out, "%s%s", n ? ", " : "", JsonString(r.notes[n]).c_str());
        std::fprintf(out, "]\n    }");
    }
    std::fprintf(out, "\n  ],\n  \"secondsTaken\": %.3f\n}\n", secondsTaken);
}

} // namespace mpegexport
