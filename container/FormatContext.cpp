#include "container/FormatContext.h"

#include "container/Utf16.h"
#include "errors/AvResult.h"

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

FormatContextOutput::FormatContextOutput(const std::wstring& filePath)
{
    const std::string utf8 = Utf16ToUtf8(filePath);
    AVFormatContext* context = nullptr;
    CheckAvResult(avformat_alloc_output_context2(&context, nullptr, nullptr, utf8.c_str()),
                  "::avformat_alloc_output_context2");
    if (!context)
        throw AvException("::avformat_alloc_output_context2 did not set context pointer to the "
                          "\t\t\t\t\t\t\tcreated format context address despite returned succeeded return code",
                          AVERROR_UNKNOWN);
    m_formatContext.reset(context);
}

void FormatContextOutput::OpenAndWriteHeader()
{
    CheckAvResult(avio_open(&m_formatContext->pb, m_formatContext->url, AVIO_FLAG_WRITE), "::avio_open");
    CheckAvResult(avformat_write_header(m_formatContext.get(), nullptr), "::avformat_write_header");
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

void FormatContextOutput::OpenJournal()
{
    m_journal = std::make_unique<JournalWriter>(*m_formatContext);
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
