#pragma once

#include <mpegexporter/IFfMpegFacade.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// One add call's lists; the audio list stays empty for video-only export.
struct WorkEntry
{
    MediaPacketList video;
    MediaPacketList audio;
};

// The thread that writes a facade's batches, started per burst of add calls:
// an add call that finds no run active starts one, which ends when it finds
// the queue empty, so an idle facade has no thread. It holds the queue, the
// thread, the failure of the last run until the host takes it and the stop
// flag; what it does with each entry is the job it was made with, run
// outside the lock. Its owner holds it as its last member, so that it has
// stopped before anything the job uses goes.
class Worker
{
public:
    using Job = std::function<void(WorkEntry)>;

    explicit Worker(Job job);
    // Stops after the entry in progress. Hosts wait for the worker before
    // letting go of a facade; one that did not still ends cleanly.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Queues an entry that carries packets and starts a run when none is
    // active; a run still busy with its last entry checks the queue again
    // under the same lock before it ends, so this never waits for media work.
    // False, queueing nothing, when the last run failed (Join says why).
    // When the thread cannot be started, its std::system_error leaves the
    // entry queued with no run.
    bool Enqueue(WorkEntry entry);
    // Waits for the current run; its failure, once, or null.
    std::exception_ptr Join();
    // No run goes beyond the entry in progress, now or later.
    void Stop();
    // Drops what is queued.
    void Clear();

private:
    void Run();
    // Ends a run with its failure, if any.
    void End(std::exception_ptr failure);

    Job m_job;
    std::thread m_thread;
    std::mutex m_mutex;
    // Guarded by m_mutex: entries from m_head on wait; the vector is emptied,
    // its capacity kept, when the run takes the last one. An add call then
    // allocates only when the queue grows beyond its longest yet. A deque
    // allocated a block every few entries, in the heap where the run frees
    // the host's packets, and one add call in a hundred waited 10-20 us.
    std::vector<WorkEntry> m_queue;
    std::size_t m_head = 0;
    bool m_active = false;           // guarded: a run will look at the queue again
    std::exception_ptr m_failure;    // guarded: why the last run stopped
    std::atomic<bool> m_stop{false};
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
