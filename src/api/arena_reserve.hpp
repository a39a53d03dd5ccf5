// Memory for the interpreter's small-object arenas, mapped and faulted in
// ahead by the worker threads.  Making tens of millions of floats one after
// another spends most of its time in page faults of fresh arenas, taken one
// page at a time on the thread that holds the interpreter lock; a reserve
// faults the same pages in parallel, before the lock is needed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace cladomatic {

// A private anonymous mapping, every page written once, from which arenas
// are handed out front to back; what is not handed out is unmapped with it.
class ArenaReserve {
 public:
  ArenaReserve() noexcept = default;
  ArenaReserve(ArenaReserve&& other) noexcept;
  ArenaReserve& operator=(ArenaReserve&& other) noexcept;
  ArenaReserve(const ArenaReserve&) = delete;
  ArenaReserve& operator=(const ArenaReserve&) = delete;
  ~ArenaReserve();

  // Room for about `objects` new objects of `object_size` bytes, faulted in
  // over the worker threads; touches no Python object, so it may run without
  // the lock.  Empty when nothing is asked or the memory is refused.
  static ArenaReserve populated(std::size_t objects, std::size_t object_size) noexcept;

 private:
  friend class ArenasFromReserve;
  std::byte* base_ = nullptr;
  std::size_t size_ = 0;
  std::size_t used_ = 0;
};

// True when arenas handed out from a reserve are freed correctly by the
// interpreter's own allocator afterwards: its arena allocator is the built-in
// one (which unmaps each arena by address and size) and no other interpreter
// could allocate arenas meanwhile.  Needs the interpreter lock.
bool arenas_reservable() noexcept;

// While alive (and the lock stays held throughout), new arenas come from the
// reserve until it runs out.  Arenas taken stay with the interpreter, which
// unmaps them one by one as they empty.  Serves nothing when the interpreter
// is no longer one whose arenas may be served.
class ArenasFromReserve {
 public:
  explicit ArenasFromReserve(ArenaReserve& reserve) noexcept;
  ~ArenasFromReserve();
  ArenasFromReserve(const ArenasFromReserve&) = delete;
  ArenasFromReserve& operator=(const ArenasFromReserve&) = delete;

 private:
  static void* allocate(void* context, std::size_t size) noexcept;
  static void free(void* context, void* address, std::size_t size) noexcept;

  ArenaReserve& reserve_;
  bool installed_ = false;
  PyObjectArenaAllocator original_{};
};

}  // namespace cladomatic
