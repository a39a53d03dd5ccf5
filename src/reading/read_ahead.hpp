// A source read ahead of its consumer on a thread of its own, so that what
// the source costs (gzip's inflate above all, which is as slow as parsing)
// runs beside the parsing of the trees cut from its bytes instead of between
// chunks of it.  The consumer sees the same bytes and the same error at the
// same place as from the source itself, so nothing read can differ; at most
// `blocks` blocks of `block_bytes` are held.
//
// Only for sources whose reads end on their own (a regular file and what is
// layered on it): a read that waits for a writer would hold the consumer
// past an interruption.
#pragma once

#include <cstddef>
#include <memory>

#include "byte_source.hpp"

namespace cladomatic {

std::unique_ptr<ByteSource> read_ahead(std::unique_ptr<ByteSource> source,
                                       std::size_t block_bytes = std::size_t{1} << 20,
                                       std::size_t blocks = 4);

}  // namespace cladomatic
