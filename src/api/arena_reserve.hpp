// Arenas for the interpreter's small-object allocator, taken from its own
// arena allocator ahead of need and faulted in over the worker threads.
// Making tens of millions of floats one after another spends most of its time
// in page faults of fresh arenas, taken one page at a time on the thread that
// holds the interpreter lock; a reserve faults the same pages in parallel
// first.  Every arena comes from the interpreter's allocator and goes back to
// it, so nothing is assumed about how that allocator works.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

namespace cladomatic {

// True when arenas may be handed to the allocator this way: a build with the
// interpreter lock and a single interpreter, so that no other thread can ask
// for an arena while the allocator is swapped.  Needs the lock.
bool arenas_reservable() noexcept;

class ArenaReserve {
 public:
  ArenaReserve() noexcept = default;
  ArenaReserve(ArenaReserve&& other) noexcept = default;
  ArenaReserve& operator=(ArenaReserve&& other) noexcept = delete;
  ArenaReserve(const ArenaReserve&) = delete;
  ArenaReserve& operator=(const ArenaReserve&) = delete;
  // Gives the arenas never handed out back to the allocator they came from.
  // Needs the lock.
  ~ArenaReserve();

  // Arenas for about `objects` new objects of `object_size` bytes, every page
  // written once; empty when that is too little to be worth it or reserving
  // is not safe.  Needs the lock.
  static ArenaReserve taken(std::size_t objects, std::size_t object_size) noexcept;

 private:
  friend class ArenasFromReserve;
  PyObjectArenaAllocator source_{};
  std::vector<void*> arenas_;
  std::size_t handed_out_ = 0;
};

// While alive (and the lock stays held throughout), the allocator's requests
// for arenas are served from the reserve until it runs out, and go on to the
// allocator itself after.  Serves nothing when the allocator or the set of
// interpreters changed since the reserve was taken.
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
};

}  // namespace cladomatic
