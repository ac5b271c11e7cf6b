// Files are read on the runtime's blocking thread, one read ahead of the
// reader: while the reader works through one buffer the blocking thread fills
// the next, so the calling thread seldom waits and never hops threads for
// bytes it already has. Reads start at 8 KiB, so a stream's first frame and a
// short file cost little, and double up to 256 KiB, so a long file costs one
// hand-over between threads per few thousand frames.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "veskar/py/frame_source.hpp"

namespace veskar::py {

namespace {

constexpr size_t kFirstReadSize = 8 * 1024;
constexpr size_t kLargestReadSize = 256 * 1024;

// The descriptor and both buffers live here, shared with the job in flight,
// so closing the stream while a read is still under way (or stuck, on a
// FIFO nobody writes to) is harmless: the descriptor closes when the last of
// the two lets go.
class ReadAhead final : public BlockingJob {
   public:
    explicit ReadAhead(int fd)
        : fd_(fd),
          buffers_{std::make_unique_for_overwrite<uint8_t[]>(kLargestReadSize),
                   std::make_unique_for_overwrite<uint8_t[]>(kLargestReadSize)} {}
    ~ReadAhead() override { ::close(fd_); }

    void run() noexcept override {
        ssize_t n;
        do {
            n = ::read(fd_, buffers_[filling_].get(), read_size_);
        } while (n < 0 && errno == EINTR);
        read_size_ = std::min(2 * read_size_, kLargestReadSize);
        if (n < 0) {
            error_ = errno;
            size_ = 0;
        } else {
            error_ = 0;
            size_ = static_cast<size_t>(n);
        }
    }

    // Only between reads (done fired, or before the first spawn):
    int error() const { return error_; }
    size_t size() const { return size_; }
    const uint8_t* filled() const { return buffers_[filling_].get(); }
    void flip() { filling_ ^= 1; }

   private:
    int fd_;
    std::array<std::unique_ptr<uint8_t[]>, 2> buffers_;
    unsigned filling_ = 0;  // the buffer the blocking thread writes; the other one is the reader's
    int error_ = 0;
    size_t size_ = 0;
    size_t read_size_ = kFirstReadSize;  // only the blocking thread touches it
};

class FileByteSource final : public PollableByteSource {
   public:
    FileByteSource(IoRuntime& runtime, int fd) : runtime_(runtime), job_(std::make_shared<ReadAhead>(fd)) {}

    std::expected<ReadResult, VeskarError> read_some(std::span<uint8_t> buffer) override {
        if (position_ == available_) {
            if (ended_) {
                return ReadResult{ReadStatus::End, 0};
            }
            if (!in_flight_) {
                start_read();
            }
            if (!job_->done().is_set()) {
                return ReadResult{ReadStatus::Pending, 0};
            }
            auto taken = take_read();
            if (!taken) {
                return std::unexpected(std::move(taken.error()));
            }
            if (available_ == 0) {
                ended_ = true;
                return ReadResult{ReadStatus::End, 0};
            }
            start_read();
        }
        size_t count = std::min(buffer.size(), available_ - position_);
        std::memcpy(buffer.data(), current_ + position_, count);
        position_ += count;
        return ReadResult{ReadStatus::Data, count};
    }

    Event& arm_wait() override {
        if (!in_flight_ && !ended_) {
            start_read();
        }
        return job_->done();
    }

   private:
    void start_read() {
        job_->rearm();
        in_flight_ = true;
        runtime_.spawn_blocking(job_);
    }

    // The finished read becomes the reader's buffer.
    std::expected<void, VeskarError> take_read() {
        in_flight_ = false;
        position_ = 0;
        available_ = 0;
        if (!job_->completed()) {
            return std::unexpected(error::Io{0, kBackgroundTaskFailed});
        }
        if (job_->error() != 0) {
            return std::unexpected(io_error_from_errno(job_->error()));
        }
        available_ = job_->size();
        current_ = job_->filled();
        job_->flip();
        return {};
    }

    IoRuntime& runtime_;
    std::shared_ptr<ReadAhead> job_;
    const uint8_t* current_ = nullptr;
    size_t position_ = 0;
    size_t available_ = 0;
    bool in_flight_ = false;
    // A file that reached its end answers End from then on, as the reader
    // expects of every source.
    bool ended_ = false;
};

class OpenJob final : public BlockingJob {
   public:
    explicit OpenJob(std::string path) : path_(std::move(path)) {}
    ~OpenJob() override {
        if (fd_ >= 0) {
            ::close(fd_);  // opened after the caller gave up waiting
        }
    }

    void run() noexcept override {
        do {
            fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
        error_ = fd_ < 0 ? errno : 0;
        // A directory opens read-only but can never be read: say so now,
        // as open() does in Python, rather than at the first frame.
        struct stat info {};
        if (fd_ >= 0 && ::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
            ::close(std::exchange(fd_, -1));
            error_ = EISDIR;
        }
    }

    int take_fd() { return std::exchange(fd_, -1); }
    int error() const { return error_; }

   private:
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
};

OpenFailure file_failure(VeskarError err) {
    return open_failure::File{std::move(err)};
}

}  // namespace

std::expected<std::unique_ptr<PollableByteSource>, OpenFailure> open_file(IoRuntime& runtime, const std::string& path,
                                                                          Sleeper& sleeper) {
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(file_failure(error::Io{EINVAL, "file name contained an unexpected NUL byte"}));
    }
    auto job = std::make_shared<OpenJob>(path);
    runtime.spawn_blocking(job);
    if (auto abandoned = abandoned_open(sleeper.sleep_until(job->done()))) {
        return std::unexpected(std::move(*abandoned));  // the job closes the file should the open still succeed
    }
    if (!job->completed()) {
        return std::unexpected(file_failure(error::Io{0, kBackgroundTaskFailed}));
    }
    if (job->error() != 0) {
        return std::unexpected(file_failure(io_error_from_errno(job->error())));
    }
    return std::make_unique<FileByteSource>(runtime, job->take_fd());
}

}  // namespace veskar::py
