#include "arena_reserve.hpp"

#include <sys/mman.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace cladomatic {

namespace {

// The small-object allocator's layout (16-byte size classes, 16 KiB pools
// with a 48-byte header, 1 MiB arenas that may lose one pool to alignment).
// A wrong guess costs speed alone: arenas of another size are never served,
// a short reserve leaves the rest to the allocator as usual, and arenas left
// over go back unused.
constexpr std::size_t kSizeClass = 16, kPoolSize = 16 << 10, kPoolHeader = 48;
constexpr std::size_t kArenaSize = 1 << 20, kPoolsPerArena = kArenaSize / kPoolSize - 1;
// Below this many arenas the faults cost less than the call that saves them,
// and the free pools the allocator already has may be enough.
constexpr std::size_t kMinArenas = 16;

std::size_t arenas_for(std::size_t objects, std::size_t object_size) noexcept {
  const std::size_t size_class = (object_size + kSizeClass - 1) / kSizeClass * kSizeClass;
  const std::size_t per_arena = kPoolsPerArena * ((kPoolSize - kPoolHeader) / size_class);
  if (per_arena == 0) return 0;
  const std::size_t arenas = objects / per_arena + 1;
  return arenas < kMinArenas ? 0 : arenas;
}

// Writes every page of an arena: the kernel fills it in one call where it
// can, page by page through faults where it cannot (older kernels, or an
// arena that does not start on a page).  Memory the kernel refuses is left
// to be faulted in by its first use, as it would have been.
void fault_in(void* arena, std::size_t page) noexcept {
#ifdef MADV_POPULATE_WRITE
  if (madvise(arena, kArenaSize, MADV_POPULATE_WRITE) == 0 || errno != EINVAL) return;
#endif
  auto* bytes = static_cast<volatile char*>(arena);
  for (std::size_t offset = 0; offset < kArenaSize; offset += page) bytes[offset] = 0;
}

bool same_allocator(const PyObjectArenaAllocator& a, const PyObjectArenaAllocator& b) noexcept {
  return a.ctx == b.ctx && a.alloc == b.alloc && a.free == b.free;
}

}  // namespace

bool arenas_reservable() noexcept {
#ifdef Py_GIL_DISABLED
  // The free-threaded build keeps objects in heaps of its own.
  return false;
#else
  PyInterpreterState* first = PyInterpreterState_Head();
  return first != nullptr && PyInterpreterState_Next(first) == nullptr;
#endif
}

ArenaReserve ArenaReserve::taken(std::size_t objects, std::size_t object_size) noexcept {
  ArenaReserve reserve;
  const std::size_t wanted = arenas_for(objects, object_size);
  if (wanted == 0 || !arenas_reservable()) return reserve;
  PyObject_GetArenaAllocator(&reserve.source_);
  try {
    reserve.arenas_.reserve(wanted);
  } catch (const std::exception&) {
    return reserve;
  }
  for (std::size_t k = 0; k < wanted; ++k) {
    void* arena = reserve.source_.alloc(reserve.source_.ctx, kArenaSize);
    if (arena == nullptr) break;
    reserve.arenas_.push_back(arena);
  }
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::vector<void*>& arenas = reserve.arenas_;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, arenas.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t k = range.begin(); k != range.end(); ++k) fault_in(arenas[k], page);
                    });
  return reserve;
}

ArenaReserve::~ArenaReserve() {
  for (std::size_t k = handed_out_; k < arenas_.size(); ++k)
    source_.free(source_.ctx, arenas_[k], kArenaSize);
}

ArenasFromReserve::ArenasFromReserve(ArenaReserve& reserve) noexcept : reserve_(reserve) {
  if (reserve_.arenas_.empty() || !arenas_reservable()) return;
  PyObjectArenaAllocator current{};
  PyObject_GetArenaAllocator(&current);
  if (!same_allocator(current, reserve_.source_)) return;
  PyObjectArenaAllocator mine{this, allocate, free};
  PyObject_SetArenaAllocator(&mine);
  installed_ = true;
}

ArenasFromReserve::~ArenasFromReserve() {
  if (installed_) PyObject_SetArenaAllocator(&reserve_.source_);
}

void* ArenasFromReserve::allocate(void* context, std::size_t size) noexcept {
  ArenaReserve& reserve = static_cast<ArenasFromReserve*>(context)->reserve_;
  if (size == kArenaSize && reserve.handed_out_ < reserve.arenas_.size())
    return reserve.arenas_[reserve.handed_out_++];
  return reserve.source_.alloc(reserve.source_.ctx, size);
}

void ArenasFromReserve::free(void* context, void* address, std::size_t size) noexcept {
  // Reserved or not, every arena came from the source allocator.
  const ArenaReserve& reserve = static_cast<ArenasFromReserve*>(context)->reserve_;
  reserve.source_.free(reserve.source_.ctx, address, size);
}

}  // namespace cladomatic
