#include "veskar/py/gil.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace veskar::py {

namespace {

// Which interpreters have begun to exit, and how many threads are on their
// way to the lock. The exit callback waits, without the lock, until every
// thread that passed the gate before it closed holds the lock, so that none
// is still waiting for it when finalization begins.
struct ExitGate {
    struct Exiting {
        int64_t interpreter;
        std::thread::id finalizing_thread;
    };

    std::mutex mutex;
    std::condition_variable crossed;
    std::vector<Exiting> exiting;  // one entry per ended interpreter; ids are never reused
    int crossing = 0;

    // Under `mutex`.
    bool closed_to_this_thread(int64_t interpreter) const {
        for (const Exiting& entry : exiting) {
            if (entry.interpreter == interpreter) {
                return entry.finalizing_thread != std::this_thread::get_id();
            }
        }
        return false;
    }
};

// Never destroyed: threads parked at exit, or still running while the
// process tears down its statics, may look at it until the very end.
ExitGate& gate() {
    static ExitGate* const made = new ExitGate;
    return *made;
}

[[noreturn]] void park_forever() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

PyObject* interpreter_exiting(PyObject*, PyObject*) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    ExitGate& exit_gate = gate();
    {
        std::lock_guard lock(exit_gate.mutex);
        exit_gate.exiting.push_back({interpreter, std::this_thread::get_id()});
    }
    // A thread that passed the gate just before may be waiting for the lock
    // this thread holds: let it have it, and go on once it does.
    PyThreadState* saved = PyEval_SaveThread();
    {
        std::unique_lock lock(exit_gate.mutex);
        exit_gate.crossed.wait(lock, [&] { return exit_gate.crossing == 0; });
    }
    PyEval_RestoreThread(saved);
    Py_RETURN_NONE;
}

PyMethodDef interpreter_exiting_def = {"_veskar_interpreter_exiting", interpreter_exiting, METH_NOARGS, nullptr};

}  // namespace

void retake_gil(PyThreadState* state, int64_t interpreter) {
    ExitGate& exit_gate = gate();
    bool closed;
    {
        std::lock_guard lock(exit_gate.mutex);
        closed = exit_gate.closed_to_this_thread(interpreter);
        if (!closed) {
            ++exit_gate.crossing;
        }
    }
    if (closed) {
        park_forever();
    }
    PyEval_RestoreThread(state);
    {
        std::lock_guard lock(exit_gate.mutex);
        --exit_gate.crossing;
    }
    exit_gate.crossed.notify_all();
}

int watch_interpreter_exit() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref callback = Ref::steal(atexit ? PyCFunction_New(&interpreter_exiting_def, nullptr) : nullptr);
    Ref registered =
        Ref::steal(callback ? PyObject_CallMethod(atexit.get(), "register", "O", callback.get()) : nullptr);
    return registered ? 0 : -1;
}

}  // namespace veskar::py
