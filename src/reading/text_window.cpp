#include "text_window.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "primitives/find_bytes.hpp"
#include "primitives/utf8.hpp"

namespace cladomatic {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool continuation(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

TextWindow::TextWindow(std::unique_ptr<ByteSource> source, std::string name, std::size_t chunk_bytes,
                       std::size_t max_collected, Simd simd)
    : source_(std::move(source)),
      name_(std::move(name)),
      chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)),
      max_collected_(max_collected),
      simd_(simd) {}

bool TextWindow::more() {
  if (ended_ || error_) return false;
  if (collecting_ && !within_limit()) return false;
  // Text before the cursor (or before a collected stretch) is no longer
  // needed; what stays moves to the front once, and a stretch that keeps
  // growing stays at the front from then on.  Bytes not yet checked stay:
  // they begin a character the next chunk completes.
  const std::size_t keep = std::min(collecting_ ? mark_ : pos_, checked_);
  if (keep > 0) {
    std::memmove(data_.get(), data_.get() + keep, size_ - keep);
    size_ -= keep;
    pos_ -= keep;
    checked_ -= keep;
    if (collecting_) {
      mark_ -= keep;
      counted_ -= keep;
    }
  }
  Result<std::size_t> got = read_chunk();
  if (!got) {
    fail("cannot read: " + got.error());
    return false;
  }
  if (got.value() == 0) {
    ended_ = true;
    check_utf8(true);
    return false;
  }
  size_ += got.value();
  if (!started_) {
    started_ = true;
    if (std::string_view(data_.get(), size_).starts_with(kByteOrderMark))
      pos_ = checked_ = kByteOrderMark.size();
  }
  check_utf8(false);
  return !error_;
}

Result<std::size_t> TextWindow::read_chunk() {
  const std::size_t room = std::max(chunk_bytes_, kByteOrderMark.size());
  if (capacity_ - size_ < room) {
    const std::size_t capacity = std::max(2 * capacity_, size_ + room);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  // A byte-order mark is whole in the first read however small the chunks.
  if (!started_) return read_fully(*source_, {data_.get() + size_, kByteOrderMark.size()});
  return source_->read({data_.get() + size_, chunk_bytes_});
}

void TextWindow::want(std::size_t count) {
  while (buffered() < count && more()) {
  }
}

void TextWindow::check_utf8(bool at_end) {
  const char* data = data_.get();
  std::string_view text(data, size_);
  while (checked_ < size_) {
    checked_ += ascii_prefix(data + checked_, data + size_);
    if (checked_ == size_) break;
    char32_t code = 0;
    const std::size_t length = decode_utf8(text, checked_, code);
    if (length == 0) {
      // A sequence cut by the end of the chunk is completed by the next one.
      std::size_t tail = 1;
      while (checked_ + tail < size_ && continuation(data[checked_ + tail])) ++tail;
      if (!at_end && checked_ + tail == size_ && tail < 4) return;
      fail("not UTF-8 text (after line " + std::to_string(line_) + ")");
      return;
    }
    checked_ += length;
  }
}

void TextWindow::advance_to(const char* to) noexcept {
  line_ += count_newlines(cursor(), to);
  pos_ = static_cast<std::size_t>(to - data_.get());
}

void TextWindow::collect() noexcept {
  collecting_ = true;
  mark_ = counted_ = pos_;
  counted_chars_ = 0;
  mark_line_ = line_;
}

bool TextWindow::within_limit() {
  // Characters never outnumber bytes, so they are counted only past the
  // limit in bytes.
  if (pos_ - mark_ <= max_collected_) return true;
  for (; counted_ < pos_; ++counted_) counted_chars_ += !continuation(data_[counted_]);
  if (counted_chars_ <= max_collected_) return true;
  fail(mark_line_,
       "a tree or name longer than the limit of " + std::to_string(max_collected_) + " characters");
  return false;
}

std::optional<std::string_view> TextWindow::collected() {
  collecting_ = false;
  if (error_ || !within_limit()) return std::nullopt;
  return std::string_view(data_.get() + mark_, pos_ - mark_);
}

void TextWindow::fail(std::uint64_t line, std::string_view message) {
  if (!error_) error_ = Error{name_ + ":" + std::to_string(line) + ": " + std::string(message)};
}

void TextWindow::fail(std::string_view message) {
  if (!error_) error_ = Error{name_ + ": " + std::string(message)};
}

}  // namespace cladomatic
