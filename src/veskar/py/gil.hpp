#pragma once
// Letting go of the interpreter lock while a call waits, and taking it back
// safely when the interpreter is ending.
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

// Takes the lock back for a thread that let go of it with
// PyEval_SaveThread(): returns holding it, or never returns when the
// thread's interpreter is exiting and this is not its finalizing thread.
void retake_gil(PyThreadState* state, int64_t interpreter);

// Drops the interpreter lock for its scope. Nothing inside the scope may
// touch a Python object.
class WithoutGil {
   public:
    WithoutGil() : interpreter_(PyInterpreterState_GetID(PyInterpreterState_Get())), state_(PyEval_SaveThread()) {}
    ~WithoutGil() { retake_gil(state_, interpreter_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

   private:
    int64_t interpreter_;
    PyThreadState* state_;
};

// Registers the callback that marks the module's interpreter as exiting
// with the interpreter's atexit module. 0, or -1 with the exception set.
int watch_interpreter_exit();

}  // namespace veskar::py
