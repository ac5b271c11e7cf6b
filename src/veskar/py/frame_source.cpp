#include "veskar/py/frame_source.hpp"

#include <algorithm>

#include "veskar/deserialize/parser.hpp"

namespace veskar::py {

namespace {

constexpr std::string_view kShmPrefix = "shm://";
constexpr std::string_view kTcpPrefix = "tcp://";

}  // namespace

FrameSource::FrameSource(std::unique_ptr<PollableByteSource> input, StreamConfig config)
    : input_(input.get()), reader_(std::move(input), std::move(config)) {}

void copy_frame(const SyndromeFrame& frame, OwnedFrame& out) {
    const FrameHeader& header = frame.header;
    out.observable_flips = frame.metadata ? frame.metadata->observable_flips : std::nullopt;
    out.recorded_observable_flips = out.observable_flips;
    out.meas_results.assign(frame.meas_results.begin(), frame.meas_results.end());
    decode_rle_events(frame.detector_events, header.ancilla_count, out.detector_events);
    out.frame_id = header.frame_id;
    out.timestamp_ns = header.timestamp_ns;
    out.round = header.round;
    out.detector_event_count = frame.detector_event_count();
    out.qubit_count = header.qubit_count;
    out.ancilla_count = header.ancilla_count;
    out.code_type = header.code_type;
    out.distance = header.distance;
}

std::expected<Outcome, VeskarError> FrameSource::next_frame(Sleeper& sleeper) {
    for (;;) {
        auto status = reader_.next_frame();
        if (!status) {
            return std::unexpected(std::move(status.error()));
        }
        switch (*status) {
            case NextStatus::Frame:
                return Outcome::Frame;
            case NextStatus::End:
                return Outcome::End;
            case NextStatus::Pending:
                break;
        }
        if (auto ended = wait_for_input(sleeper)) {
            return *ended;
        }
    }
}

std::expected<Outcome, VeskarError> FrameSource::resync(Sleeper& sleeper, uint64_t& skipped) {
    for (;;) {
        auto resynced = reader_.resync();
        if (!resynced) {
            return std::unexpected(std::move(resynced.error()));
        }
        switch (resynced->status) {
            case Resync::Status::Found:
                skipped = resynced->skipped;
                return Outcome::Frame;
            case Resync::Status::End:
                skipped = resynced->skipped;
                return Outcome::End;
            case Resync::Status::Pending:
                break;
        }
        if (auto ended = wait_for_input(sleeper)) {
            return *ended;
        }
    }
}

// The reader keeps its progress; once the input is ready it goes on from
// the same step.
std::optional<Outcome> FrameSource::wait_for_input(Sleeper& sleeper) {
    switch (sleeper.sleep_until(input_->arm_wait())) {
        case Wake::Ready:
            return std::nullopt;
        case Wake::Interrupted:
            return Outcome::Interrupted;
        case Wake::TimedOut:
            return Outcome::TimedOut;
        case Wake::Closed:
            return Outcome::Closed;
    }
    return Outcome::Interrupted;
}

std::optional<OpenFailure> abandoned_open(Wake wake) {
    switch (wake) {
        case Wake::Ready:
            return std::nullopt;
        case Wake::TimedOut:
            return open_failure::TimedOut{};
        case Wake::Interrupted:
        case Wake::Closed:  // nothing can close a stream that is still opening
            break;
    }
    return open_failure::Interrupted{};
}

namespace {

enum class Transport : uint8_t { Tcp, File };

// Makes the runtime, then opens the input on it. The runtime is shut down on
// the way out when the open fails.
std::expected<OpenedSource, OpenFailure> open_with(Transport transport, std::string_view target, Sleeper& sleeper) {
    auto runtime = IoRuntime::create();
    if (!runtime) {
        return std::unexpected(open_failure::RuntimeFailed{std::move(runtime.error())});
    }
    auto input = transport == Transport::Tcp ? connect_tcp(**runtime, target, sleeper)
                                             : open_file(**runtime, std::string(target), sleeper);
    if (!input) {
        return std::unexpected(std::move(input.error()));
    }
    OpenedSource opened;
    opened.runtime = std::move(*runtime);
    opened.source = std::make_unique<FrameSource>(std::move(*input), StreamConfig{});
    return opened;
}

}  // namespace

std::expected<OpenedSource, OpenFailure> open_source(std::string_view text, Sleeper& sleeper) {
    if (text.starts_with(kShmPrefix)) {
        return std::unexpected(open_failure::Refused{});
    }
    if (!text.starts_with(kTcpPrefix)) {
        return open_with(Transport::File, text, sleeper);
    }
    std::string_view address = text;
    while (address.starts_with(kTcpPrefix)) {
        address.remove_prefix(kTcpPrefix.size());
    }
    return open_with(Transport::Tcp, address, sleeper);
}

std::expected<OpenedSource, OpenFailure> open_file_source(const std::string& path, Sleeper& sleeper) {
    return open_with(Transport::File, path, sleeper);
}

}  // namespace veskar::py
