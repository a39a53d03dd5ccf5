// Per-call identities of leaves: fixed 128-bit labels by leaf index, and the
// map from leaf name to leaf index.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "build.hpp"

namespace cladomatic {

// SplitMix64 from a fixed seed, two outputs per leaf (high word first), so a
// leaf's label depends only on its index.
std::vector<Key> taxon_labels(std::uint32_t n);

// Open-addressing map from name (a view into the caller's name list, which
// must outlive it) to leaf index.  Deterministic FxHash-style hashing: the map
// is only queried, never iterated, so the hash cannot affect results.
class LeafIndexMap {
 public:
  LeafIndexMap() = default;
  explicit LeafIndexMap(std::span<const std::string> names);

  std::optional<LeafId> find(std::string_view name) const noexcept;
  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }

 private:
  struct Slot {
    std::string_view name;
    std::uint64_t hash = 0;
    LeafId index = 0;
    bool used = false;
  };
  std::vector<Slot> slots_;  // a power of two, at most half full
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace cladomatic
