// ProgressCounter, and the release of the interpreter lock around the pairwise
// stage of a call that was given one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "pyref.hpp"

namespace cladomatic {

// Shared so that the engines keep a valid `value` while the lock is released,
// whatever happens to the Python object.  Every access is relaxed: readers get
// snapshots, never a consistent (value, total) pair.
struct CounterCells {
  std::atomic<std::uint64_t> value{0};
  std::atomic<std::uint64_t> total{0};
};

// A new heap type, not subclassable, without instance __dict__.
PyRef progress_counter_type(PyObject* module) noexcept;

// True for instances of the type of any import of this module.
bool is_progress_counter(PyObject* object) noexcept;

// `counter` must be a ProgressCounter.
std::shared_ptr<CounterCells> counter_cells(PyObject* counter) noexcept;

// Releases the interpreter lock for its lifetime; a C++ exception leaving the
// scope takes it back too.
class LockReleased {
 public:
  LockReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  PyThreadState* state_;
};

using PairCounter = std::atomic<std::uint64_t>;

// n(n-1)/2, the product saturating instead of wrapping.
inline std::uint64_t pair_count(std::uint64_t n) noexcept {
  if (n == 0) return 0;
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(n, n - 1, &product)) product = UINT64_MAX;
  return product / 2;
}

// Runs `job(PairCounter*)`, the pairwise stage, which writes its results in
// place.  Without a counter it runs with
// the lock held and gets no counter.  With one, the counter shows 0 of `total`
// at the start, the lock is released while the job runs, and a finished job
// leaves value == total whatever the engines added.  The job must touch no
// Python object.  A job that throws leaves the count it reached.
template <class Job>
void with_counter(PyRef progress, std::uint64_t total, Job&& job) {
  if (!progress) {
    job(nullptr);
    return;
  }
  std::shared_ptr<CounterCells> cells = counter_cells(progress.get());
  cells->value.store(0, std::memory_order_relaxed);
  cells->total.store(total, std::memory_order_relaxed);
  {
    LockReleased unlocked;
    job(&cells->value);
  }
  cells->value.store(total, std::memory_order_relaxed);
}

}  // namespace cladomatic
