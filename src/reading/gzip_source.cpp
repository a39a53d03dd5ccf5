#include "gzip_source.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>
#include <string>
#include <utility>

#if CLADOMATIC_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace cladomatic {
namespace {

constexpr std::size_t kInputBytes = std::size_t{1} << 18;
constexpr int kGzipOnly = 16 + MAX_WBITS;
constexpr const char* kCutShort = "Compressed file ended before the end-of-stream marker was reached";

// The members of a gzip stream one after another, whichever inflate runs
// them: `Inflate` holds the decompressor's state and answers
//   input()            the unread compressed bytes (pointer and count, writable)
//   step(into)         inflates into `into`: bytes produced, whether the
//                      member ended, or the decompressor's error
//   restart()          begins the next member.
template <class Inflate>
class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(std::unique_ptr<ByteSource> compressed)
      : compressed_(std::move(compressed)), input_(new char[kInputBytes]) {}

  Result<std::size_t> read(std::span<char> into) override {
    // Both inflates count in 32 bits.
    into = into.first(std::min<std::size_t>(into.size(), std::numeric_limits<std::uint32_t>::max()));
    while (!ended_) {
      if (member_ended_) {
        Result<bool> another = next_member();
        if (!another) return std::move(another).take_error();
        if (!another.value()) {
          ended_ = true;
          break;
        }
        inflate_.restart();
        member_ended_ = false;
      }
      if (inflate_.available() == 0) {
        Result<bool> filled = refill();
        if (!filled) return std::move(filled).take_error();
        if (!filled.value()) return Error{kCutShort};
      }
      Result<std::size_t> produced = inflate_.step(into, member_ended_);
      if (!produced) return produced;
      if (produced.value() > 0) return produced;
    }
    return std::size_t{0};
  }

 private:
  // False at the end of the compressed input.
  Result<bool> refill() {
    Result<std::size_t> got = compressed_->read({input_.get(), kInputBytes});
    if (!got) return std::move(got).take_error();
    inflate_.give(input_.get(), got.value());
    return got.value() > 0;
  }

  // Skips zero padding; true when another member starts.
  Result<bool> next_member() {
    for (;;) {
      while (inflate_.available() > 0 && *inflate_.next() == 0) inflate_.skip(1);
      if (inflate_.available() > 0) break;
      Result<bool> filled = refill();
      if (!filled || !filled.value()) return filled;
    }
    // The magic's second byte may begin the next read; the inflate checks it.
    if (static_cast<unsigned char>(*inflate_.next()) != 0x1f)
      return Error{"Not a gzipped file (trailing data after the last member)"};
    return true;
  }

  std::unique_ptr<ByteSource> compressed_;
  std::unique_ptr<char[]> input_;
  Inflate inflate_;
  bool member_ended_ = false;
  bool ended_ = false;
};

class Zlib {
 public:
  Zlib() {
    if (inflateInit2(&stream_, kGzipOnly) != Z_OK) throw std::bad_alloc();  // only memory can fail it
  }
  Zlib(const Zlib&) = delete;
  Zlib& operator=(const Zlib&) = delete;
  ~Zlib() { inflateEnd(&stream_); }

  std::size_t available() const noexcept { return stream_.avail_in; }
  const char* next() const noexcept { return reinterpret_cast<const char*>(stream_.next_in); }
  void skip(std::size_t count) noexcept {
    stream_.next_in += count;
    stream_.avail_in -= static_cast<uInt>(count);
  }
  void give(char* bytes, std::size_t count) noexcept {
    stream_.next_in = reinterpret_cast<Bytef*>(bytes);
    stream_.avail_in = static_cast<uInt>(count);
  }
  void restart() noexcept { inflateReset(&stream_); }

  Result<std::size_t> step(std::span<char> into, bool& member_ended) {
    stream_.next_out = reinterpret_cast<Bytef*>(into.data());
    stream_.avail_out = static_cast<uInt>(into.size());
    const int status = inflate(&stream_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      member_ended = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      return Error{"Error " + std::to_string(status) +
                   " while decompressing data: " + (stream_.msg ? stream_.msg : "unknown error")};
    }
    return into.size() - stream_.avail_out;
  }

 private:
  z_stream stream_{};
};

#if CLADOMATIC_ISAL
class Isal {
 public:
  Isal() { restart(); }

  std::size_t available() const noexcept { return state_.avail_in; }
  const char* next() const noexcept { return reinterpret_cast<const char*>(state_.next_in); }
  void skip(std::size_t count) noexcept {
    state_.next_in += count;
    state_.avail_in -= static_cast<std::uint32_t>(count);
  }
  void give(char* bytes, std::size_t count) noexcept {
    state_.next_in = reinterpret_cast<std::uint8_t*>(bytes);
    state_.avail_in = static_cast<std::uint32_t>(count);
  }
  // The unread input stays where it is across the reset.
  void restart() noexcept {
    std::uint8_t* const next = state_.next_in;
    const std::uint32_t available = state_.avail_in;
    isal_inflate_init(&state_);
    state_.crc_flag = ISAL_GZIP;  // the header read and the trailer's CRC and length checked
    state_.next_in = next;
    state_.avail_in = available;
  }

  Result<std::size_t> step(std::span<char> into, bool& member_ended) {
    state_.next_out = reinterpret_cast<std::uint8_t*>(into.data());
    state_.avail_out = static_cast<std::uint32_t>(into.size());
    const int status = isal_inflate(&state_);
    if (status < 0)
      return Error{"Error " + std::to_string(status) + " while decompressing data: " + reason(status)};
    member_ended = state_.block_state == ISAL_BLOCK_FINISH;
    return into.size() - state_.avail_out;
  }

 private:
  static const char* reason(int status) noexcept {
    switch (status) {
      case ISAL_INVALID_BLOCK:
        return "invalid block";
      case ISAL_INVALID_SYMBOL:
        return "invalid symbol";
      case ISAL_INVALID_LOOKBACK:
        return "invalid distance too far back";
      case ISAL_INVALID_WRAPPER:
        return "incorrect header check";
      case ISAL_UNSUPPORTED_METHOD:
        return "unknown compression method";
      case ISAL_INCORRECT_CHECKSUM:
        return "incorrect data check";
      default:
        return "unknown error";
    }
  }

  inflate_state state_{};
};
#endif

}  // namespace

std::unique_ptr<ByteSource> zlib_gzip_source(std::unique_ptr<ByteSource> compressed) {
  return std::make_unique<GzipSource<Zlib>>(std::move(compressed));
}

std::unique_ptr<ByteSource> gzip_source(std::unique_ptr<ByteSource> compressed) {
#if CLADOMATIC_ISAL
  return std::make_unique<GzipSource<Isal>>(std::move(compressed));
#else
  return zlib_gzip_source(std::move(compressed));
#endif
}

const char* gzip_inflate_name() noexcept {
#if CLADOMATIC_ISAL
  return "ISA-L";
#else
  return "zlib";
#endif
}

}  // namespace cladomatic
