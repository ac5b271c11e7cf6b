#include "veskar/py/io_runtime.hpp"

#include <asio.hpp>
#include <deque>
#include <system_error>
#include <thread>
#include <vector>

namespace veskar::py {

// Shared by the runtime and its blocking thread, so that the thread can
// outlive the runtime when a job keeps it busy at shutdown.
struct IoRuntime::BlockingQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<BlockingJob>> jobs;
    bool stopping = false;
    bool running = false;  // a job's run() has not returned yet

    // The blocking thread: runs jobs in order until the runtime stops.
    static void serve(const std::shared_ptr<BlockingQueue>& queue) {
        std::unique_lock lock(queue->mutex);
        for (;;) {
            queue->changed.wait(lock, [&] { return queue->stopping || !queue->jobs.empty(); });
            if (queue->stopping) {
                return;
            }
            std::shared_ptr<BlockingJob> job = std::move(queue->jobs.front());
            queue->jobs.pop_front();
            queue->running = true;
            lock.unlock();
            job->run();
            job->finish(true);
            job.reset();  // a job dropped by its owner meanwhile goes here, outside the lock
            lock.lock();
            queue->running = false;
        }
    }

    // Returns whether the blocking thread is idle, so that joining it
    // returns at once; queued jobs are handed back to be dropped.
    bool stop(std::deque<std::shared_ptr<BlockingJob>>& dropped) {
        bool idle;
        {
            std::lock_guard lock(mutex);
            stopping = true;
            dropped.swap(jobs);
            idle = !running;
        }
        changed.notify_all();
        return idle;
    }
};

struct IoRuntime::Parts {
    asio::io_context io{static_cast<int>(kWorkerThreads)};
    asio::executor_work_guard<asio::io_context::executor_type> keep_running = asio::make_work_guard(io);
    std::vector<std::thread> workers;
    std::shared_ptr<BlockingQueue> blocking = std::make_shared<BlockingQueue>();
    std::thread blocking_thread;

    // Also runs when creation failed half-way, so it stops whatever started.
    ~Parts() {
        keep_running.reset();
        io.stop();
        for (std::thread& worker : workers) {
            worker.join();
        }
        std::deque<std::shared_ptr<BlockingJob>> dropped;
        const bool idle = blocking->stop(dropped);
        for (const std::shared_ptr<BlockingJob>& job : dropped) {
            job->finish(false);  // nobody waits forever for a job that will not run
        }
        if (blocking_thread.joinable()) {
            if (idle) {
                blocking_thread.join();
            } else {
                blocking_thread.detach();
            }
        }
    }
};

IoRuntime::IoRuntime(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

IoRuntime::~IoRuntime() = default;

std::expected<std::unique_ptr<IoRuntime>, std::string> IoRuntime::create() {
    try {
        auto parts = std::make_unique<Parts>();
        for (unsigned i = 0; i < kWorkerThreads; ++i) {
            parts->workers.emplace_back([io = &parts->io] { io->run(); });
        }
        parts->blocking_thread = std::thread(BlockingQueue::serve, parts->blocking);
        return std::unique_ptr<IoRuntime>(new IoRuntime(std::move(parts)));
    } catch (const std::system_error& err) {
        return std::unexpected(err.code().message());
    } catch (const std::exception& err) {
        return std::unexpected(std::string(err.what()));
    }
}

asio::io_context& IoRuntime::io() {
    return parts_->io;
}

void IoRuntime::spawn_blocking(std::shared_ptr<BlockingJob> job) {
    BlockingQueue& queue = *parts_->blocking;
    {
        std::lock_guard lock(queue.mutex);
        queue.jobs.push_back(std::move(job));
    }
    queue.changed.notify_one();
}

}  // namespace veskar::py
