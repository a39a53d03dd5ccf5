// The pages of a fresh matrix payload, faulted in before the engine writes it.
#pragma once

#include <cstddef>
#include <span>

namespace cladomatic {

// Asks the kernel to back `payload` with written pages, 2 MiB per call, on
// the worker threads.  Memory it refuses (older kernels) is faulted in by
// the first store, as it would have been.
void populate_payload(std::span<std::byte> payload) noexcept;

}  // namespace cladomatic
