// Sets whose trees hold different taxa: the leaves as they are first met
// while reading, and the set's final form once every tree is read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "clades.hpp"
#include "fingerprint.hpp"
#include "intern.hpp"

namespace cladomatic {

// Names hashed from the per-process seed, as LeafIndexMap hashes them, so no
// names can be prepared to share buckets.
struct SeededNameHash {
  using is_transparent = void;
  std::uint64_t seed = process_secrets().hash_seed;
  std::size_t operator()(std::string_view name) const noexcept { return hash_name(name, seed); }
};

// Leaf indices by name in order of first appearance.
class TaxonIndex {
 public:
  // The indices of a tree's (distinct) leaf names, new names appended.
  std::vector<LeafId> add(std::span<const std::string> names);
  const std::vector<std::string>& names() const noexcept { return names_; }
  std::vector<std::string> take_names() && { return std::move(names_); }

 private:
  std::vector<std::string> names_;
  std::unordered_map<std::string, LeafId, SeededNameHash, std::equal_to<>> index_;
};

// The set as the interner finished it, its leaves in order of appearance,
// made final: leaves renumbered in byte-wise order of their names (clade rows
// re-sorted), every tree's pendant lengths widened to all leaves, pendant
// tree counts from the trees' taxa, and `taxa` filled.  When every tree holds
// every leaf, `taxa` stays empty and the split rows become the sides without
// leaf 0 (unrooted): the set is then the one the usual pipeline reads.
// `tree_taxa` holds each tree's leaves in the order of appearance.
Snapshots sort_taxa(Snapshots&& set, const CladeTable& tree_taxa, bool rooted);

// The leaves tree t holds, ascending.
std::vector<LeafId> taxa_of(const Snapshots& set, std::size_t t);

// The leaves every tree holds, ascending.
std::vector<LeafId> common_taxa(const Snapshots& set);

}  // namespace cladomatic
