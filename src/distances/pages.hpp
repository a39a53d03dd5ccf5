// Large result buffers and the pages behind them.
#pragma once

#include <cstddef>
#include <span>

namespace cladomatic {

// Asks the kernel to back the whole pages inside `bytes` with transparent
// huge pages, where it offers them only on request: first touch of a fresh
// matrix then costs one fault per 2 MiB instead of one per 4 KiB, which was
// most of the time of a large RF call.  A hint only: contents are unchanged,
// and buffers under a few huge pages, or a kernel without the feature, are
// left as they are.  Call it before the buffer is first written.
void prefer_huge_pages(std::span<std::byte> bytes) noexcept;

}  // namespace cladomatic
