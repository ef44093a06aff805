#include "container/FormatContext.h"

#include "container/Utf16.h"
#include "errors/AvResult.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

FormatContext::~FormatContext() = default;

FormatContextInput::FormatContextInput()
{
    m_formatContext = avformat_alloc_context();
    if (!m_formatContext)
        throw AvException("::avformat_alloc_context did not returned format context pointer.", kAllocationFailed);
}

FormatContextInput::~FormatContextInput()
{
    // Also frees the streams added to it.
    if (m_formatContext)
        avformat_close_input(&m_formatContext);
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
    m_formatContext = context;
}

FormatContextOutput::~FormatContextOutput()
{
    // The I/O context first (only formats that write a file have one, and only
    // once it was opened), then the context with its streams.
    m_journal.reset();
    if (m_formatContext)
    {
        if (m_formatContext->oformat && !(m_formatContext->oformat->flags & AVFMT_NOFILE))
            avio_closep(&m_formatContext->pb);
        avformat_free_context(m_formatContext);
        m_formatContext = nullptr;
    }
}

void FormatContextOutput::WritePacket(AVPacket& packet)
{
    if (!m_journal)
    {
        CheckAvResult(av_interleaved_write_frame(m_formatContext, &packet), "::av_interleaved_write_frame");
        return;
    }
    m_journal->Record(packet);
    CheckAvResult(av_interleaved_write_frame(m_formatContext, &packet), "::av_interleaved_write_frame");
    m_journal->MaybeSync();
}

void FormatContextOutput::OpenJournal()
{
    m_journal = std::make_unique<JournalWriter>(*m_formatContext);
}

void FormatContextOutput::FinishJournal()
{
    if (m_journal)
        m_journal->Finish();
    m_journal.reset();
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
