// Where a statement ends, found a block of 64 bytes at a time: the reader
// looks at every byte of every tree, so this search bounds its speed.
//
// Each block becomes bitmasks of the bytes that matter here (';', '[', ']'
// and the quotes).  A block with no comment or quote in play is settled by
// its ';' mask alone; one whose only stretches are quoted with one kind of
// quote, by the prefix-XOR of that quote's mask; any other, by walking its
// bits from marker to marker.  The stretch the text is in at the end of a
// block carries to the next block and, through `StatementScan`, to the next
// chunk.
#pragma once

#include "primitives/cpu.hpp"

namespace cladomatic {

// What the text is inside at a point of a statement: nothing, or a stretch
// that `closer` ends (']' for a comment, else the quote that opened it).
struct StatementScan {
  char closer = 0;
  bool single_quotes = false;  // a single-quoted stretch was opened
};

// The first ';' in [first, last) outside comments and quoted stretches,
// starting inside the stretch `scan` says; `last` when there is none, and
// `scan` then says which stretch the text is inside at `last`.  Double quotes
// open a stretch only in tree text (the engine keeps them whole in a label).
// Every `simd` gives the same answer.
const char* find_statement_end(const char* first, const char* last, bool tree_text, StatementScan& scan,
                               Simd simd) noexcept;

}  // namespace cladomatic
