#include "gzip_source.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>
#include <string>
#include <utility>

namespace cladomatic {
namespace {

constexpr std::size_t kInputBytes = std::size_t{1} << 18;
constexpr int kGzipOnly = 16 + MAX_WBITS;

class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(std::unique_ptr<ByteSource> compressed)
      : compressed_(std::move(compressed)), input_(new char[kInputBytes]) {}
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;
  ~GzipSource() override {
    if (started_) inflateEnd(&stream_);
  }

  // zlib's own result: only memory can make it fail.
  int start() {
    const int status = inflateInit2(&stream_, kGzipOnly);
    started_ = status == Z_OK;
    return status;
  }

  Result<std::size_t> read(std::span<char> into) override {
    // zlib counts in 32 bits.
    into = into.first(std::min<std::size_t>(into.size(), std::numeric_limits<uInt>::max()));
    while (!ended_) {
      if (member_ended_) {
        Result<bool> another = next_member();
        if (!another) return std::move(another).take_error();
        if (!another.value()) {
          ended_ = true;
          break;
        }
        inflateReset(&stream_);
        member_ended_ = false;
      }
      if (stream_.avail_in == 0) {
        Result<bool> filled = refill();
        if (!filled) return std::move(filled).take_error();
        if (!filled.value())
          return Error{"Compressed file ended before the end-of-stream marker was reached"};
      }
      stream_.next_out = reinterpret_cast<Bytef*>(into.data());
      stream_.avail_out = static_cast<uInt>(into.size());
      const int status = inflate(&stream_, Z_NO_FLUSH);
      const std::size_t produced = into.size() - stream_.avail_out;
      if (status == Z_STREAM_END) {
        member_ended_ = true;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        return Error{"Error " + std::to_string(status) +
                     " while decompressing data: " + (stream_.msg ? stream_.msg : "unknown error")};
      }
      if (produced > 0) return produced;
    }
    return std::size_t{0};
  }

 private:
  // False at the end of the compressed input.
  Result<bool> refill() {
    Result<std::size_t> got = compressed_->read({input_.get(), kInputBytes});
    if (!got) return std::move(got).take_error();
    stream_.next_in = reinterpret_cast<Bytef*>(input_.get());
    stream_.avail_in = static_cast<uInt>(got.value());
    return got.value() > 0;
  }

  // Skips zero padding; true when another member starts.
  Result<bool> next_member() {
    for (;;) {
      while (stream_.avail_in > 0 && *stream_.next_in == 0) {
        ++stream_.next_in;
        --stream_.avail_in;
      }
      if (stream_.avail_in > 0) break;
      Result<bool> filled = refill();
      if (!filled || !filled.value()) return filled;
    }
    // The magic's second byte may begin the next read; zlib checks it.
    if (*stream_.next_in != 0x1f) return Error{"Not a gzipped file (trailing data after the last member)"};
    return true;
  }

  std::unique_ptr<ByteSource> compressed_;
  std::unique_ptr<char[]> input_;
  z_stream stream_{};
  bool started_ = false;
  bool member_ended_ = false;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> gzip_source(std::unique_ptr<ByteSource> compressed) {
  auto source = std::make_unique<GzipSource>(std::move(compressed));
  if (source->start() != Z_OK) throw std::bad_alloc();
  return source;
}

}  // namespace cladomatic
