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

namespace asio {
class io_context;
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

    // True once set, or once `also` is true; false when `limit` passed first.
    // Whoever makes `also` true calls wake() afterwards.
    bool wait_for(std::chrono::milliseconds limit, const std::atomic<bool>* also = nullptr) {
        auto over = [this, also] { return is_set() || (also != nullptr && also->load(std::memory_order_acquire)); };
        if (over()) {
            return true;
        }
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, over);
    }

    // Makes the waiters look again without setting the event. Taking the
    // mutex first means a waiter is either still to check, and sees what
    // changed, or already asleep, and is woken.
    void wake() {
        { std::lock_guard lock(mutex_); }
        changed_.notify_all();
    }

   private:
    std::atomic<bool> set_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
};

// Lets close() on any thread end a stream's wait at once. The waiting thread
// names the event it sleeps on for the duration of each sleep, so that
// raise() can wake exactly that one; once raised it stays raised.
class CloseSignal {
   public:
    bool raised() const { return raised_.load(std::memory_order_acquire); }

    void raise() {
        raised_.store(true, std::memory_order_release);
        std::lock_guard lock(mutex_);
        if (sleeping_on_ != nullptr) {
            sleeping_on_->wake();
        }
    }

    // Sleeps up to `limit` on `ready`; true once it is set or the signal raised.
    bool sleep_on(Event& ready, std::chrono::milliseconds limit) {
        {
            std::lock_guard lock(mutex_);
            sleeping_on_ = &ready;
        }
        const bool over = ready.wait_for(limit, &raised_);
        std::lock_guard lock(mutex_);
        sleeping_on_ = nullptr;  // before `ready` can go away
        return over;
    }

   private:
    std::atomic<bool> raised_{false};
    std::mutex mutex_;  // guards sleeping_on_
    Event* sleeping_on_ = nullptr;
};

// How a wait of the calling thread ended.
enum class Wake : uint8_t {
    Ready,        // the event fired
    Interrupted,  // a signal handler raised; the caller abandons the wait, which stays resumable
    TimedOut,     // the stream's timeout passed first; resumable as well
    Closed,       // the stream was closed meanwhile
};

// How the calling thread sleeps until an event fires. The stream's sleeper
// gives up the interpreter lock while it sleeps and wakes now and then to
// run signal handlers and to watch its deadline.
class Sleeper {
   public:
    virtual Wake sleep_until(Event& ready) = 0;

   protected:
    ~Sleeper() = default;
};

// Work for the runtime's blocking thread (file opens and reads, name
// resolution). `done` fires when run() has returned, and also when the
// runtime drops the job without running it (it is shutting down):
// `completed` tells the two apart.
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
    // Called once, by the blocking thread after run() or by the runtime
    // when it drops the job.
    void finish(bool completed) {
        completed_.store(completed, std::memory_order_release);
        done_.set();
    }
    Event done_;
    std::atomic<bool> completed_{false};
};

// The text an Io error carries for a blocking job that never ran.
inline constexpr const char* kBackgroundTaskFailed = "background task failed";

// One per stream: worker threads that service I/O readiness and timers, and a
// blocking thread. No work of ours runs on the workers; the calling thread
// drives every read and only waits on the runtime.
class IoRuntime {
   public:
    // Two workers: the smallest multi-threaded runtime. A stream has one
    // descriptor, so more workers would only sleep beside it, and every
    // stream has its own runtime.
    static constexpr unsigned kWorkerThreads = 2;

    // The operating system's text when a thread or the reactor cannot be made.
    static std::expected<std::unique_ptr<IoRuntime>, std::string> create();

    // Stops the workers and joins them. Jobs still queued are dropped (their
    // done fires). A job still running may be stuck for good (an open or a
    // read on a FIFO nobody writes to), so its thread is not waited for: it
    // ends by itself, freeing the job, once the job returns.
    ~IoRuntime();

    IoRuntime(const IoRuntime&) = delete;
    IoRuntime& operator=(const IoRuntime&) = delete;

    asio::io_context& io();

    // Queues the job for the blocking thread, which runs jobs one at a time
    // (a stream's blocking work is strictly sequential: open or resolve,
    // then one read-ahead at a time). The runtime keeps the job alive until
    // it has run or been dropped.
    void spawn_blocking(std::shared_ptr<BlockingJob> job);

   private:
    struct Parts;
    struct BlockingQueue;
    explicit IoRuntime(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
};

}  // namespace veskar::py
