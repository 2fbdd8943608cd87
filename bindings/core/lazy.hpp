// A value built on first need, then the same for the object's life.
//
// The fast path is one acquire load. The slow path takes a PyMutex (which
// detaches a waiting thread from the interpreter, so a stop-the-world pause
// never waits on it), looks again and only then builds; a build that throws
// publishes nothing and the next caller tries again. std::call_once would
// do, but libstdc++'s writes thread-local state on every call, which costs
// more than the question being answered.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>

namespace taglex::py {

template <class T>
class Lazy {
 public:
  Lazy() = default;
  Lazy(const Lazy&) = delete;
  Lazy& operator=(const Lazy&) = delete;
  ~Lazy() { delete value_.load(std::memory_order_relaxed); }

  // `make` returns a T (built without calling into the interpreter).
  template <class Make>
  const T& get(Make&& make) const {
    if (const T* p = value_.load(std::memory_order_acquire)) return *p;
    PyMutex_Lock(&mutex_);
    struct Unlock {
      PyMutex* m;
      ~Unlock() { PyMutex_Unlock(m); }
    } unlock{&mutex_};
    T* p = value_.load(std::memory_order_acquire);
    if (p == nullptr) {
      p = new T(make());
      value_.store(p, std::memory_order_release);
    }
    return *p;
  }

 private:
  mutable std::atomic<T*> value_{nullptr};
  mutable PyMutex mutex_{};
};

}  // namespace taglex::py
