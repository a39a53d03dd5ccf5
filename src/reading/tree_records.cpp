#include "tree_records.hpp"

#include <tbb/task_arena.h>

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "gzip_source.hpp"
#include "labels.hpp"
#include "nexus_words.hpp"
#include "read_ahead.hpp"
#include "snapshot/syntax.hpp"
#include "statements.hpp"

namespace cladomatic {
namespace {

using namespace std::string_view_literals;

struct OtherKind {
  std::string_view magic;
  std::string_view what;
};

// Files given by mistake, recognised by their first bytes.
constexpr OtherKind kOtherKinds[] = {
    {"BZh"sv, "bzip2-compressed; decompress it first (bunzip2), or recompress it with gzip"sv},
    {"\xfd"
     "7zXZ\0"sv,
     "xz-compressed; decompress it first (unxz), or recompress it with gzip"sv},
    {"\x28\xb5\x2f\xfd"sv, "zstd-compressed; decompress it first (unzstd), or recompress it with gzip"sv},
    {"PK\x03\x04"sv, "a zip archive; extract the tree file from it first"sv},
};
constexpr std::string_view kGzipMagic = "\x1f\x8b"sv;
constexpr std::size_t kMagicBytes = 6;
// Enough of a text file to tell an alignment or a parameter table from trees.
constexpr std::size_t kKindBytes = 200;

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// Moves `at` past bytes `in` accepts; how many it passed.
template <class Accept>
std::size_t pass(std::string_view text, std::size_t& at, Accept in) {
  const std::size_t start = at;
  while (at < text.size() && in(text[at])) ++at;
  return at - start;
}

// The run's ID comment, then the parameter table's header of generations.
bool mrbayes_parameters(std::string_view text) {
  if (!text.starts_with("[ID:")) return false;
  std::size_t at = 4;
  pass(text, at, [](char c) { return c == ' '; });
  if (pass(text, at, is_digit) == 0 || at == text.size() || text[at++] != ']') return false;
  pass(text, at, [](char c) { return byte_class(c) == ByteClass::space; });
  return text.substr(at).starts_with("Gen\t");
}

// The first line of a sequential or interleaved PHYLIP alignment: the number
// of taxa and of characters, maybe followed by option letters.
bool phylip_header(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t at = 0;
  pass(text, at, blank);
  if (pass(text, at, is_digit) == 0 || pass(text, at, blank) == 0 || pass(text, at, is_digit) == 0)
    return false;
  pass(text, at, blank);
  while (at < text.size() && ((text[at] >= 'A' && text[at] <= 'Z') || (text[at] >= 'a' && text[at] <= 'z'))) {
    ++at;
    pass(text, at, blank);
  }
  if (at < text.size() && text[at] == '\r') ++at;
  return at < text.size() && text[at] == '\n';
}

void refuse_other_kinds(TextWindow& window) {
  window.want(kKindBytes);
  const std::string_view start(window.cursor(), std::min(window.buffered(), kKindBytes));
  if (start.starts_with('>')) {
    window.fail(window.line(), "this is a FASTA sequence file, not trees");
  } else if (mrbayes_parameters(start)) {
    window.fail(window.line(),
                "this is a MrBayes parameter file, not a tree file (the trees are in the .t file)");
  } else if (phylip_header(start)) {
    window.fail(window.line(),
                "this is a PHYLIP alignment (it starts with the numbers of taxa and sites), not trees");
  }
}

// Whitespace, stray ']' and closed comments: what may follow the last tree
// of a Newick file without being taken for an unfinished tree.
bool is_trailer(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == '[') {
      at = text.find(']', at + 1);
      if (at == std::string_view::npos) return false;
    } else if (text[at] != ']' && byte_class(text[at]) != ByteClass::space) {
      return false;
    }
    ++at;
  }
  return true;
}

struct Cut {
  std::string text;
  bool ended = false;
};

// The tree text from the cursor through its ';'.
std::optional<Cut> cut_tree_text(TextWindow& window) {
  window.collect();
  const Passed passed = pass_statement(window, true);
  const std::optional<std::string_view> raw = window.collected();
  if (!raw) return std::nullopt;
  return Cut{passed.single_quotes ? engine_text(*raw) : std::string(*raw), passed.ended};
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += ' ';
    text += words[i];
  }
  return text;
}

// The table of a TRANSLATE command, whose keyword is already read; nothing
// on an error.
std::optional<std::shared_ptr<const TranslateMap>> translate_table(TextWindow& window, std::uint64_t line) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::unordered_set<std::string> keys;
  const auto unended = [&] {
    window.fail(line, "the TRANSLATE command does not end in ';'");
    return std::nullopt;
  };
  for (;;) {
    std::optional<NexusWord> key = next_word(window);
    if (!key) return unended();
    if (key->is(';')) break;
    if (key->is(',') || key->is('=')) {
      window.fail(window.line(), "unexpected '" + key->text + "' in the TRANSLATE command");
      return std::nullopt;
    }
    std::vector<std::string> words;
    std::optional<NexusWord> word;
    while ((word = next_word(window)) && !word->is(',') && !word->is(';'))
      words.push_back(std::move(word->text));
    if (!word) return unended();
    if (words.empty()) {
      window.fail(window.line(), "TRANSLATE gives no taxon name for '" + key->text + "'");
      return std::nullopt;
    }
    if (!keys.insert(key->text).second) {
      window.fail(window.line(), "TRANSLATE lists '" + key->text + "' twice");
      return std::nullopt;
    }
    entries.emplace_back(std::move(key->text), joined(words));
    if (word->is(';')) break;
  }
  return std::make_shared<const TranslateMap>(label_map(entries));
}

// Moves past whitespace, appending each '[' comment as written to `kept`;
// false at the end of the text or on a comment never closed.
bool keep_comments(TextWindow& window, std::string& kept) {
  while (skip_space(window) && *window.cursor() == '[') {
    const std::uint64_t line = window.line();
    window.collect();
    window.advance(1);
    if (!pass_closer(window, ']')) {
      window.fail(line, "a '[' comment is never closed");
      return false;
    }
    std::optional<std::string_view> comment = window.collected();
    if (!comment) return false;
    kept.append(*comment);
  }
  return !window.error();
}

// The name of a TREE command, whose keyword is already read, through its
// '='; false on an error, or at the end of the text, which is not failed.
// Its comments are kept: BEAST writes the sample's figures there
// (`tree STATE_0 [&lnP=-3.5] = ...`).
bool tree_name(TextWindow& window, std::uint64_t line, std::optional<std::string>& name,
               std::string& comments) {
  std::vector<std::string> words;
  for (;;) {
    keep_comments(window, comments);
    std::optional<NexusWord> word = next_word(window);
    if (!word && !window.error() && window.ended()) return false;  // the caller says why
    if (!word || word->is(';')) {
      window.fail(line, "a TREE command without '='");
      return false;
    }
    if (word->is('=')) break;
    words.push_back(std::move(word->text));
  }
  // '*' marks a NEXUS default tree; it is not part of the name.
  if (!words.empty() && words.front() == "*") {
    words.erase(words.begin());
  } else if (!words.empty() && words.front().starts_with('*')) {
    words.front().erase(0, 1);
  }
  std::string text = joined(words);
  if (!text.empty()) name = std::move(text);
  return true;
}

}  // namespace

struct TreeReader::Nexus {
  bool in_trees = false;
  std::uint32_t blocks = 0;  // TREES blocks begun
  std::shared_ptr<const TranslateMap> table;
};

TreeReader::TreeReader(Opener open, std::string name, const ReaderOptions& options)
    : open_(std::move(open)), name_(std::move(name)), options_(options) {}
TreeReader::TreeReader(TreeReader&&) noexcept = default;
TreeReader& TreeReader::operator=(TreeReader&&) noexcept = default;
TreeReader::~TreeReader() = default;

std::optional<TreeRecord> TreeReader::next() {
  if (peeked_) return std::exchange(peeked_, std::nullopt);
  return read();
}

const TreeRecord* TreeReader::peek() {
  if (!peeked_) peeked_ = read();
  return peeked_ ? &*peeked_ : nullptr;
}

std::optional<TreeRecord> TreeReader::read() {
  if (kind_ == Kind::unopened) open();
  if (kind_ == Kind::ended) return std::nullopt;
  std::optional<TreeRecord> record = kind_ == Kind::newick ? newick_tree() : nexus_tree();
  if (window_->error()) {
    error_ = window_->error();
    record.reset();
  }
  if (!record) finish();
  return record;
}

void TreeReader::open() {
  kind_ = Kind::ended;
  Result<std::unique_ptr<ByteSource>> opened = open_();
  if (!opened) {
    error_ = std::move(opened).take_error();
    return;
  }
  std::unique_ptr<ByteSource> source = std::move(opened).value();
  std::string magic(kMagicBytes, '\0');
  Result<std::size_t> got = read_fully(*source, magic);
  if (!got) {
    error_ = Error{"cannot read " + name_ + ": " + got.error()};
    return;
  }
  magic.resize(got.value());
  for (const OtherKind& other : kOtherKinds) {
    if (magic.starts_with(other.magic)) {
      error_ = Error{name_ + ": the file is " + std::string(other.what)};
      return;
    }
  }
  const bool compressed = magic.starts_with(kGzipMagic);
  source = replayed(std::move(magic), std::move(source));
  if (compressed) source = gzip_source(std::move(source));
  // One thread means one core: the reading's own, asked on the thread that
  // reads, inside the pipeline's arena.
  if (options_.read_ahead && tbb::this_task_arena::max_concurrency() > 1)
    source = read_ahead(std::move(source));
  window_ =
      std::make_unique<TextWindow>(std::move(source), name_, options_.chunk_bytes, options_.max_tree_chars);
  TextWindow& window = *window_;
  if (skip_space(window)) {
    window.want(kMagicBytes);
    if (ascii_lower(std::string_view(window.cursor(), std::min(window.buffered(), kMagicBytes))) ==
        "#nexus") {
      window.advance(kMagicBytes);
      nexus_ = std::make_unique<Nexus>();
      kind_ = Kind::nexus;
      return;
    }
    refuse_other_kinds(window);
    kind_ = Kind::newick;
  }
  if (window.error()) {
    error_ = window.error();
    kind_ = Kind::ended;
  }
  if (kind_ == Kind::ended) finish();
}

std::optional<TreeRecord> TreeReader::newick_tree() {
  TextWindow& window = *window_;
  while (skip_space(window)) {
    const std::uint64_t line = window.line();
    std::optional<Cut> cut = cut_tree_text(window);
    if (!cut) return std::nullopt;
    if (cut->ended || !is_trailer(cut->text)) {
      if (!cut->ended && leave_out(line)) return std::nullopt;
      whole_ += cut->ended;
      TreeRecord record;
      record.text = std::move(cut->text);
      record.line = line;
      record.position = position_++;
      return record;
    }
  }
  return std::nullopt;
}

std::optional<TreeRecord> TreeReader::nexus_tree() {
  TextWindow& window = *window_;
  Nexus& state = *nexus_;
  while (std::optional<NexusWord> command = next_word(window)) {
    const std::uint64_t line = window.line();
    if (command->is(';')) continue;
    const std::string keyword = command->quoted ? std::string() : ascii_lower(command->text);
    if (keyword == "#nexus") {  // the next document of files joined end to end
      state.in_trees = false;
    } else if (keyword == "begin") {
      std::optional<NexusWord> block = next_word(window);
      state.in_trees = block && ascii_lower(block->text) == "trees";
      if (state.in_trees) {
        ++state.blocks;
        position_ = 0;
      }
      state.table.reset();
      if (block && !block->is(';')) pass_statement(window, false);
    } else if (state.in_trees && keyword == "translate") {
      std::optional<std::shared_ptr<const TranslateMap>> table = translate_table(window, line);
      if (!table) return std::nullopt;
      state.table = std::move(*table);
    } else if (state.in_trees && (keyword == "tree" || keyword == "utree")) {
      TreeRecord record;
      record.line = line;
      record.table = state.table;
      record.block = state.blocks - 1;
      if (!tree_name(window, line, record.name, record.comments)) {
        if (!window.error() && !leave_out(line)) window.fail(line, "a TREE command without '='");
        return std::nullopt;
      }
      if (!skip_space(window)) {
        if (!leave_out(line)) window.fail(line, "a TREE command without a tree after '='");
        return std::nullopt;
      }
      std::optional<Cut> cut = cut_tree_text(window);
      if (!cut) return std::nullopt;
      if (!cut->ended && leave_out(line)) return std::nullopt;
      whole_ += cut->ended;
      record.text = std::move(cut->text);
      record.position = position_++;
      return record;
    } else {
      if (keyword == "end" || keyword == "endblock") state.in_trees = false;
      pass_statement(window, false);
    }
  }
  return std::nullopt;
}

bool TreeReader::leave_out(std::uint64_t line) {
  if (whole_ == 0 || window_->error()) return false;
  unfinished_ = name_ + ":" + std::to_string(line) +
                ": the file ends before this tree's ';' (is it still being written?); " +
                (whole_ == 1 ? std::string("the tree before it is read")
                             : "the " + std::to_string(whole_) + " trees before it are read");
  return true;
}

void TreeReader::finish() {
  kind_ = Kind::ended;
  window_.reset();
  nexus_.reset();
}

}  // namespace cladomatic
