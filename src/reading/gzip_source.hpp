// Decompressing gzip as it is read.
#pragma once

#include <memory>

#include "byte_source.hpp"

namespace cladomatic {

// The inflated bytes of `compressed`: every gzip member in turn (files joined
// with cat are one stream) and zero bytes padding the end skipped, as gzip -d
// reads them.  A member cut short or corrupt is an error, never a short
// text.  Throws std::bad_alloc when zlib cannot get its memory.
std::unique_ptr<ByteSource> gzip_source(std::unique_ptr<ByteSource> compressed);

}  // namespace cladomatic
