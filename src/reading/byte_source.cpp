#include "byte_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace cladomatic {
namespace {

// How long a read of a quiet pipe waits before it asks whether to give up.
constexpr int kPollMilliseconds = 50;

class DescriptorSource final : public ByteSource {
 public:
  DescriptorSource(int fd, bool owned, Interrupted interrupted) noexcept
      : fd_(fd), owned_(owned), interrupted_(std::move(interrupted)) {}
  DescriptorSource(const DescriptorSource&) = delete;
  DescriptorSource& operator=(const DescriptorSource&) = delete;
  ~DescriptorSource() override {
    if (owned_) ::close(fd_);
  }

  Result<std::size_t> read(std::span<char> into) override {
    for (;;) {
      // A read of a pipe on a thread that no signal reaches blocks for as
      // long as the writer waits: waiting in slices lets the reader ask.
      if (interrupted_) {
        pollfd ready{fd_, POLLIN, 0};
        const int found = ::poll(&ready, 1, kPollMilliseconds);
        if (found == 0 || (found < 0 && errno == EINTR)) {
          if (interrupted_()) return Error{std::strerror(EINTR)};
          continue;
        }
        if (found < 0) return Error{std::strerror(errno)};
      }
      const ssize_t got = ::read(fd_, into.data(), into.size());
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return Error{std::strerror(errno)};
      if (interrupted_ && interrupted_()) return Error{std::strerror(EINTR)};
    }
  }

 private:
  int fd_;
  bool owned_;
  Interrupted interrupted_;
};

class ReplayedSource final : public ByteSource {
 public:
  ReplayedSource(std::string head, std::unique_ptr<ByteSource> rest) noexcept
      : head_(std::move(head)), unread_(head_), rest_(std::move(rest)) {}

  Result<std::size_t> read(std::span<char> into) override {
    if (unread_.empty()) return rest_->read(into);
    return take_front(unread_, into);
  }

 private:
  std::string head_;
  std::string_view unread_;
  std::unique_ptr<ByteSource> rest_;
};

}  // namespace

std::unique_ptr<ByteSource> descriptor_source(int fd, bool owned, Interrupted interrupted) {
  return std::make_unique<DescriptorSource>(fd, owned, std::move(interrupted));
}

Result<std::unique_ptr<ByteSource>> open_file(const std::string& path, Interrupted interrupted) {
  int fd = -1;
  // Opening a named pipe waits for its writer.
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (errno != EINTR || (interrupted && interrupted())) return Error{std::strerror(errno)};
  }
  std::unique_ptr<ByteSource> source = descriptor_source(fd, true, std::move(interrupted));
  struct stat status{};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) return Error{std::strerror(EISDIR)};
  return source;
}

std::unique_ptr<ByteSource> replayed(std::string head, std::unique_ptr<ByteSource> rest) {
  return std::make_unique<ReplayedSource>(std::move(head), std::move(rest));
}

std::size_t take_front(std::string_view& held, std::span<char> into) noexcept {
  const std::size_t count = std::min(into.size(), held.size());
  std::memcpy(into.data(), held.data(), count);
  held.remove_prefix(count);
  return count;
}

Result<std::size_t> read_fully(ByteSource& source, std::span<char> into) {
  std::size_t filled = 0;
  while (filled < into.size()) {
    Result<std::size_t> got = source.read(into.subspan(filled));
    if (!got) return std::move(got).take_error();
    if (got.value() == 0) break;
    filled += got.value();
  }
  return filled;
}

}  // namespace cladomatic
