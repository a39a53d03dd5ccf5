#include "serialise.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "../primitives/utf8.hpp"

namespace cladomatic {
namespace {

static_assert(std::endian::native == std::endian::little, "saved sets are little-endian");

constexpr char kMagic[8] = {'c', 'l', 'a', 'd', 'o', 's', 'e', 't'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kRooted = 1;
constexpr std::uint32_t kLengths = 2;
constexpr std::uint32_t kTaxa = 4;  // trees hold different taxa: their bitsets follow the clade rows

class Writer {
 public:
  template <class T>
  void put(const T& value) {
    put_array(std::span<const T>(&value, 1));
  }
  template <class T>
  void put_array(std::span<const T> values) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + values.size_bytes());
    if (!values.empty()) std::memcpy(bytes_.data() + at, values.data(), values.size_bytes());
  }
  std::vector<std::byte> take() && { return std::move(bytes_); }

 private:
  std::vector<std::byte> bytes_;
};

class Reader {
 public:
  explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}

  // False when fewer than `count` values remain.
  template <class T>
  bool get_array(std::size_t count, std::vector<T>& out) {
    if (count > (bytes_.size() - at_) / sizeof(T)) return false;
    out.resize(count);
    if (count > 0) std::memcpy(out.data(), bytes_.data() + at_, count * sizeof(T));
    at_ += count * sizeof(T);
    return true;
  }
  template <class T>
  bool get(T& value) {
    if (sizeof(T) > bytes_.size() - at_) return false;
    std::memcpy(&value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  bool done() const noexcept { return at_ == bytes_.size(); }

 private:
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
};

Error damaged(const std::string& what) {
  return Error{"Not a saved tree set: " + what + "."};
}

bool ascending(std::span<const std::uint64_t> offsets) {
  return !offsets.empty() && offsets.front() == 0 && std::is_sorted(offsets.begin(), offsets.end());
}

bool strictly_ascending(std::span<const LeafId> row) {
  return std::adjacent_find(row.begin(), row.end(), std::greater_equal<>()) == row.end();
}

bool well_formed(std::string_view text) {
  char32_t code = 0;
  for (std::size_t i = 0, length = 0; i < text.size(); i += length) {
    length = decode_utf8(text, i, code);
    if (length == 0) return false;
  }
  return true;
}

// The rows the interner makes: row i < n is leaf i alone; every other row is
// a split's canonical side (unrooted: the side without leaf 0, two to n - 2
// leaves; rooted: the clade, two to n - 1 leaves), and no two rows are equal,
// since one split with two ids would be two splits to every kernel.  When the
// trees hold different taxa a row is a side of two leaves or more, and which
// side is checked against the trees holding it (`within_taxa`).
bool canonical_rows(const CladeTable& clades, std::uint32_t n_leaves, bool rooted, bool taxa) {
  for (std::uint32_t leaf = 0; leaf < n_leaves; ++leaf) {
    const std::span<const LeafId> row = clades.row(leaf);
    if (row.size() != 1 || row.front() != leaf) return false;
  }
  const std::size_t largest = rooted ? n_leaves - 1 : n_leaves - std::min<std::size_t>(2, n_leaves);
  std::vector<std::span<const LeafId>> splits;
  for (std::size_t r = n_leaves; r < clades.rows(); ++r) {
    const std::span<const LeafId> row = clades.row(r);
    if (row.size() < 2 || row.size() > largest || !strictly_ascending(row) || row.back() >= n_leaves ||
        (!rooted && !taxa && row.front() == 0))
      return false;
    splits.push_back(row);
  }
  const auto less = [](std::span<const LeafId> a, std::span<const LeafId> b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  };
  const auto equal = [](std::span<const LeafId> a, std::span<const LeafId> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  };
  std::sort(splits.begin(), splits.end(), less);
  return std::adjacent_find(splits.begin(), splits.end(), equal) == splits.end();
}

// Whether every split row of tree t lies within its taxa and leaves two of
// them outside (one, rooted), and every padding bit is clear.
bool within_taxa(const Snapshots& set, std::size_t t, std::span<const SplitId> ids, bool rooted) {
  const std::span<const std::uint64_t> taxa(set.taxa.data() + t * set.row_words, set.row_words);
  const auto holds = [&](LeafId leaf) { return (taxa[leaf / 64] >> (leaf % 64) & 1) != 0; };
  std::size_t held = 0;
  for (std::uint64_t word : taxa) held += static_cast<std::size_t>(std::popcount(word));
  const std::size_t n = set.leaf_names.size();
  if (held == 0 || (n % 64 != 0 && (taxa.back() >> (n % 64)) != 0)) return false;
  for (SplitId s : ids) {
    const std::span<const LeafId> row = set.clades.row(s);
    if (row.size() + (rooted ? 1 : 2) > held || !std::all_of(row.begin(), row.end(), holds)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::byte> serialise(const SavedSet& saved) {
  const Snapshots& set = saved.set;
  const std::uint64_t n_leaves = set.leaf_names.size();
  Writer out;
  out.put_array(std::span<const char>(kMagic));
  out.put(kVersion);
  out.put(std::uint32_t{(saved.rooted ? kRooted : 0) | (saved.lengths ? kLengths : 0) |
                        (set.taxa.empty() ? 0 : kTaxa)});
  out.put(n_leaves);
  out.put(std::uint64_t{set.row_words});
  out.put(std::uint64_t{set.snaps.size()});
  out.put(std::uint64_t{set.clades.rows()});
  for (const std::string& name : set.leaf_names) out.put(std::uint64_t{name.size()});
  for (const std::string& name : set.leaf_names) out.put_array(std::span<const char>(name));
  std::vector<std::uint64_t> offsets{0};
  for (const InternSnap& snap : set.snaps) offsets.push_back(offsets.back() + snap.ids.size());
  out.put_array(std::span<const std::uint64_t>(offsets));
  for (const InternSnap& snap : set.snaps) out.put_array(std::span<const SplitId>(snap.ids));
  if (saved.lengths) {
    for (const InternSnap& snap : set.snaps) out.put_array(std::span<const double>(snap.lengths));
  }
  out.put_array(std::span<const std::uint32_t>(set.clades.offsets));
  out.put_array(std::span<const LeafId>(set.clades.leaves));
  out.put_array(std::span<const std::uint64_t>(set.taxa));
  return std::move(out).take();
}

Result<SavedSet> deserialise(std::span<const std::byte> bytes) {
  Reader in(bytes);
  std::vector<char> magic;
  std::uint32_t version = 0;
  std::uint32_t flags = 0;
  if (!in.get_array(sizeof kMagic, magic) || !std::equal(magic.begin(), magic.end(), kMagic))
    return damaged("unknown header");
  if (!in.get(version) || version != kVersion) return damaged("unknown version");
  if (!in.get(flags) || flags > (kRooted | kLengths | kTaxa)) return damaged("unknown flags");
  std::uint64_t n_leaves = 0, row_words = 0, n_trees = 0, n_ids = 0;
  if (!in.get(n_leaves) || !in.get(row_words) || !in.get(n_trees) || !in.get(n_ids))
    return damaged("truncated");
  constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
  if (n_leaves == 0 || n_trees == 0 || n_ids < n_leaves || n_ids > kMax32 || n_trees > kMax32)
    return damaged("inconsistent counts");
  SavedSet saved;
  saved.rooted = (flags & kRooted) != 0;
  saved.lengths = (flags & kLengths) != 0;
  Snapshots& set = saved.set;
  set.row_words = row_words;

  std::vector<std::uint64_t> name_sizes;
  if (!in.get_array(n_leaves, name_sizes)) return damaged("truncated");
  set.leaf_names.reserve(n_leaves);
  for (std::uint64_t size : name_sizes) {
    std::vector<char> name;
    if (!in.get_array(size, name)) return damaged("truncated");
    set.leaf_names.emplace_back(name.begin(), name.end());
  }
  if (std::adjacent_find(set.leaf_names.begin(), set.leaf_names.end(), std::greater_equal<>()) !=
      set.leaf_names.end())
    return damaged("leaf names out of order");
  if (!std::all_of(set.leaf_names.begin(), set.leaf_names.end(), well_formed))
    return damaged("a leaf name that is not UTF-8");
  if (row_words != (n_leaves + 63) / 64) return damaged("inconsistent counts");

  std::vector<std::uint64_t> offsets;
  if (!in.get_array(n_trees + 1, offsets) || !ascending(offsets)) return damaged("bad tree offsets");
  std::vector<SplitId> ids;
  if (!in.get_array(offsets.back(), ids)) return damaged("truncated");
  std::vector<double> lengths;
  if (saved.lengths && !in.get_array(n_trees * n_leaves + offsets.back(), lengths))
    return damaged("truncated");
  std::vector<std::uint32_t> clade_offsets;
  if (!in.get_array(n_ids + 1, clade_offsets) || clade_offsets.front() != 0 ||
      !std::is_sorted(clade_offsets.begin(), clade_offsets.end()))
    return damaged("bad clade offsets");
  if (!in.get_array(clade_offsets.back(), set.clades.leaves)) return damaged("truncated");
  const bool taxa = (flags & kTaxa) != 0;
  if (taxa && !in.get_array(n_trees * row_words, set.taxa)) return damaged("truncated");
  if (!in.done()) return damaged("trailing bytes");
  set.clades.offsets = std::move(clade_offsets);
  const auto leaves = static_cast<std::uint32_t>(n_leaves);
  if (!canonical_rows(set.clades, leaves, saved.rooted, taxa)) return damaged("bad clade row");

  // Tree counts follow from the trees; a tree naming an id twice would count
  // it twice and overrun the kernels' lists.  No tree holds more splits than
  // a binary one, and every split is held by some tree.
  const std::uint64_t most_splits = n_leaves - std::min<std::uint64_t>(saved.rooted ? 2 : 3, n_leaves);
  set.freq.assign(n_ids, 0);
  std::fill_n(set.freq.begin(), n_leaves, static_cast<std::uint32_t>(n_trees));
  std::vector<std::uint32_t> seen_in(n_ids, 0);
  set.snaps.resize(n_trees);
  std::size_t length_at = 0;
  for (std::size_t t = 0; t < n_trees; ++t) {
    InternSnap& snap = set.snaps[t];
    snap.n_pendant = static_cast<std::uint32_t>(n_leaves);
    snap.ids.assign(ids.begin() + offsets[t], ids.begin() + offsets[t + 1]);
    if (snap.ids.size() > most_splits) return damaged("a tree with too many splits");
    for (SplitId s : snap.ids) {
      if (s < n_leaves || s >= n_ids || seen_in[s] == t + 1) return damaged("bad split id");
      seen_in[s] = static_cast<std::uint32_t>(t + 1);
      ++set.freq[s];
    }
    if (taxa && !within_taxa(set, t, snap.ids, saved.rooted))
      return damaged("a tree's taxa do not hold its splits");
    if (saved.lengths) {
      const std::size_t count = n_leaves + snap.ids.size();
      snap.lengths.assign(lengths.begin() + length_at, lengths.begin() + length_at + count);
      length_at += count;
    }
  }
  if (std::find(set.freq.begin() + leaves, set.freq.end(), 0u) != set.freq.end())
    return damaged("a split no tree holds");
  if (taxa) {
    // A leaf's pendant edge is in the trees that hold it, and some tree holds
    // every leaf but not every tree holds every leaf (that set keeps no taxa).
    bool uniform = true;
    for (LeafId leaf = 0; leaf < leaves; ++leaf) {
      set.freq[leaf] = 0;
      for (std::size_t t = 0; t < n_trees; ++t)
        set.freq[leaf] += (set.taxa[t * row_words + leaf / 64] >> (leaf % 64)) & 1;
      if (set.freq[leaf] == 0) return damaged("a leaf no tree holds");
      uniform = uniform && set.freq[leaf] == n_trees;
    }
    if (uniform) return damaged("taxa kept for trees that all hold every leaf");
  }
  return saved;
}

}  // namespace cladomatic
