#include "read_ahead.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace cladomatic {
namespace {

class ReadAhead final : public ByteSource {
 public:
  ReadAhead(std::unique_ptr<ByteSource> source, std::size_t block_bytes, std::size_t blocks)
      : source_(std::move(source)),
        block_bytes_(std::max<std::size_t>(block_bytes, 1)),
        blocks_(std::max<std::size_t>(blocks, 1)),
        worker_([this] { produce(); }) {}
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    room_.notify_one();
    worker_.join();
  }

  Result<std::size_t> read(std::span<char> into) override {
    std::unique_lock lock(mutex_);
    filled_.wait(lock, [&] { return !ready_.empty(); });
    Block& block = ready_.front();
    if (block.taken == block.bytes.size()) {
      // The last block stays: reads past the end or the error repeat it.
      if (block.failure) std::rethrow_exception(block.failure);
      if (block.error) return *block.error;
      return std::size_t{0};
    }
    const std::size_t count = std::min(into.size(), block.bytes.size() - block.taken);
    std::memcpy(into.data(), block.bytes.data() + block.taken, count);
    block.taken += count;
    if (block.taken == block.bytes.size() && !block.last) {
      spare_.push_back(std::move(block.bytes));
      ready_.pop_front();
      room_.notify_one();
    }
    return count;
  }

 private:
  struct Block {
    std::vector<char> bytes;
    std::size_t taken = 0;
    bool last = false;  // the end of the source, or its error, follows the bytes
    std::optional<Error> error;
    std::exception_ptr failure;  // what the source threw, thrown again on the consumer's thread
  };

  void produce() {
    for (;;) {
      std::vector<char> bytes;
      {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return stopping_ || ready_.size() < blocks_; });
        if (stopping_) return;
        if (!spare_.empty()) {
          bytes = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      Block block;
      try {
        bytes.resize(block_bytes_);
        std::size_t filled = 0;
        while (filled < bytes.size() && !block.last) {
          Result<std::size_t> got = source_->read(std::span(bytes).subspan(filled));
          if (!got) {
            block.error = std::move(got).take_error();
            block.last = true;
          } else if (got.value() == 0) {
            block.last = true;
          } else {
            filled += got.value();
          }
        }
        bytes.resize(filled);
      } catch (...) {
        block.failure = std::current_exception();
        block.last = true;
        bytes.clear();
      }
      block.bytes = std::move(bytes);
      const bool last = block.last;
      {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(block));
      }
      filled_.notify_one();
      if (last) return;
    }
  }

  std::unique_ptr<ByteSource> source_;
  const std::size_t block_bytes_;
  const std::size_t blocks_;
  std::mutex mutex_;
  std::condition_variable filled_;
  std::condition_variable room_;
  std::deque<Block> ready_;
  std::vector<std::vector<char>> spare_;
  bool stopping_ = false;
  std::thread worker_;  // last: it starts once everything it uses exists
};

}  // namespace

std::unique_ptr<ByteSource> read_ahead(std::unique_ptr<ByteSource> source, std::size_t block_bytes,
                                       std::size_t blocks) {
  return std::make_unique<ReadAhead>(std::move(source), block_bytes, blocks);
}

}  // namespace cladomatic
