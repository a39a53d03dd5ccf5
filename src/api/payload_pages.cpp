#include "payload_pages.hpp"

#include <sys/mman.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace cladomatic {

// Faulted in page by page, the payload's pages arrive one exception at a time
// in the middle of the kernels' stores, and the lower triangle's scattered
// stores fault in pages far from each other.  Populated in large calls first,
// the whole RF call of 10,000 trees took a sixth less wall time and a tenth
// less CPU time on the benchmark host, and the pair step became only
// arithmetic and stores.  The huge-page hint is not given: the host often has
// no huge pages at hand, and compacting memory for them made the same call
// two to three times slower (bench/README.md, speed.py).
void populate_payload(std::span<std::byte> payload) noexcept {
#ifdef MADV_POPULATE_WRITE
  constexpr std::uintptr_t kChunk = std::uintptr_t{2} << 20;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(payload.data());
  const std::uintptr_t begin = (start + page - 1) / page * page;
  const std::uintptr_t end = (start + payload.size()) / page * page;
  if (end <= begin) return;
  tbb::parallel_for(tbb::blocked_range<std::uintptr_t>(0, (end - begin + kChunk - 1) / kChunk),
                    [&](const tbb::blocked_range<std::uintptr_t>& r) {
                      const std::uintptr_t from = begin + r.begin() * kChunk;
                      const std::uintptr_t to = std::min(end, begin + r.end() * kChunk);
                      madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
                    });
#else
  (void)payload;
#endif
}

}  // namespace cladomatic
