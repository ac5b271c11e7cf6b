#pragma once
// Taking the interpreter lock back safely when the interpreter is ending
// (retake_gil, which WithoutGil in ref.hpp calls).
//
// Once finalization has begun, a thread other than the finalizing one that
// asks for the lock back is ended by the interpreter with pthread_exit(),
// which unwinds the thread's C++ frames as if by an exception that nothing
// may stop; a noexcept frame or a catch-all on the way aborts the process
// ("terminate called without an active exception"). So such a thread must
// never ask: from the moment the interpreter starts to exit (its atexit
// callbacks, which run before finalization proper), a thread that would take
// the lock back stays parked instead, as newer interpreters do themselves,
// until the process ends. The finalizing thread itself is never parked.

#include <cstdint>

#include "veskar/py/ref.hpp"

namespace veskar::py {

// Registers the callback that marks the module's interpreter as exiting
// with the interpreter's atexit module. 0, or -1 with the exception set.
int watch_interpreter_exit();

}  // namespace veskar::py
