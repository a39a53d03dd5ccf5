// Decompressing gzip as it is read.
#pragma once

#include <memory>

#include "byte_source.hpp"

namespace cladomatic {

// The inflated bytes of `compressed`: every gzip member in turn (files joined
// with cat are one stream) and zero bytes padding the end skipped, as gzip -d
// reads them.  A member cut short or corrupt is an error, never a short
// text.  Throws std::bad_alloc when the inflate cannot get its memory.
//
// ISA-L's igzip inflates when the build found it (three to four times
// zlib's speed here, bench/reading_stages.sh), else zlib; both give the same
// bytes, and the same errors but for the wording of a corrupt stream's.
std::unique_ptr<ByteSource> gzip_source(std::unique_ptr<ByteSource> compressed);

// zlib's inflate whatever the build found, for the benchmark and the tests
// that hold the two alike.
std::unique_ptr<ByteSource> zlib_gzip_source(std::unique_ptr<ByteSource> compressed);

// Which inflate `gzip_source` uses: "ISA-L" or "zlib".
const char* gzip_inflate_name() noexcept;

}  // namespace cladomatic
