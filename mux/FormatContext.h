#pragma once

#include "av/AvHandles.h"
#include "mux/JournalWriter.h"
#include "mux/MediaFile.h"
#include "av/OwnedPacket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

extern "C" {
#include <libavformat/avformat.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Releases an output context: its file first (only formats that write a file
// have one, and only once it was opened), then the context with its streams.
void CloseOutputContext(AVFormatContext* context);

// A format context that is never opened: it only holds the host's stream
// descriptions as FFmpeg streams, from which decoders and output streams are
// built. Closing it also frees those streams.
class FormatContextInput final
{
public:
    FormatContextInput();

    AVFormatContext* GetAvFormatContext() const noexcept { return m_formatContext.get(); }

private:
    std::unique_ptr<AVFormatContext, AvDeleter<avformat_close_input>> m_formatContext;
};

// Container short name -> codec ids the container carries unchanged.
using SupportedCodecsMap = std::unordered_map<std::string, std::unordered_set<AVCodecID>>;

// The muxing context of the file being written.
class FormatContextOutput final
{
public:
    // The muxer follows from the extension of the UTF-16 file name.
    explicit FormatContextOutput(const std::wstring& filePath);
    FormatContextOutput(const FormatContextOutput&) = delete;
    FormatContextOutput& operator=(const FormatContextOutput&) = delete;

    AVFormatContext* GetAvFormatContext() const noexcept { return m_formatContext.get(); }

    // Opens the file named at construction (MediaFile), creates its journal,
    // empties the file and writes the header, then the journal's. Fails
    // whole: what it made is removed and nothing stays open. The destructor
    // closes the file again.
    void OpenAndWriteHeader();
    // Writes what the muxer still holds and the trailer (the index); only
    // then is the file made durable and its journal deleted.
    void WriteTrailer();

    // The only way packets reach the file (av_interleaved_write_frame, which
    // takes the packet's reference and leaves it blank). Once there is a
    // journal, each packet is noted in it first.
    void WritePacket(AVPacket& packet);

    // Whether `path` leads to the file being written.
    bool IsWrittenAs(const std::string& path) const { return m_file && m_file->IsNamedBy(path); }
    // Whether the host's name still leads to the file being written: a file
    // deleted, moved or replaced meanwhile is not where the host looks.
    bool IsStillNamed() const { return m_file && m_file->IsNamedBy(m_file->Path()); }
    // The host's name of the file.
    const std::string& Path() const noexcept { return m_path; }

    // Bytes written so far (the I/O context's position).
    std::int64_t CurrentPosition() const;

    static const SupportedCodecsMap& GetSupportedCodecsMap(int mediaType);
    // The id the output stream carries: the source id when the container
    // accepts it (copy), otherwise the preferred codec (transcode).
    AVCodecID GetOutputCodecId(int mediaType, AVCodecID sourceCodecId) const;
    AVCodecID GetPreferredCodecId(int mediaType) const;

private:
    std::string ContainerType() const;

    std::string m_path;
    // Declared before the context, so that its lock outlasts libavformat's
    // descriptor.
    std::unique_ptr<MediaFile> m_file;
    std::unique_ptr<AVFormatContext, AvDeleter<CloseOutputContext>> m_formatContext;
    // Declared after the context, so it goes first.
    std::unique_ptr<JournalWriter> m_journal;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
