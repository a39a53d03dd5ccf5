// The bytes of one input, pulled a buffer at a time: a file descriptor, a
// gzip stream over another source, or (in the bindings) a Python file object.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "snapshot/result.hpp"

namespace cladomatic {

// An error is the reason alone ("Is a directory"): the reader says which
// input it is about.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills the front of `into` (never empty); 0 only at the end of the input.
  virtual Result<std::size_t> read(std::span<char> into) = 0;
};

// Asked when a signal interrupts a read (a pipe or a terminal may block for
// ever): true gives the read up, so that the signal can end the program.
using Interrupted = std::function<bool()>;

// Reads a descriptor, retrying reads a signal interrupted unless
// `interrupted` says otherwise; closes it when destroyed if `owned`
// (standard input stays open for whoever reads it next).
std::unique_ptr<ByteSource> descriptor_source(int fd, bool owned, Interrupted interrupted = {});

// Opens a file for reading.  The error is the reason it cannot be read,
// given at once for a directory too, which open(2) would accept.
Result<std::unique_ptr<ByteSource>> open_file(const std::string& path, Interrupted interrupted = {});

// `head`, bytes already taken from `rest`, then the rest.
std::unique_ptr<ByteSource> replayed(std::string head, std::unique_ptr<ByteSource> rest);

// Copies as much of the front of `held` as `into` holds, and drops it from
// `held`; the count copied.  For sources that hand out bytes they hold.
std::size_t take_front(std::string_view& held, std::span<char> into) noexcept;

// Reads until `into` is full or the input ends; the count read.
Result<std::size_t> read_fully(ByteSource& source, std::span<char> into);

}  // namespace cladomatic
