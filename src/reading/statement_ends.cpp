#include "statement_ends.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if CLADOMATIC_X86_KERNELS
#include <immintrin.h>
#endif

namespace cladomatic {
namespace {

constexpr unsigned kBlock = 64;

struct Marks {
  std::uint64_t semicolon = 0;
  std::uint64_t open = 0;   // '['
  std::uint64_t close = 0;  // ']'
  std::uint64_t single_quote = 0;
  std::uint64_t double_quote = 0;
};

// Eight bytes at a time in a plain word: a byte equal to the wanted one
// becomes its high bit (exactly: no carry crosses bytes), and the eight high
// bits are gathered into one byte by a multiplication.
std::uint64_t equal_bits(std::uint64_t word, char byte) noexcept {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t differ = word ^ (0x0101010101010101ULL * static_cast<unsigned char>(byte));
  const std::uint64_t zero = ~(((differ & kLow7) + kLow7) | differ | kLow7);
  return (zero >> 7) * 0x0102040810204080ULL >> 56;
}

Marks marks_portable(const char* block) noexcept {
  Marks marks;
  for (unsigned i = 0; i < kBlock / 8; ++i) {
    std::uint64_t word = 0;
    std::memcpy(&word, block + 8 * i, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    const unsigned shift = 8 * i;
    marks.semicolon |= equal_bits(word, ';') << shift;
    marks.open |= equal_bits(word, '[') << shift;
    marks.close |= equal_bits(word, ']') << shift;
    marks.single_quote |= equal_bits(word, '\'') << shift;
    marks.double_quote |= equal_bits(word, '"') << shift;
  }
  return marks;
}

#if CLADOMATIC_X86_KERNELS
[[gnu::target("avx2")]] std::uint64_t equal_mask(__m256i low, __m256i high, char byte) noexcept {
  const __m256i wanted = _mm256_set1_epi8(byte);
  const auto low_bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, wanted)));
  const auto high_bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, wanted)));
  return low_bits | std::uint64_t{high_bits} << 32;
}

[[gnu::target("avx2")]] Marks marks_avx2(const char* block) noexcept {
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
  return {equal_mask(low, high, ';'), equal_mask(low, high, '['), equal_mask(low, high, ']'),
          equal_mask(low, high, '\''), equal_mask(low, high, '"')};
}
#endif

// Each bit set when an odd number of bits at or below it are: the bytes from
// an opening quote up to (not including) its closing one.
std::uint64_t prefix_xor(std::uint64_t bits) noexcept {
  for (unsigned shift = 1; shift < kBlock; shift *= 2) bits ^= bits << shift;
  return bits;
}

std::uint64_t below(unsigned at) noexcept {
  return (std::uint64_t{1} << at) - 1;
}

// The place in the block of its first ';' outside stretches, or kBlock;
// `scan` follows the text to that place.
unsigned settle(const Marks& marks, bool tree_text, StatementScan& scan) noexcept {
  const std::uint64_t double_quote = tree_text ? marks.double_quote : 0;
  const std::uint64_t openers = marks.open | marks.single_quote | double_quote;
  if (scan.closer == 0 && openers == 0)
    return marks.semicolon == 0 ? kBlock : static_cast<unsigned>(__builtin_ctzll(marks.semicolon));

  // One kind of quote and no brackets: the quoted bytes are a prefix-XOR.
  // A doubled quote inside a quoted name closes and reopens it, which
  // leaves the same bytes inside.
  if ((marks.open | marks.close) == 0 && (marks.single_quote == 0 || double_quote == 0)) {
    const char quote = marks.single_quote != 0 ? '\'' : '"';
    const std::uint64_t quotes = marks.single_quote | double_quote;
    if (quotes != 0 && (scan.closer == 0 || scan.closer == quote)) {
      const std::uint64_t inside = prefix_xor(quotes) ^ (scan.closer == quote ? ~std::uint64_t{0} : 0);
      const std::uint64_t ends = marks.semicolon & ~inside;
      const unsigned at = ends == 0 ? kBlock : static_cast<unsigned>(__builtin_ctzll(ends));
      // An opening quote is the first byte inside; a closing one, outside.
      const std::uint64_t opened = quotes & inside & (at == kBlock ? ~std::uint64_t{0} : below(at));
      scan.single_quotes |= quote == '\'' && opened != 0;
      scan.closer = at == kBlock && (inside >> (kBlock - 1)) != 0 ? quote : 0;
      return at;
    }
  }

  // Anything else: from marker to marker.
  std::uint64_t live = ~std::uint64_t{0};
  for (;;) {
    if (scan.closer == 0) {
      const std::uint64_t next = (marks.semicolon | openers) & live;
      if (next == 0) return kBlock;
      const auto at = static_cast<unsigned>(__builtin_ctzll(next));
      const std::uint64_t bit = std::uint64_t{1} << at;
      if ((marks.semicolon & bit) != 0) return at;
      scan.closer = (marks.open & bit) != 0 ? ']' : (marks.single_quote & bit) != 0 ? '\'' : '"';
      scan.single_quotes |= scan.closer == '\'';
      live = ~below(at) & ~bit;
    } else {
      const std::uint64_t closers = scan.closer == ']'    ? marks.close
                                    : scan.closer == '\'' ? marks.single_quote
                                                          : marks.double_quote;
      const std::uint64_t next = closers & live;
      if (next == 0) return kBlock;
      const std::uint64_t bit = next & (~next + 1);
      scan.closer = 0;
      live &= ~(bit | (bit - 1));
    }
  }
}

template <Marks (*classify)(const char*) noexcept>
[[gnu::always_inline]] inline const char* find_in_blocks(const char* first, const char* last, bool tree_text,
                                                         StatementScan& scan) noexcept {
  for (; last - first >= kBlock; first += kBlock) {
    const unsigned at = settle(classify(first), tree_text, scan);
    if (at < kBlock) return first + at;
  }
  if (first == last) return last;
  // The last bytes, padded with spaces, which open and close nothing.
  char block[kBlock];
  std::memset(block, ' ', kBlock);
  const auto count = static_cast<unsigned>(last - first);
  std::memcpy(block, first, count);
  const unsigned at = settle(classify(block), tree_text, scan);
  return at < count ? first + at : last;
}

#if CLADOMATIC_X86_KERNELS
[[gnu::target("avx2")]] const char* find_avx2(const char* first, const char* last, bool tree_text,
                                              StatementScan& scan) noexcept {
  return find_in_blocks<marks_avx2>(first, last, tree_text, scan);
}
#endif

}  // namespace

const char* find_statement_end(const char* first, const char* last, bool tree_text, StatementScan& scan,
                               Simd simd) noexcept {
#if CLADOMATIC_X86_KERNELS
  if (simd == Simd::kAuto && cpu_features().avx2) return find_avx2(first, last, tree_text, scan);
#else
  (void)simd;
#endif
  return find_in_blocks<marks_portable>(first, last, tree_text, scan);
}

}  // namespace cladomatic
