#pragma once
// The small RAII layer every class of the extension module is written over:
// one holder per owned reference, the one way objects are made and freed,
// borrow guards, and the few C-API idioms that would otherwise be repeated in
// each class file. Argument conversion lives beside it, in args.hpp.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <utility>

namespace veskar::py {

// Owns one strong reference (or none) and releases it when it leaves scope,
// so an early return on an error path cannot leak what was taken before.
class Ref {
   public:
    Ref() = default;

    // Takes over a new reference, as returned by most C-API calls (may be null).
    static Ref steal(PyObject* object) { return Ref(object); }

    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference to the caller (a C-API function that steals, or the
    // interpreter as a return value).
    PyObject* release() { return std::exchange(object_, nullptr); }

   private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Sets `type` with `message` and returns null, for `return raise(...)`.
inline PyObject* raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return nullptr;
}
inline PyObject* raise(PyObject* type, const std::string& message) {
    return raise(type, message.c_str());
}

// C++ failures (out of memory while expanding a large model, say) must not
// cross into the interpreter. Call only inside a catch block: sets the Python
// exception matching the one being handled and returns null. The unwinding
// with which pthread_exit() ends a thread (the interpreter does so to
// threads that run Python code while it finalizes) is not a failure and
// must go on: stopping it aborts the process.
inline PyObject* raise_cpp_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& err) {
        return raise(PyExc_RuntimeError, err.what());
    } catch (...) {
        return raise(PyExc_RuntimeError, "unexpected C++ exception");
    }
}

// The exception that is set, taken out of the interpreter so that it can be
// raised later by restore_error; none is set afterwards.
inline Ref take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Sets an exception taken by take_error as the current one again.
inline void restore_error(Ref error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

template <typename T>
T* as(PyObject* object) {
    return reinterpret_cast<T*>(object);
}

// Every instance of our classes: the object header, then the C++ state,
// constructed in place after the interpreter allocated the memory.
template <typename State>
struct Object {
    PyObject_HEAD
    State state;
};

template <typename State>
State& object_state(PyObject* self) {
    return as<Object<State>>(self)->state;
}

// The one object factory: a new instance of `type`, whose instances are
// Object<State>, with its state built from `args`. Null with the exception
// set when the memory or the state cannot be had; nothing is left behind.
template <typename State, typename... Args>
PyObject* new_object(PyTypeObject* type, Args&&... args) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    try {
        new (&object_state<State>(self)) State(std::forward<Args>(args)...);
    } catch (...) {
        // No state was made, so tp_dealloc must not run: give back the
        // memory and the reference to the class that tp_alloc took.
        type->tp_free(self);
        Py_DECREF(type);
        return raise_cpp_exception();
    }
    return self;
}

// tp_dealloc of every class made by new_object: destroys the C++ state,
// frees the memory and drops the reference each instance holds to its class.
// `kTracked` for a class with Py_TPFLAGS_HAVE_GC.
template <typename State, bool kTracked = false>
void dealloc_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (kTracked) {
        PyObject_GC_UnTrack(self);
    }
    object_state<State>(self).~State();
    type->tp_free(self);
    Py_DECREF(type);
}

// One of the module's classes, with the C++ state of its instances in its
// type, so that making an instance or reading one cannot mix two classes up.
// The module state owns the reference (see module_state.hpp).
template <typename State>
struct Class {
    PyObject* object = nullptr;  // the class; null before exec and after clear

    PyTypeObject* type() const { return reinterpret_cast<PyTypeObject*>(object); }

    template <typename... Args>
    PyObject* make(Args&&... args) const {
        if (object == nullptr) {
            return raise(PyExc_RuntimeError, "the _veskar module has been torn down");
        }
        return new_object<State>(type(), std::forward<Args>(args)...);
    }

    // The instance's state, or null when `instance` is not one of ours.
    State* state_if_instance(PyObject* instance) const {
        if (object == nullptr || !PyObject_TypeCheck(instance, type())) {
            return nullptr;
        }
        return &object_state<State>(instance);
    }
};

// PyMethodDef stores every method as a PyCFunction; one that takes keywords
// is stored through this cast and called according to its flags.
template <typename Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Adds `methods` to a class that is not yet published as static methods
// whose C function still receives the class as its first argument (a plain
// METH_STATIC method receives null), so that they can reach the module state
// through it. 0, or -1 with the exception set.
inline int add_static_methods(PyTypeObject* cls, PyMethodDef* methods) {
    for (PyMethodDef* method = methods; method->ml_name != nullptr; ++method) {
        Ref function = Ref::steal(PyCFunction_NewEx(method, reinterpret_cast<PyObject*>(cls), nullptr));
        Ref descriptor = Ref::steal(function ? PyStaticMethod_New(function.get()) : nullptr);
        if (!descriptor || PyDict_SetItemString(cls->tp_dict, method->ml_name, descriptor.get()) < 0) {
            return -1;
        }
    }
    PyType_Modified(cls);
    return 0;
}

// Takes the lock back for a thread that let go of it with
// PyEval_SaveThread(): returns holding it, or never returns when the
// thread's interpreter is exiting and this is not its finalizing thread
// (gil.hpp says why).
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

// A per-object borrow flag: many shared borrows or one exclusive borrow.
// A conflicting borrow fails at once instead of waiting, so a second thread,
// or Python code re-entering the object from inside a call, gets an
// exception rather than a deadlock or a torn state.
class BorrowFlag {
   public:
    class Guard {
       public:
        Guard() = default;
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard(Guard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
        ~Guard() { reset(); }

        explicit operator bool() const { return flag_ != nullptr; }

        // Gives the borrow back before the end of the scope.
        void reset() {
            if (flag_ == nullptr) {
                return;
            }
            if (exclusive_) {
                flag_->state_.store(0, std::memory_order_release);
            } else {
                flag_->state_.fetch_sub(1, std::memory_order_release);
            }
            flag_ = nullptr;
        }

       private:
        friend class BorrowFlag;
        Guard(BorrowFlag* flag, bool exclusive) : flag_(flag), exclusive_(exclusive) {}
        BorrowFlag* flag_ = nullptr;
        bool exclusive_ = false;
    };

    // An empty guard with RuntimeError "Already borrowed" set when any other
    // borrow is held.
    Guard exclusive() {
        int64_t expected = 0;
        if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return {};
        }
        return Guard(this, true);
    }

    // An empty guard with RuntimeError "Already mutably borrowed" set when an
    // exclusive borrow is held.
    Guard shared() {
        int64_t current = state_.load(std::memory_order_relaxed);
        do {
            if (current == kExclusive) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return {};
            }
        } while (
            !state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return Guard(this, false);
    }

   private:
    static constexpr int64_t kExclusive = -1;
    std::atomic<int64_t> state_{0};  // 0 free, n > 0 shared borrows, -1 exclusive
};

}  // namespace veskar::py
