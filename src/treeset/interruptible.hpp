// The engine's long calls, run on a task arena of the size the caller asks
// for and stopped by Ctrl-C.  Python runs signal handlers on the main thread
// only, between bytecodes or in PyErr_CheckSignals, so a thread busy in a
// parallel loop never sees one: the work runs on a helper thread under a
// task_group_context while the calling thread waits in short slices with the
// interpreter lock released, runs the handlers between slices and cancels
// the context when one raises (Ctrl-C raises KeyboardInterrupt).  oneTBB
// then starts no further chunk, the row loops stop between rows and the
// summary passes between trees or splits (primitives/row_progress.hpp); the
// call raises what the handler raised once the helper has stopped, so
// nothing the work uses is freed under it.
#pragma once

#include <nanobind/nanobind.h>
#include <tbb/task_arena.h>

#include <cstdint>
#include <functional>

namespace cladomatic {

// The threads of a call: 0 stands for as many as the CPUs the process may
// use; more than those run as that many (oneTBB's pool is no larger).
using Threads = std::uint32_t;

tbb::task_arena arena_of(Threads threads);

// Runs `work` with the lock released until it ends or a signal handler
// raises; work that touches Python objects takes the lock for each touch.  Then raises what the handler
// raised (whatever the work wrote is to be discarded), or rethrows the
// work's own exception.  Called with the lock held.
void run_interruptible(Threads threads, const std::function<void()>& work);

// Ends every call of run_interruptible, on any thread, running now or
// started later, with KeyboardInterrupt.  Only the main thread runs signal
// handlers, so a call on another thread (a Dask tile's) never learns of
// Ctrl-C by itself: a process on its way out stops them this way instead of
// waiting for them.  There is no undoing it.
void stop_every_call();

}  // namespace cladomatic
