#include "labels.hpp"

#include <algorithm>
#include <cstring>

#include "snapshot/syntax.hpp"

namespace cladomatic {

std::string taxon_spelling(std::string_view name) {
  std::string spelled(name);
  std::replace(spelled.begin(), spelled.end(), ' ', '_');
  if (std::all_of(spelled.begin(), spelled.end(), [](char c) { return byte_class(c) == ByteClass::text; })) {
    return spelled;
  }
  std::replace(spelled.begin(), spelled.end(), '"', '\'');
  return '"' + spelled + '"';
}

std::string engine_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '[' || c == '"') {
      // Kept whole through its closer, or to the end when it has none.
      const char closer = c == '[' ? ']' : '"';
      const std::size_t close = text.find(closer, i + 1);
      const std::size_t stop = close == std::string_view::npos ? text.size() : close + 1;
      out.append(text, i, stop - i);
      i = stop;
    } else if (c == '\'') {
      std::string label;
      ++i;
      while (i < text.size()) {
        if (text[i] != '\'') {
          label += text[i++];
        } else if (i + 1 < text.size() && text[i + 1] == '\'') {
          label += '\'';
          i += 2;
        } else {
          ++i;
          break;
        }
      }
      if (!label.empty()) out += taxon_spelling(label);
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

TranslateMap label_map(std::span<const std::pair<std::string, std::string>> table) {
  TranslateMap labels;
  for (const auto& [key, name] : table) {
    std::string spelled = taxon_spelling(name);
    labels.insert_or_assign(spelled, spelled);
  }
  for (const auto& [key, name] : table) labels.insert_or_assign(taxon_spelling(key), taxon_spelling(name));
  return labels;
}

}  // namespace cladomatic
