#include "fingerprint.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

namespace cladomatic {
namespace {

std::uint64_t splitmix64(std::uint64_t& state) noexcept {
  state += 0x9e3779b97f4a7c15ull;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

constexpr std::uint64_t fold_multiplier = 0xf1357aea2e62a9c5ull;

std::uint64_t multiply_fold(std::uint64_t x, std::uint64_t y) noexcept {
  unsigned __int128 product = static_cast<unsigned __int128>(x) * y;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t load(const char* p, std::size_t bytes) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, p, bytes);
  return word;
}

}  // namespace

std::uint64_t hash_name(std::string_view name, std::uint64_t seed) noexcept {
  std::uint64_t h = seed ^ name.size();
  const char* p = name.data();
  std::size_t left = name.size();
  for (; left >= 8; p += 8, left -= 8) h = multiply_fold(h ^ load(p, 8), fold_multiplier);
  if (left > 0) h = multiply_fold(h ^ load(p, left), fold_multiplier);
  // One multiplication and a rotation spread the entropy into the low bits
  // that pick the slot.
  return std::rotl(h * fold_multiplier, 26);
}

const Secrets& process_secrets() {
  static const Secrets secrets = [] {
    std::random_device device;
    auto word = [&device] { return std::uint64_t{device()} << 32 | device(); };
    Secrets drawn;
    drawn.check_seed = word();
    drawn.hash_seed = word();
    return drawn;
  }();
  return secrets;
}

std::vector<Check> leaf_checks(std::uint32_t n, std::uint64_t seed) {
  std::vector<Check> checks;
  checks.reserve(n);
  std::uint64_t state = seed;
  for (std::uint32_t i = 0; i < n; ++i) checks.push_back(splitmix64(state) % kCheckPrime);
  return checks;
}

std::vector<Key> taxon_labels(std::uint32_t n) {
  std::vector<Key> labels;
  labels.reserve(n);
  std::uint64_t state = 0x243f6a8885a308d3ull;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint64_t high = splitmix64(state);
    std::uint64_t low = splitmix64(state);
    labels.push_back((static_cast<Key>(high) << 64) | low);
  }
  return labels;
}

LeafIndexMap::LeafIndexMap(std::span<const std::string> names, std::uint64_t seed) : seed_(seed) {
  // Load at most one half keeps probe runs short for missing names.
  std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * names.size(), 8));
  slots_.resize(capacity);
  mask_ = capacity - 1;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string_view name = names[i];
    std::uint64_t h = hash_name(name, seed_);
    std::size_t at = h & mask_;
    while (slots_[at].used) {
      if (slots_[at].hash == h && slots_[at].name == name) break;
      at = (at + 1) & mask_;
    }
    if (slots_[at].used) continue;  // a repeated name keeps its first index
    slots_[at] = Slot{name, h, static_cast<LeafId>(i), true};
    ++size_;
  }
}

std::optional<LeafId> LeafIndexMap::find(std::string_view name) const noexcept {
  if (size_ == 0) return std::nullopt;
  std::uint64_t h = hash_name(name, seed_);
  for (std::size_t at = h & mask_; slots_[at].used; at = (at + 1) & mask_) {
    if (slots_[at].hash == h && slots_[at].name == name) return slots_[at].index;
  }
  return std::nullopt;
}

}  // namespace cladomatic
