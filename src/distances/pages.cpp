#include "pages.hpp"

#include <sys/mman.h>
#include <tbb/parallel_for.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace cladomatic {

namespace {

// Below this the faults saved do not pay for the calls.
constexpr std::size_t kWorthIt = std::size_t{16} << 20;
// Pieces small enough to spread over the threads, large enough to keep the
// calls few.
constexpr std::size_t kPiece = std::size_t{32} << 20;

}  // namespace

void prefault_for_writing(std::span<std::byte> bytes) {
#ifdef MADV_POPULATE_WRITE
  if (bytes.size() < kWorthIt) return;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const auto page = static_cast<std::uintptr_t>(page_size);
  const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = (begin + bytes.size()) / page * page;
  if (last <= first) return;
  const std::size_t pieces = (last - first + kPiece - 1) / kPiece;
  tbb::parallel_for(std::size_t{0}, pieces, [&](std::size_t k) {
    const std::uintptr_t from = first + k * kPiece;
    const std::uintptr_t to = std::min<std::uintptr_t>(from + kPiece, last);
    // A refusal (an older kernel) leaves the pages to fault when written.
    (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  });
#else
  (void)bytes;
#endif
}

}  // namespace cladomatic
