/* The hardware's figure for the RF pair step: the plainest loop that fills the
 * upper triangle of a fresh n x n u32 matrix from bit rows, one word at a time
 * with the scalar popcount instruction, on one thread.  bench/speed.py builds
 * it with `cc -O2 -mpopcnt` and times it beside the module's kernel. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

uint32_t* popcount_upper(const uint64_t* bits, const uint32_t* self, size_t n, size_t words) {
  uint32_t* out = malloc(n * n * sizeof(uint32_t));
  if (out == NULL) return NULL;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t* a = bits + i * words;
    for (size_t j = i + 1; j < n; ++j) {
      const uint64_t* b = bits + j * words;
      uint32_t shared = 0;
      for (size_t w = 0; w < words; ++w) shared += (uint32_t)__builtin_popcountll(a[w] & b[w]);
      out[i * n + j] = self[i] + self[j] - 2 * shared;
    }
  }
  return out;
}
