// The text of one input as a window with a cursor.  Text arrives a chunk at
// a time and is checked as UTF-8 as it comes (a leading byte-order mark is
// dropped); the cursor counts line feeds as it passes them; a stretch being
// collected stays whole and contiguous across refills however long it grows.
// Every byte is moved a bounded number of times, so a file is read in time
// linear in its length whatever its trees and words look like.
//
// Errors are kept, not thrown: the first one is held, and from then on the
// window behaves as if the text had ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "byte_source.hpp"
#include "snapshot/result.hpp"

namespace cladomatic {

class TextWindow {
 public:
  // `name` is the input as messages call it; `max_collected` bounds a
  // collected stretch, in characters.
  TextWindow(std::unique_ptr<ByteSource> source, std::string name, std::size_t chunk_bytes,
             std::size_t max_collected);

  // The buffered text not yet passed; pointers are valid until `more`.
  const char* cursor() const noexcept { return data_.get() + pos_; }
  const char* end() const noexcept { return data_.get() + size_; }
  std::size_t buffered() const noexcept { return size_ - pos_; }

  // Appends the next chunk; false at the end of the input or on an error.
  bool more();
  // Buffers at least `count` bytes past the cursor unless the text ends first.
  void want(std::size_t count);
  // Moves the cursor forward to `to`, inside the buffered text.
  void advance_to(const char* to) noexcept;
  void advance(std::size_t count) noexcept { advance_to(cursor() + count); }
  std::uint64_t line() const noexcept { return line_; }
  // Whether the input has been read to its end.
  bool ended() const noexcept { return ended_; }

  // Keeps the text from the cursor on, until `collected` takes it.
  void collect() noexcept;
  // The text from `collect` to the cursor, or nothing after an error (the
  // limit included).  Valid until `more`; collecting stops.
  std::optional<std::string_view> collected();

  // Records "NAME:LINE: MESSAGE" unless an error is already held.
  void fail(std::uint64_t line, std::string_view message);
  // Records "NAME: MESSAGE".
  void fail(std::string_view message);
  const std::optional<Error>& error() const noexcept { return error_; }
  const std::string& name() const noexcept { return name_; }

 private:
  bool within_limit();
  void check_utf8(bool at_end);
  Result<std::size_t> read_chunk();

  std::unique_ptr<ByteSource> source_;
  std::string name_;
  std::size_t chunk_bytes_;
  std::size_t max_collected_;
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
  std::size_t checked_ = 0;  // bytes known to be UTF-8
  std::uint64_t line_ = 1;
  bool collecting_ = false;
  std::size_t mark_ = 0;
  std::uint64_t mark_line_ = 0;
  std::size_t counted_ = 0;        // end of the collected bytes whose characters are counted
  std::size_t counted_chars_ = 0;  // characters among them
  bool started_ = false;           // the byte-order mark is looked for once
  bool ended_ = false;
  std::optional<Error> error_;
};

}  // namespace cladomatic
