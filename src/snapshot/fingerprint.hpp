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

// Random values drawn once per process from the system's entropy source.
// They only keep crafted input from aiming at collisions (split checks,
// leaf-name hashing); no result depends on them.
struct Secrets {
  std::uint64_t check_seed = 0;
  std::uint64_t hash_seed = 0;
};
const Secrets& process_secrets();

// One value below the check prime per leaf index, from `seed`.
std::vector<Check> leaf_checks(std::uint32_t n, std::uint64_t seed);

// FxHash-style: one multiply-and-fold per 8 bytes, from `seed`.
std::uint64_t hash_name(std::string_view name, std::uint64_t seed) noexcept;

// Open-addressing map from name (a view into the caller's name list, which
// must outlive it) to leaf index.  Names are hashed from a per-process random
// seed, so that no set of names can be prepared to share probe runs; the map
// is only queried, never iterated, so the seed cannot affect results.
class LeafIndexMap {
 public:
  LeafIndexMap() = default;
  LeafIndexMap(std::span<const std::string> names, std::uint64_t seed = process_secrets().hash_seed);

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
  std::uint64_t seed_ = 0;
};

}  // namespace cladomatic
