// Fresh result buffers and the pages behind them.
#pragma once

#include <cstddef>
#include <span>

namespace cladomatic {

// Has the kernel fault in the whole pages of a fresh buffer, a share per
// thread of the pool, before one thread writes it all: the first touch is then
// spread over the pool as it is when the pool itself writes a matrix (which
// needs no such call: on two threads, populating first measured the same as
// the pool's own faults).  Contents are unchanged.  Small buffers, and kernels
// without the request (before Linux 5.14), are left to fault as written.
//
// Huge pages (MADV_HUGEPAGE) were measured and left out: where the machine is
// a virtual one that hands freed 2 MiB blocks back to its host, every run
// paid to fault them in again and the first touch took about three times as
// long as with small pages.
void prefault_for_writing(std::span<std::byte> bytes);

}  // namespace cladomatic
