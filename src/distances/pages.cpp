#include "pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace cladomatic {

namespace {

// Below this the faults saved do not pay for the system call and the split
// of the mapping it may cause.
constexpr std::size_t kWorthIt = std::size_t{8} << 20;

}  // namespace

void prefer_huge_pages(std::span<std::byte> bytes) noexcept {
#ifdef MADV_HUGEPAGE
  if (bytes.size() < kWorthIt) return;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const auto page = static_cast<std::uintptr_t>(page_size);
  const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = (begin + bytes.size()) / page * page;
  if (last <= first) return;
  // Refused on kernels without the feature: the buffer stays as it was.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)bytes;
#endif
}

}  // namespace cladomatic
