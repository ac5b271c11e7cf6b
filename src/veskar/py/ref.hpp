#pragma once
// The small RAII layer every class of the extension module is written over:
// one holder per owned reference, borrow guards, and the few C-API idioms
// that would otherwise be repeated in each class file.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
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

// A Python object of type T whose C++ state lives in a member constructed in
// place after the interpreter allocated the (zeroed) memory. T is a struct
// beginning with PyObject_HEAD and a member `state`.
template <typename T, typename... Args>
T* construct_state(T* object, Args&&... args) {
    new (&object->state) decltype(object->state)(std::forward<Args>(args)...);
    return object;
}

// tp_dealloc for heap types of such objects: destroys the C++ state, frees
// the memory and drops the reference every instance holds to its heap type.
template <typename T>
void dealloc_with_state(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    using State = decltype(T::state);
    reinterpret_cast<T*>(self)->state.~State();
    type->tp_free(self);
    Py_DECREF(type);
}

template <typename T>
T* as(PyObject* object) {
    return reinterpret_cast<T*>(object);
}

// Creates a class from its spec once and keeps it for the life of the
// process; later calls return the same object. Null with an exception set
// when creation fails (a later call tries again).
inline PyTypeObject* type_once(PyObject*& slot, PyType_Spec* spec) {
    if (slot == nullptr) {
        slot = PyType_FromSpec(spec);
    }
    return reinterpret_cast<PyTypeObject*>(slot);
}

// Drops the interpreter lock for its scope. Nothing inside the scope may
// touch a Python object.
class WithoutGil {
   public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

   private:
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
