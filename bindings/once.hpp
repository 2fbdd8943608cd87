// A Python object created once per process, on first use, and kept for the
// rest of the process (the Dict type, the PanicException class).
//
// Several threads may ask for the object at the same moment, also in an
// interpreter without the global interpreter lock. The scheme is a double
// check around a PyMutex:
//
// * Fast path: an acquire load of `value_`. Once the object exists every
//   caller takes this path; the release store that published the pointer
//   makes the finished object visible with it.
// * Slow path: PyMutex_Lock, a second look at `value_`, and only then the
//   creation, so that exactly one thread creates the object and all others
//   get the same one.
//
// Why PyMutex and not std::mutex: creating a type or an exception class runs
// interpreter code that may let other threads run (with the GIL it may drop
// and retake the lock, for example during a garbage collection). If a second
// thread then blocked in a std::mutex while attached to the interpreter, it
// would keep the GIL (or, without the GIL, hold up a stop-the-world pause) and
// the creating thread could never finish: a deadlock. PyMutex_Lock detaches
// the waiting thread from the interpreter while it is parked and reattaches it
// afterwards, so the creating thread can always proceed.
//
// A failed creation publishes nothing and leaves its Python exception set;
// the next caller tries again.
#pragma once

#include <Python.h>

#include <atomic>

#include "py_ref.hpp"

namespace taglex::py {

class OnceObject {
 public:
  constexpr OnceObject() noexcept = default;
  OnceObject(const OnceObject&) = delete;
  OnceObject& operator=(const OnceObject&) = delete;

  // The object (a borrowed reference that stays valid for the rest of the
  // process), creating it with `make` if nobody has yet. `make` returns a new
  // reference, or null with a Python exception set; then so does get().
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* existing = value_.load(std::memory_order_acquire)) return existing;
    PyMutex_Lock(&lock_);
    struct Unlock {
      PyMutex* mutex;
      ~Unlock() { PyMutex_Unlock(mutex); }
    } unlock{&lock_};
    PyObject* object = value_.load(std::memory_order_acquire);
    if (object == nullptr) {
      object = make();
      if (object != nullptr) value_.store(object, std::memory_order_release);
    }
    return object;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};  // owns one reference once set; never released
  PyMutex lock_{};
};

}  // namespace taglex::py
