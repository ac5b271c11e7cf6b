// TCP peers are read through a non-blocking socket registered with the
// runtime's reactor. The calling thread reads whatever has arrived; when
// nothing has, it asks the reactor to signal readability and sleeps. Name
// resolution runs on the blocking thread, since getaddrinfo cannot be
// interrupted.

#include <netdb.h>
#include <sys/socket.h>

#include <asio.hpp>
#include <charconv>

#include "veskar/py/frame_source.hpp"

namespace veskar::py {

namespace {

using asio::ip::tcp;

OpenFailure io_failure(VeskarError err) {
    return open_failure::Connect{std::move(err)};
}

// Only system errors carry an errno; asio's own categories number their
// errors otherwise.
VeskarError io_error(const asio::error_code& ec) {
    return error::Io{ec.category() == asio::system_category() ? ec.value() : 0, ec.message()};
}

// Completion of one asynchronous operation on the reactor, outliving the
// caller if it stopped waiting.
struct Completion {
    Event done;
    asio::error_code result;
};

class TcpByteSource final : public PollableByteSource {
   public:
    explicit TcpByteSource(tcp::socket socket)
        : socket_(std::move(socket)), readable_(std::make_shared<Completion>()) {}

    // Closing deregisters the socket from the reactor; a wait still armed
    // completes as cancelled and only touches its own Completion.
    ~TcpByteSource() override {
        asio::error_code ignored;
        socket_.close(ignored);
    }

    std::expected<ReadResult, VeskarError> read_some(std::span<uint8_t> buffer) override {
        asio::error_code ec;
        size_t count = socket_.read_some(asio::buffer(buffer.data(), buffer.size()), ec);
        if (!ec) {
            return ReadResult{ReadStatus::Data, count};
        }
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            return ReadResult{ReadStatus::Pending, 0};
        }
        if (ec == asio::error::eof) {
            return ReadResult{ReadStatus::End, 0};
        }
        return std::unexpected(io_error(ec));
    }

    Event& arm_wait() override {
        if (!armed_ || readable_->done.is_set()) {
            armed_ = true;
            readable_->done.reset();
            socket_.async_wait(tcp::socket::wait_read, [readable = readable_](const asio::error_code& ec) {
                readable->result = ec;
                readable->done.set();
            });
        }
        return readable_->done;
    }

   private:
    tcp::socket socket_;
    std::shared_ptr<Completion> readable_;
    bool armed_ = false;
};

class ResolveJob final : public BlockingJob {
   public:
    ResolveJob(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}

    void run() noexcept override {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int rc = ::getaddrinfo(host_.c_str(), nullptr, &hints, &found);
        if (rc != 0) {
            failure_ = rc == EAI_SYSTEM ? std::generic_category().message(errno) : ::gai_strerror(rc);
            return;
        }
        for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            tcp::endpoint endpoint;
            if (entry->ai_addrlen > endpoint.capacity()) {
                continue;
            }
            std::memcpy(endpoint.data(), entry->ai_addr, entry->ai_addrlen);
            endpoint.resize(entry->ai_addrlen);
            endpoint.port(port_);
            endpoints_.push_back(endpoint);
        }
        ::freeaddrinfo(found);
    }

    const std::string& failure() const { return failure_; }
    const std::vector<tcp::endpoint>& endpoints() const { return endpoints_; }

   private:
    std::string host_;
    uint16_t port_;
    std::string failure_;  // empty when resolution worked
    std::vector<tcp::endpoint> endpoints_;
};

struct HostPort {
    std::string host;
    uint16_t port;
};

// "host:port", "1.2.3.4:port" or "[v6]:port"; the port is the text after the
// last colon.
std::expected<HostPort, VeskarError> split_address(std::string_view address) {
    size_t colon = address.rfind(':');
    if (colon == std::string_view::npos) {
        return std::unexpected(error::Io{EINVAL, "invalid socket address"});
    }
    std::string_view host = address.substr(0, colon);
    std::string_view port_text = address.substr(colon + 1);
    uint16_t port = 0;
    auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (ec != std::errc{} || end != port_text.data() + port_text.size() || port_text.empty()) {
        return std::unexpected(error::Io{EINVAL, "invalid port value"});
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.find('\0') != std::string_view::npos) {
        return std::unexpected(error::Io{EINVAL, "invalid socket address"});
    }
    return HostPort{std::string(host), port};
}

}  // namespace

std::expected<std::unique_ptr<PollableByteSource>, OpenFailure> connect_tcp(IoRuntime& runtime,
                                                                            std::string_view address,
                                                                            Sleeper& sleeper) {
    auto target = split_address(address);
    if (!target) {
        return std::unexpected(io_failure(target.error()));
    }
    auto resolve = std::make_shared<ResolveJob>(std::move(target->host), target->port);
    runtime.spawn_blocking(resolve);
    if (auto abandoned = abandoned_open(sleeper.sleep_until(resolve->done()))) {
        return std::unexpected(std::move(*abandoned));
    }
    if (!resolve->completed()) {
        return std::unexpected(io_failure(error::Io{0, kBackgroundTaskFailed}));
    }
    if (!resolve->failure().empty()) {
        return std::unexpected(io_failure(error::Io{0, resolve->failure()}));
    }

    std::optional<VeskarError> last_failure;
    for (const tcp::endpoint& endpoint : resolve->endpoints()) {
        tcp::socket socket(runtime.io());
        auto connected = std::make_shared<Completion>();
        socket.async_connect(endpoint, [connected](const asio::error_code& ec) {
            connected->result = ec;
            connected->done.set();
        });
        if (auto abandoned = abandoned_open(sleeper.sleep_until(connected->done))) {
            return std::unexpected(std::move(*abandoned));  // closing the socket cancels the attempt
        }
        if (connected->result) {
            last_failure = io_error(connected->result);
            continue;
        }
        asio::error_code ec;
        socket.non_blocking(true, ec);
        if (ec) {
            last_failure = io_error(ec);
            continue;
        }
        return std::make_unique<TcpByteSource>(std::move(socket));
    }
    if (!last_failure) {
        last_failure = error::Io{0, "could not resolve to any address"};
    }
    return std::unexpected(io_failure(*last_failure));
}

}  // namespace veskar::py
