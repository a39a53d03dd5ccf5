// Searching text a block of bytes at a time: the reader looks at every byte
// of every file, so its searches are what bound its speed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cladomatic {

// The first byte in [first, last) equal to one of `wanted`, or `last`.  Four
// bytes because that is what a tree statement needs (';', '[', '"', '\''); a
// caller wanting fewer repeats one.  Linear whatever the input, unlike four
// memchr calls, which each run to the end of the text when their byte is
// rare.
inline const char* find_first_of(const char* first, const char* last, std::array<char, 4> wanted) noexcept {
#if defined(__SSE2__)
  const __m128i a = _mm_set1_epi8(wanted[0]);
  const __m128i b = _mm_set1_epi8(wanted[1]);
  const __m128i c = _mm_set1_epi8(wanted[2]);
  const __m128i d = _mm_set1_epi8(wanted[3]);
  while (last - first >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, a), _mm_cmpeq_epi8(block, b)),
                                      _mm_or_si128(_mm_cmpeq_epi8(block, c), _mm_cmpeq_epi8(block, d)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return first + __builtin_ctz(mask);
    first += 16;
  }
#endif
  for (; first != last; ++first) {
    const char byte = *first;
    if (byte == wanted[0] || byte == wanted[1] || byte == wanted[2] || byte == wanted[3]) return first;
  }
  return last;
}

// Line feeds in [first, last).
inline std::uint64_t count_newlines(const char* first, const char* last) noexcept {
  std::uint64_t count = 0;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  while (last - first >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    count += static_cast<unsigned>(
        __builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, feed)))));
    first += 16;
  }
#endif
  for (; first != last; ++first) count += *first == '\n';
  return count;
}

// The length of the leading stretch of [first, last) that is ASCII.
inline std::size_t ascii_prefix(const char* first, const char* last) noexcept {
  const char* start = first;
#if defined(__SSE2__)
  while (last - first >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
    if (high != 0) return static_cast<std::size_t>(first - start) + __builtin_ctz(high);
    first += 16;
  }
#endif
  while (first != last && static_cast<unsigned char>(*first) < 0x80) ++first;
  return static_cast<std::size_t>(first - start);
}

}  // namespace cladomatic
