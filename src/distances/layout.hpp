// What the distance engines take from a tree set, and the layout they share:
// columns ordered by tree count, frequent splits as dense rows, rare ones as
// sorted sparse rows feeding the postings index.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../snapshot/intern.hpp"
#include "../snapshot/snapshots.hpp"

namespace cladomatic {

// Owning (moved out of a set that is no longer needed: trees are released
// block by block during layout, tree counts right after it) or borrowing (the
// caller keeps the set whole for the exports).
class Input {
 public:
  static Input owning(Snapshots&& set);
  static Input borrowing(const Snapshots& set);

  std::size_t size() const noexcept { return snaps_.size(); }
  std::span<const InternSnap> snaps() const noexcept { return snaps_; }
  std::span<const std::uint32_t> freq() const noexcept { return freq_; }
  bool owns() const noexcept { return owns_; }

  // No-ops when borrowing.
  void release_trees(std::size_t begin, std::size_t end);
  void release_trees_storage();
  void release_freq();

 private:
  std::vector<InternSnap> owned_snaps_;
  std::vector<std::uint32_t> owned_freq_;
  std::span<const InternSnap> snaps_;
  std::span<const std::uint32_t> freq_;
  bool owns_ = false;
};

}  // namespace cladomatic
