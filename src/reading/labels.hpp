// How a taxon name is spelled for the engine however a file writes it: a
// single-quoted label, an unquoted label with underscores for blanks and a
// TRANSLATE name all become the one spelling the engine reads as a single
// label, so a Newick file and a NEXUS file of the same taxa compare.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "snapshot/translate_map.hpp"

namespace cladomatic {

// Blanks become underscores, as unquoted Newick writes them, and a name
// holding what the engine takes for punctuation or blanks is wrapped in the
// engine's double quotes (its own double quotes turned into apostrophes).
std::string taxon_spelling(std::string_view name);

// Tree text with every single-quoted label (NEXUS quoting: '' is an
// apostrophe) respelled as `taxon_spelling` spells it; comments and
// double-quoted stretches stay as they are, and '' alone is an empty label.
std::string engine_text(std::string_view text);

// A TRANSLATE table, (key, name) in the file's order, as the engine's label
// map.  Trees may also name taxa in full, which NEXUS allows; a key wins over
// a full name spelled the same.
TranslateMap label_map(std::span<const std::pair<std::string, std::string>> table);

}  // namespace cladomatic
