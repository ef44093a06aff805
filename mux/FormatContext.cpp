#include "mux/FormatContext.h"

#include "mux/Utf16.h"
#include "av/AvResult.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

void CloseOutputContext(AVFormatContext* context)
{
    if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE))
        avio_closep(&context->pb);
    avformat_free_context(context);
}

FormatContextInput::FormatContextInput() : m_formatContext(avformat_alloc_context())
{
    if (!m_formatContext)
        throw AvException("::avformat_alloc_context did not returned format context pointer.", kAllocationFailed);
}

FormatContextOutput::FormatContextOutput(const std::wstring& filePath) : m_path(Utf16ToUtf8(filePath))
{
    // The host names a file: libavformat would take "cam1:front.mp4" for a
    // URL of protocol "cam1". Its URL says so; everything else, the journal
    // included, goes by the host's name. The extension still picks the muxer.
    const std::string url = "file:" + m_path;
    AVFormatContext* context = nullptr;
    CheckAvResult(avformat_alloc_output_context2(&context, nullptr, nullptr, url.c_str()),
                  "::avformat_alloc_output_context2");
    if (!context)
        throw AvException("::avformat_alloc_output_context2 did not set context pointer to the "
                          "\t\t\t\t\t\t\tcreated format context address despite returned succeeded return code",
                          AVERROR_UNKNOWN);
    m_formatContext.reset(context);
}

void FormatContextOutput::OpenAndWriteHeader()
{
    auto file = std::make_unique<MediaFile>(m_path);
    std::unique_ptr<JournalWriter> journal;
    try
    {
        // The journal first: where it cannot be made, the file is left as it was.
        journal = std::make_unique<JournalWriter>(*m_formatContext, *file);
        file->Empty();
        CheckAvResult(avio_open(&m_formatContext->pb, m_formatContext->url, AVIO_FLAG_WRITE), "::avio_open");
        CheckAvResult(avformat_write_header(m_formatContext.get(), nullptr), "::avformat_write_header");
        journal->WriteHeader();
    }
    catch (...)
    {
        if (journal)
            journal->Discard();
        avio_closep(&m_formatContext->pb);
        file->Remove();
        throw;
    }
    m_file = std::move(file);
    m_journal = std::move(journal);
}

void FormatContextOutput::WriteTrailer()
{
    CheckAvResult(av_interleaved_write_frame(m_formatContext.get(), nullptr), "::av_interleaved_write_frame");
    CheckAvResult(av_write_trailer(m_formatContext.get()), "::av_write_trailer");
    if (m_journal)
        m_journal->Finish();
    m_journal.reset();
}

void FormatContextOutput::WritePacket(AVPacket& packet)
{
    if (m_journal)
        m_journal->Record(packet);
    CheckAvResult(av_interleaved_write_frame(m_formatContext.get(), &packet), "::av_interleaved_write_frame");
    if (m_journal)
        m_journal->MaybeSync();
}

std::int64_t FormatContextOutput::CurrentPosition() const
{
    return m_formatContext->pb ? avio_seek(m_formatContext->pb, 0, SEEK_CUR) : 0;
}

std::string FormatContextOutput::ContainerType() const
{
    return m_formatContext->oformat ? m_formatContext->oformat->name : "";
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
