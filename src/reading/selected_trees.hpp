// The selected trees of several readings as one stream for the pipeline.  A
// reading is a list of inputs read one after another with one rule for which
// trees of each run it keeps: a burn-in dropped from the run's start, then
// every k-th tree.  A run is a Newick file or one TREES block of a NEXUS file
// (MrBayes runs joined end to end hold one block each).
//
// While it reads it keeps what callers need afterwards: the runs, and per
// kept tree its run, position, line, name and translate table, so that a
// fault can be said with its file, line and tree without reading again.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "snapshot/result.hpp"
#include "snapshot/snapshots.hpp"
#include "tree_records.hpp"

namespace cladomatic {

struct RunSelection {
  // Position of each run's first kept tree; nothing when it is known only at
  // the run's end (a share of its length): the hooks give it then.
  std::optional<std::uint64_t> first = 0;
  std::uint64_t every = 1;
  std::string burnin;  // as given, for the message when a run keeps nothing
};

struct Reading {
  std::vector<TreeReader*> inputs;  // not owned; each read once, in order
  RunSelection selection;
};

struct Run {
  std::size_t reading = 0;
  std::size_t input = 0;  // within its reading
  std::uint32_t block = 0;
  std::uint64_t first = 0;  // position of its first kept tree (final once the run ends)
  std::uint64_t found = 0;  // trees read so far
  std::uint64_t kept = 0;
  bool blocks_in_file = false;  // its file holds several runs, which need telling apart
};

struct KeptTree {
  std::uint32_t run = 0;
  std::uint64_t position = 0;
  std::uint64_t line = 0;
  std::uint32_t table = 0;  // into its reading's tables
  std::optional<std::string> name;
};

// What the caller decides while trees are read.  A false (or empty) answer
// stops reading: the caller keeps its own reason.
class SelectionHooks {
 public:
  virtual ~SelectionHooks() = default;
  // The position of the first kept tree of a run of `found` trees, for a
  // selection whose `first` is known only at the run's end.
  virtual std::optional<std::uint64_t> first_kept(std::size_t reading, std::uint64_t found) = 0;
  // The first kept tree with a rooting mark ([&R]: rooted) not seen before.
  virtual bool marked(const TreeRecord& record, const Run& run, bool rooted) = 0;
  // `trees` trees of `input` read so far.
  virtual bool progress(const TreeReader& input, std::uint64_t trees) = 0;
};

struct SelectionOptions {
  bool follow_marks = false;         // report marks to the hooks
  std::array<bool, 2> marks_seen{};  // [unrooted, rooted] marks already seen by the caller
  bool hold_texts = false;           // keep the text of every kept tree
  std::uint64_t progress_every = 1024;
};

class SelectedTrees final : public TreeSource {
 public:
  SelectedTrees(std::vector<Reading> readings, SelectionHooks& hooks, const SelectionOptions& options);

  std::optional<SourceTree> next() override;
  void rejected(std::uint64_t tree_index, SourceTree&& tree) override;

  // A fault of the input (its file named) that ended reading.
  const std::optional<Error>& error() const noexcept { return error_; }
  // Whether a hook stopped reading.
  bool stopped() const noexcept { return stopped_; }

  const std::vector<Run>& runs() const noexcept { return runs_; }
  const std::vector<KeptTree>& kept() const noexcept { return kept_; }
  // Per reading, its translate tables as the engine's label maps; table 0 is
  // the empty one of trees read without a table.  Equal tables that follow
  // each other are one.
  const std::vector<std::shared_ptr<const TranslateMap>>& tables(std::size_t reading) const {
    return states_.at(reading).tables;
  }
  // Kept trees of the reading that give no branch length.
  std::uint64_t without_lengths(std::size_t reading) const { return states_.at(reading).without_lengths; }
  // The text of a kept tree when it is known: the first tree, the tree the
  // pipeline failed on, and every tree when texts are held.
  const std::string* text(std::uint64_t kept_index) const;

 private:
  struct ReadingState {
    std::vector<std::shared_ptr<const TranslateMap>> tables;
    std::shared_ptr<const TranslateMap> last;
    std::uint64_t without_lengths = 0;
  };

  std::optional<SourceTree> stop(Error error);
  bool close_run();
  void open_run(std::uint32_t block);
  std::optional<SourceTree> keep(TreeRecord&& record, std::uint32_t run);
  std::uint32_t table_index(ReadingState& state, const std::shared_ptr<const TranslateMap>& table);

  std::vector<Reading> readings_;
  SelectionHooks& hooks_;
  SelectionOptions options_;
  std::vector<ReadingState> states_;
  std::size_t reading_ = 0;
  std::size_t input_ = 0;
  std::size_t input_runs_ = 0;  // runs of the current input
  std::uint64_t input_trees_ = 0;
  std::vector<TreeRecord> held_run_;  // the current run, until its first kept tree is known
  std::deque<TreeRecord> ready_;      // kept trees of a closed run, to hand on
  std::uint32_t ready_run_ = 0;
  std::optional<TreeRecord> waiting_;  // the first tree of the next run, handed on after `ready_`
  std::vector<Run> runs_;
  std::vector<KeptTree> kept_;
  std::vector<std::string> held_texts_;
  std::optional<std::string> first_text_;
  std::optional<std::pair<std::uint64_t, std::string>> rejected_;
  std::optional<Error> error_;
  bool stopped_ = false;
  bool done_ = false;
};

}  // namespace cladomatic
