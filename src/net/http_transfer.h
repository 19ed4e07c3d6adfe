#pragma once
// What the measuring transfers (TimedGet, ParallelGet, ParallelUpload) share
// with their callers: the live byte counter and the threads that outlive a
// call.
//
// Every transfer creates its own counter and its own stop state. Threads of a
// transfer that are still running after the call returned keep that state
// alive and write only into it, so a transfer started right after another
// counts only its own bytes.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace quorvane
{

// Bytes moved by one transfer. Its threads add; any thread may read.
using ByteCounter = std::atomic<std::uint64_t>;

// Where a transfer hands out its live counter, before any network work, so
// that a sampler on another thread can read it during the call and after.
// Thread-safety: every member may be called from any thread.
class ByteCounterHandle
{
public:
    // Bytes of the counter published last; 0 before any.
    std::uint64_t bytes() const;
    // The counter published last (null before any). It stays valid for as
    // long as the caller holds it.
    std::shared_ptr<const ByteCounter> counter() const;
    bool hasCounter() const { return counter() != nullptr; }

    void publish(std::shared_ptr<const ByteCounter> counter);
    void reset() { publish(nullptr); }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const ByteCounter> m_counter;
};

// Transfer threads of earlier calls that have not ended yet, all clients
// together. They end within moments of their call's return (their sockets are
// shut down when the call's window closes).
int TransferThreadsAlive();

// Waits until no transfer thread is left, at most `limit`. True when none is
// left. For orderly shut-down and for tests.
bool WaitForTransferThreads(std::chrono::milliseconds limit);

} // namespace quorvane
