#include "arena_reserve.hpp"

#include <dlfcn.h>
#include <sys/mman.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace cladomatic {

namespace {

// The small-object allocator's layout (16-byte size classes, 16 KiB pools
// with a 48-byte header, 1 MiB arenas that may lose one pool to alignment).
// A wrong guess costs speed alone: a short reserve leaves the rest to the
// interpreter's own arenas, and what is left over is unmapped unused.
constexpr std::size_t kSizeClass = 16, kPoolSize = 16 << 10, kPoolHeader = 48;
constexpr std::size_t kArenaSize = 1 << 20, kPoolsPerArena = kArenaSize / kPoolSize - 1;
// Below this many arenas the faults cost less than the call that saves them,
// and the free pools the interpreter already has may be enough.
constexpr std::size_t kMinArenas = 16;
// Pages faulted in by one task.
constexpr std::size_t kPopulateBlock = 4 << 20;

template <class Function>
bool in_interpreter_image(Function* function) noexcept {
  Dl_info mine{}, interpreters{};
  return dladdr(reinterpret_cast<void*>(function), &mine) != 0 &&
         dladdr(reinterpret_cast<void*>(&PyObject_GetArenaAllocator), &interpreters) != 0 &&
         mine.dli_fbase == interpreters.dli_fbase;
}

std::size_t reserve_size(std::size_t objects, std::size_t object_size) noexcept {
  const std::size_t size_class = (object_size + kSizeClass - 1) / kSizeClass * kSizeClass;
  const std::size_t per_arena = kPoolsPerArena * ((kPoolSize - kPoolHeader) / size_class);
  if (per_arena == 0) return 0;
  const std::size_t arenas = objects / per_arena + 1;
  return arenas < kMinArenas || arenas > SIZE_MAX / kArenaSize ? 0 : arenas * kArenaSize;
}

// Writes every page of the mapping, in parallel: the kernel fills a block in
// one call where it can, page by page through faults where it cannot.
bool populate(std::byte* base, std::size_t size) noexcept {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::atomic<bool> failed{false};
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, (size + kPopulateBlock - 1) / kPopulateBlock, 1),
                    [&](const tbb::blocked_range<std::size_t>& blocks) {
                      for (std::size_t b = blocks.begin(); b != blocks.end(); ++b) {
                        std::byte* first = base + b * kPopulateBlock;
                        const std::size_t length = std::min(kPopulateBlock, size - b * kPopulateBlock);
#ifdef MADV_POPULATE_WRITE
                        if (madvise(first, length, MADV_POPULATE_WRITE) == 0) continue;
                        // Older kernels do not know the advice; anything else
                        // means the memory is not there to have.
                        if (errno != EINVAL) {
                          failed.store(true, std::memory_order_relaxed);
                          continue;
                        }
#endif
                        for (std::size_t offset = 0; offset < length; offset += page)
                          *reinterpret_cast<volatile char*>(first + offset) = 0;
                      }
                    });
  return !failed.load(std::memory_order_relaxed);
}

}  // namespace

bool arenas_reservable() noexcept {
#if defined(Py_GIL_DISABLED) || !defined(__linux__)
  // The free-threaded build keeps objects in heaps of its own, and elsewhere
  // the built-in arenas may not be mappings that can be unmapped piecewise.
  return false;
#else
  // Interpreters with a lock of their own would allocate arenas concurrently,
  // while the allocator is being swapped.
  PyInterpreterState* first = PyInterpreterState_Head();
  if (first == nullptr || PyInterpreterState_Next(first) != nullptr) return false;
  PyObjectArenaAllocator current{};
  PyObject_GetArenaAllocator(&current);
  return in_interpreter_image(current.alloc) && in_interpreter_image(current.free);
#endif
}

ArenaReserve::ArenaReserve(ArenaReserve&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      used_(std::exchange(other.used_, 0)) {}

ArenaReserve& ArenaReserve::operator=(ArenaReserve&& other) noexcept {
  ArenaReserve old(std::move(*this));
  base_ = std::exchange(other.base_, nullptr);
  size_ = std::exchange(other.size_, 0);
  used_ = std::exchange(other.used_, 0);
  return *this;
}

ArenaReserve::~ArenaReserve() {
  if (base_ && used_ < size_) munmap(base_ + used_, size_ - used_);
}

ArenaReserve ArenaReserve::populated(std::size_t objects, std::size_t object_size) noexcept {
  ArenaReserve reserve;
  const std::size_t size = reserve_size(objects, object_size);
  if (size == 0) return reserve;
  void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return reserve;
  if (!populate(static_cast<std::byte*>(mapped), size)) {
    munmap(mapped, size);
    return reserve;
  }
  reserve.base_ = static_cast<std::byte*>(mapped);
  reserve.size_ = size;
  return reserve;
}

ArenasFromReserve::ArenasFromReserve(ArenaReserve& reserve) noexcept : reserve_(reserve) {
  if (!reserve_.base_ || !arenas_reservable()) return;
  PyObject_GetArenaAllocator(&original_);
  PyObjectArenaAllocator mine{this, allocate, free};
  PyObject_SetArenaAllocator(&mine);
  installed_ = true;
}

ArenasFromReserve::~ArenasFromReserve() {
  if (installed_) PyObject_SetArenaAllocator(&original_);
}

void* ArenasFromReserve::allocate(void* context, std::size_t size) noexcept {
  ArenaReserve& reserve = static_cast<ArenasFromReserve*>(context)->reserve_;
  if (size <= reserve.size_ - reserve.used_) {
    std::byte* arena = reserve.base_ + reserve.used_;
    reserve.used_ += size;
    return arena;
  }
  const PyObjectArenaAllocator& original = static_cast<ArenasFromReserve*>(context)->original_;
  return original.alloc(original.ctx, size);
}

void ArenasFromReserve::free(void* context, void* address, std::size_t size) noexcept {
  // The built-in allocator unmaps by address and size, which frees a reserved
  // arena just as well: arenas of either kind end up the same way.
  const PyObjectArenaAllocator& original = static_cast<ArenasFromReserve*>(context)->original_;
  original.free(original.ctx, address, size);
}

}  // namespace cladomatic
