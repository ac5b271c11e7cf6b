#pragma once
// How a call waits for something slow (input, a connection, a DEM from a
// pipe): without the interpreter lock, so that other Python threads run;
// waking every 50 ms to run signal handlers, so that Ctrl-C ends the wait;
// and giving up once its time limit passes, when it has one.

#include <algorithm>
#include <chrono>
#include <optional>

#include "veskar/py/io_runtime.hpp"
#include "veskar/py/ref.hpp"

namespace veskar::py {

// A limit on one wait; none waits as long as it takes.
using Timeout = std::optional<std::chrono::steady_clock::duration>;

inline constexpr std::chrono::milliseconds kSignalCheckInterval{50};

// `step(limit)` sleeps at most `limit` without touching Python and answers
// true once the wait is over. The result is Ready, Interrupted (with the
// signal handler's exception set) or TimedOut; the caller holds the lock.
template <typename Step>
Wake wait_interruptibly(Step&& step, const Timeout& timeout) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    const Clock::time_point deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
    for (;;) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        const milliseconds limit = std::clamp(left, milliseconds(0), kSignalCheckInterval);
        bool over;
        {
            WithoutGil unlocked;
            over = step(limit);
        }
        if (over) {
            return Wake::Ready;
        }
        if (PyErr_CheckSignals() < 0) {
            return Wake::Interrupted;
        }
        if (Clock::now() >= deadline) {
            return Wake::TimedOut;
        }
    }
}

}  // namespace veskar::py
