#include "interruptible.hpp"

#include <tbb/info.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace nb = nanobind;

namespace cladomatic {
namespace {

// Short enough that Ctrl-C stops a call well within a second, long enough
// that the waiting thread costs nothing beside the work.
constexpr std::chrono::milliseconds kSlice{20};

std::atomic<bool> stopping{false};

// The end of the helper thread's run, handed to the waiting thread.
struct Ending {
  std::mutex mutex;
  std::condition_variable changed;
  bool ended = false;
  std::exception_ptr failure;
};

// The exception a signal handler raised, KeyboardInterrupt once every call
// is to stop, or else an invalid object.  With the lock.
nb::object raised_by_handlers() {
  if (stopping.load(std::memory_order_relaxed)) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
  } else if (PyErr_CheckSignals() == 0) {
    return {};
  }
  return nb::steal(PyErr_GetRaisedException());
}

}  // namespace

tbb::task_arena arena_of(Threads threads) {
  // Never more slots than the pool has threads: an arena allocates its slots
  // up front.
  const auto cpus = static_cast<Threads>(tbb::info::default_concurrency());
  return tbb::task_arena(threads == 0 ? tbb::task_arena::automatic
                                      : static_cast<int>(std::min(threads, cpus)));
}

void stop_every_call() {
  stopping.store(true, std::memory_order_relaxed);
}

void run_interruptible(Threads threads, const std::function<void()>& work) {
  if (stopping.load(std::memory_order_relaxed)) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw nb::python_error();
  }
  tbb::task_arena arena = arena_of(threads);
  tbb::task_group_context context;
  Ending ending;
  // Loops started inside the group's task are bound to `context`, so
  // cancelling it reaches every one of them.
  std::thread helper([&] {
    std::exception_ptr failure;
    try {
      arena.execute([&] {
        tbb::task_group group(context);
        group.run_and_wait(work);
      });
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(ending.mutex);
    ending.failure = failure;
    ending.ended = true;
    ending.changed.notify_one();
  });
  nb::object raised;
  {
    nb::gil_scoped_release released;
    std::unique_lock lock(ending.mutex);
    while (!ending.changed.wait_for(lock, kSlice, [&] { return ending.ended; })) {
      if (raised.is_valid()) continue;  // cancelled: waiting for the helper to stop
      lock.unlock();
      {
        nb::gil_scoped_acquire gil;
        raised = raised_by_handlers();
      }
      if (raised.is_valid()) context.cancel_group_execution();
      lock.lock();
    }
  }
  helper.join();
  if (raised.is_valid()) {
    PyErr_SetRaisedException(raised.release().ptr());
    throw nb::python_error();
  }
  if (ending.failure) std::rethrow_exception(ending.failure);
}

}  // namespace cladomatic
