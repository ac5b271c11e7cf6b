#pragma once
// The asynchronous I/O runtime each stream owns, and the few primitives the
// calling thread uses to wait on it. Nothing here touches Python: the stream
// object supplies a Sleeper that knows about the interpreter lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace asio {
class io_context;
class thread_pool;
}  // namespace asio

namespace veskar::py {

// A resettable one-shot signal between a completion (on a runtime thread)
// and the thread that waits for it. Checking it costs one atomic load.
class Event {
   public:
    bool is_set() const { return set_.load(std::memory_order_acquire); }

    void set() {
        {
            std::lock_guard lock(mutex_);
            set_.store(true, std::memory_order_release);
        }
        changed_.notify_all();
    }

    // Only the waiting side resets, and only when no completion is pending.
    void reset() { set_.store(false, std::memory_order_relaxed); }

    // True once set; false when `limit` passed first.
    bool wait_for(std::chrono::milliseconds limit) {
        if (is_set()) {
            return true;
        }
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return is_set(); });
    }

   private:
    std::atomic<bool> set_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
};

// How the calling thread sleeps until an event fires. The stream's sleeper
// gives up the interpreter lock while it sleeps and wakes now and then to
// run signal handlers; sleep_until answers false when one of them raised, and
// the caller then abandons the wait (its operation stays resumable).
class Sleeper {
   public:
    virtual bool sleep_until(Event& ready) = 0;

   protected:
    ~Sleeper() = default;
};

// Work for the runtime's blocking pool (file opens and reads, name
// resolution). `done` fires when run() has returned, and also when the pool
// drops the job without running it (it is shutting down): `completed` tells
// the two apart.
class BlockingJob {
   public:
    virtual ~BlockingJob() = default;
    virtual void run() noexcept = 0;

    Event& done() { return done_; }
    bool completed() const { return completed_.load(std::memory_order_acquire); }

    // Makes the job ready to be spawned again (only when it is not in flight).
    void rearm() {
        completed_.store(false, std::memory_order_relaxed);
        done_.reset();
    }

   private:
    friend class IoRuntime;
    Event done_;
    std::atomic<bool> completed_{false};
};

// The text an Io error carries for a blocking job that never ran.
inline constexpr const char* kBackgroundTaskFailed = "background task failed";

// One per stream: worker threads that service I/O readiness and timers, and a
// pool of blocking threads. No work of ours runs on the workers; the calling
// thread drives every read and only waits on the runtime.
class IoRuntime {
   public:
    // Two workers: the smallest multi-threaded runtime. A stream has one
    // descriptor, so more workers would only sleep beside it, and every
    // stream has its own runtime.
    static constexpr unsigned kWorkerThreads = 2;
    // One blocking thread: a stream's blocking work is strictly sequential
    // (open or resolve, then one read-ahead at a time).
    static constexpr unsigned kBlockingThreads = 1;

    // The operating system's text when a thread or the reactor cannot be made.
    static std::expected<std::unique_ptr<IoRuntime>, std::string> create();

    // Stops the workers and the pool and joins them; a blocking job still
    // running is waited for, one still queued is dropped (its done fires).
    ~IoRuntime();

    IoRuntime(const IoRuntime&) = delete;
    IoRuntime& operator=(const IoRuntime&) = delete;

    asio::io_context& io();

    // Queues the job on the blocking pool; the runtime keeps it alive until it
    // has run or been dropped.
    void spawn_blocking(std::shared_ptr<BlockingJob> job);

   private:
    struct Parts;
    class JobRunner;
    explicit IoRuntime(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

}  // namespace veskar::py
