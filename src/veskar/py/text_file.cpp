#include "veskar/py/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>

#include "veskar/core/utf8.hpp"

namespace veskar::py {

namespace {

class FileDescriptor {
   public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

   private:
    int fd_;
};

}  // namespace

std::expected<std::string, int> read_utf8_file(const char* path, ReadableWait& wait) {
    // Opened without blocking: a FIFO's open would otherwise wait for a
    // writer where nothing can interrupt it.
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        return std::unexpected(errno);
    }
    std::string text;
    struct stat info {};
    const bool regular = ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode);
    if (regular && info.st_size > 0) {
        text.reserve(static_cast<size_t>(info.st_size));
    }
    char chunk[1 << 16];
    for (;;) {
        // Anything but a regular file is waited for before each read: read
        // on a FIFO that no writer has opened yet answers "end" at once,
        // where waiting answers once a writer has written or gone.
        if (!regular && !wait.wait_readable(file.get())) {
            return std::unexpected(kReadAbandoned);
        }
        const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return std::unexpected(errno);
        }
        text.append(chunk, static_cast<size_t>(got));
    }
    // Invalid UTF-8 is a property of the file, reported as a read failure
    // rather than as a puzzling parse error.
    if (!is_valid_utf8({reinterpret_cast<const uint8_t*>(text.data()), text.size()})) {
        return std::unexpected(EILSEQ);
    }
    return text;
}

}  // namespace veskar::py
