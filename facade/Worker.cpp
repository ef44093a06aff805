#include "facade/Worker.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

Worker::Worker(Job job) : m_job(std::move(job))
{
}

Worker::~Worker()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

bool Worker::Enqueue(WorkEntry entry)
{
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure)
            return false;
        if (entry.video.empty() && entry.audio.empty())
            return true;
        start = m_queue.empty() && !m_active;
        m_queue.push_back(std::move(entry));
        m_active = m_active || start;
    }
    if (!start)
        return true;
    try
    {
        // The previous run has already left its loop; this join is brief.
        if (m_thread.joinable())
            m_thread.join();
        m_thread = std::thread([this] { Run(); });
    }
    catch (...)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_active = false;
        throw;
    }
    return true;
}

void Worker::Run()
{
    try
    {
        while (!m_stop)
        {
            WorkEntry entry;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                // Inactive in the same step: an add call from now on starts a run.
                if (m_head == m_queue.size())
                {
                    m_active = false;
                    return;
                }
                entry = std::move(m_queue[m_head]);
                if (++m_head == m_queue.size())
                {
                    m_queue.clear();
                    m_head = 0;
                }
            }
            m_job(std::move(entry));
        }
        End(nullptr);
    }
    catch (...)
    {
        End(std::current_exception());
    }
}

void Worker::End(std::exception_ptr failure)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (failure)
        m_failure = std::move(failure);
    m_active = false;
}

std::exception_ptr Worker::Join()
{
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::exception_ptr failure = std::move(m_failure);
    m_failure = nullptr;
    return failure;
}

void Worker::Stop()
{
    m_stop = true;
}

void Worker::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_head = 0;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
