// The trees of one input, plain Newick or NEXUS (every TREES block of every
// NEXUS document in it, with their TRANSLATE tables), gzip-compressed or
// not, read as a stream: a file is never held whole, and each tree is cut out
// of the text as it passes.
//
// A tree is the text through the first ';' outside '[' comments,
// double-quoted stretches (which the engine keeps whole) and single-quoted
// labels; single-quoted labels are respelled for the engine (see labels.hpp).
// Files given by mistake (compressed other than with gzip, an alignment, a
// MrBayes parameter file) are named for what they are.
//
// A file still being written (MrBayes and BEAST append trees as they run)
// ends inside its last tree: when the text ends before the ';' of a tree (or
// inside its TREE command) that follows at least one whole tree of the file,
// that tree is left out and `unfinished` says so; the trees before it are
// read.  A tree without ';' that is the file's only one is passed on, for the
// engine to say what is wrong with it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "byte_source.hpp"
#include "snapshot/result.hpp"
#include "snapshot/translate_map.hpp"
#include "text_window.hpp"

namespace cladomatic {

struct TreeRecord {
  std::string text;                           // through its ';' (or the end of the input when it has none)
  std::uint64_t line = 0;                     // where the tree (in NEXUS, its TREE command) starts, from 1
  std::optional<std::string> name;            // a NEXUS TREE command's name
  std::string comments;                       // the TREE command's own comments before its '=', as written
  std::shared_ptr<const TranslateMap> table;  // its TRANSLATE table as the engine's label map, if any
  std::uint32_t block = 0;     // its TREES block over every NEXUS document, from 0; 0 in Newick
  std::uint64_t position = 0;  // its place in its block (in Newick, in the file), from 0
};

struct ReaderOptions {
  std::size_t chunk_bytes = std::size_t{1} << 20;
  std::size_t max_tree_chars = std::size_t{1} << 30;  // the longest tree or NEXUS word held
  // The input is a regular file: when the reading may use more than one
  // thread, its bytes are read (and inflated) ahead on a thread of their own.
  bool read_ahead = false;
};

// Opens the input when it is first read: its bytes, or the whole message
// ("cannot open PATH: REASON").
using Opener = std::function<Result<std::unique_ptr<ByteSource>>()>;

class TreeReader {
 public:
  // `name` is the input as messages call it.
  TreeReader(Opener open, std::string name, const ReaderOptions& options);
  TreeReader(TreeReader&&) noexcept;
  TreeReader& operator=(TreeReader&&) noexcept;
  ~TreeReader();

  // The next tree; nothing at the end of the input or on an error, after
  // which it gives nothing more.  The input is closed once it ends.
  std::optional<TreeRecord> next();
  // The next tree, left to be taken by `next`.
  const TreeRecord* peek();

  const std::optional<Error>& error() const noexcept { return error_; }
  const std::string& name() const noexcept { return name_; }
  // "NAME:LINE: ..." when an unfinished last tree was left out.
  const std::optional<std::string>& unfinished() const noexcept { return unfinished_; }

 private:
  enum class Kind { unopened, newick, nexus, ended };
  struct Nexus;

  std::optional<TreeRecord> read();
  void open();
  std::optional<TreeRecord> newick_tree();
  std::optional<TreeRecord> nexus_tree();
  void finish();
  // Leaves out the unfinished tree at `line` when whole trees came before it.
  bool leave_out(std::uint64_t line);

  Opener open_;
  std::string name_;
  ReaderOptions options_;
  Kind kind_ = Kind::unopened;
  std::unique_ptr<TextWindow> window_;
  std::unique_ptr<Nexus> nexus_;
  std::uint64_t position_ = 0;
  std::uint64_t whole_ = 0;  // trees ended by their ';'
  std::optional<TreeRecord> peeked_;
  std::optional<std::string> unfinished_;
  std::optional<Error> error_;
};

}  // namespace cladomatic
