#include "veskar/py/io_runtime.hpp"

#include <asio.hpp>
#include <system_error>

namespace veskar::py {

struct IoRuntime::Parts {
    asio::io_context io{static_cast<int>(kWorkerThreads)};
    asio::executor_work_guard<asio::io_context::executor_type> keep_running = asio::make_work_guard(io);
    asio::thread_pool blocking{kBlockingThreads};
    std::vector<std::thread> workers;

    // Also runs when creation failed half-way, so it stops whatever started.
    ~Parts() {
        keep_running.reset();
        io.stop();
        for (std::thread& worker : workers) {
            worker.join();
        }
        blocking.stop();
        blocking.join();
    }
};

// Carries a job to the pool. If the pool destroys it unrun (shutdown), the
// job's done still fires, with completed false, so nobody waits forever.
class IoRuntime::JobRunner {
   public:
    explicit JobRunner(std::shared_ptr<BlockingJob> job) : job_(std::move(job)) {}
    JobRunner(JobRunner&&) noexcept = default;
    JobRunner& operator=(JobRunner&&) = delete;
    ~JobRunner() {
        if (job_) {
            job_->done_.set();
        }
    }

    void operator()() {
        std::shared_ptr<BlockingJob> job = std::move(job_);
        job->run();
        job->completed_.store(true, std::memory_order_release);
        job->done_.set();
    }

   private:
    std::shared_ptr<BlockingJob> job_;
};

IoRuntime::IoRuntime(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

IoRuntime::~IoRuntime() = default;

std::expected<std::unique_ptr<IoRuntime>, std::string> IoRuntime::create() {
    try {
        auto parts = std::make_unique<Parts>();
        for (unsigned i = 0; i < kWorkerThreads; ++i) {
            parts->workers.emplace_back([io = &parts->io] { io->run(); });
        }
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
    asio::post(parts_->blocking, JobRunner(std::move(job)));
}

}  // namespace veskar::py
