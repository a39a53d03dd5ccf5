// Fresh result buffers and the pages behind them.
#pragma once

#include <cstddef>
#include <span>

namespace cladomatic {

// Has the kernel fault in the whole pages of a fresh buffer that is about to
// be written through, one call per share of the pool's threads instead of a
// trap per 4 KiB page: the first touch of a large matrix was most of a large
// RF call.  Contents are unchanged.  Small buffers, and kernels without the
// request (before Linux 5.14), are left to fault as they are written.
//
// Huge pages (MADV_HUGEPAGE) were measured and left out: where the machine is
// a virtual one that hands freed 2 MiB blocks back to its host, every run
// paid to fault them in again and the first touch took about three times as
// long as with small pages.
void prefault_for_writing(std::span<std::byte> bytes);

}  // namespace cladomatic
