// How the row loops of a long block computation, and the passes of the
// summaries and exports over the trees, report and stop.  Each finished row
// (tree) is counted into the caller's counter, when there is one; and a
// loop stops between rows once the task group it runs in is cancelled (the
// engine cancels it when the waiting interpreter sees Ctrl-C).  The cells of
// the rows not reached are then left as they were: a cancelled block is
// garbage, and its caller discards it.  Outside a cancellable group nothing
// stops, so the module's whole-matrix calls are unaffected.
#pragma once

#include <tbb/task_group.h>

#include <atomic>
#include <cstdint>

namespace cladomatic {

using RowCounter = std::atomic<std::uint64_t>;

inline bool stop_requested() noexcept {
  return tbb::is_current_task_group_canceling();
}

inline void count_rows(RowCounter* counter, std::uint64_t rows) noexcept {
  if (counter != nullptr) counter->fetch_add(rows, std::memory_order_relaxed);
}

}  // namespace cladomatic
