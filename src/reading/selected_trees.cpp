#include "selected_trees.hpp"

#include <utility>

#include "tree_text.hpp"

namespace cladomatic {
namespace {

bool keeps(const Run& run, std::uint64_t position, std::uint64_t every) noexcept {
  return run.first <= position && (position - run.first) % every == 0;
}

}  // namespace

SelectedTrees::SelectedTrees(std::vector<Reading> readings, SelectionHooks& hooks,
                             const SelectionOptions& options)
    : readings_(std::move(readings)), hooks_(hooks), options_(options) {
  for (std::size_t r = 0; r < readings_.size(); ++r)
    states_.push_back(ReadingState{{std::make_shared<const TranslateMap>()}, nullptr, 0});
}

std::optional<SourceTree> SelectedTrees::next() {
  for (;;) {
    if (!ready_.empty()) {
      TreeRecord record = std::move(ready_.front());
      ready_.pop_front();
      return keep(std::move(record), ready_run_);
    }
    if (done_) return std::nullopt;
    if (reading_ == readings_.size()) {
      done_ = true;
      return std::nullopt;
    }
    const Reading& reading = readings_[reading_];
    if (input_ == reading.inputs.size()) {
      ++reading_;
      input_ = 0;
      continue;
    }
    std::optional<TreeRecord> record;
    if (waiting_) {
      record = std::exchange(waiting_, std::nullopt);
      open_run(record->block);
    } else {
      TreeReader& reader = *reading.inputs[input_];
      record = reader.next();
      if (!record) {
        if (reader.error()) return stop(*reader.error());
        if (input_runs_ == 0) return stop(Error{reader.name() + ": no trees found"});
        if (!close_run()) return std::nullopt;
        ++input_;
        input_runs_ = 0;
        input_trees_ = 0;
        continue;
      }
      if (++input_trees_ % options_.progress_every == 0 && !hooks_.progress(reader, input_trees_)) {
        stopped_ = done_ = true;
        return std::nullopt;
      }
      if (input_runs_ == 0 || record->block != runs_.back().block) {
        if (input_runs_ > 0) {
          if (!close_run()) return std::nullopt;
          if (!ready_.empty()) {
            waiting_ = std::move(record);
            continue;
          }
        }
        open_run(record->block);
      }
    }
    Run& run = runs_.back();
    run.found = record->position + 1;
    if (!reading.selection.first) {
      held_run_.push_back(std::move(*record));
    } else if (keeps(run, record->position, reading.selection.every)) {
      return keep(std::move(*record), static_cast<std::uint32_t>(runs_.size() - 1));
    }
  }
}

void SelectedTrees::rejected(std::uint64_t tree_index, SourceTree&& tree) {
  rejected_.emplace(tree_index, std::move(tree.text));
}

const std::string* SelectedTrees::text(std::uint64_t kept_index) const {
  if (kept_index < held_texts_.size()) return &held_texts_[kept_index];
  if (kept_index == 0 && first_text_) return &*first_text_;
  if (rejected_ && rejected_->first == kept_index) return &rejected_->second;
  return nullptr;
}

std::optional<SourceTree> SelectedTrees::stop(Error error) {
  error_ = std::move(error);
  done_ = true;
  return std::nullopt;
}

void SelectedTrees::open_run(std::uint32_t block) {
  Run run;
  run.reading = reading_;
  run.input = input_;
  run.block = block;
  run.first = readings_[reading_].selection.first.value_or(0);
  if (input_runs_ > 0) {
    for (auto earlier = runs_.end() - static_cast<std::ptrdiff_t>(input_runs_); earlier != runs_.end();
         ++earlier)
      earlier->blocks_in_file = true;
    run.blocks_in_file = true;
  }
  runs_.push_back(run);
  ++input_runs_;
}

bool SelectedTrees::close_run() {
  Run& run = runs_.back();
  const RunSelection& selection = readings_[run.reading].selection;
  std::uint64_t kept = run.kept;
  if (!selection.first) {
    std::optional<std::uint64_t> first = hooks_.first_kept(run.reading, run.found);
    if (!first) {
      stopped_ = done_ = true;
      return false;
    }
    run.first = *first;
    for (TreeRecord& record : held_run_) {
      if (keeps(run, record.position, selection.every)) ready_.push_back(std::move(record));
    }
    held_run_.clear();
    ready_run_ = static_cast<std::uint32_t>(runs_.size() - 1);
    kept = ready_.size();
  }
  if (kept > 0) return true;
  const std::string& name = readings_[run.reading].inputs[run.input]->name();
  const std::string label = name + (run.blocks_in_file ? " (run " + std::to_string(run.block + 1) + ")" : "");
  stop(Error{label + ": a burn-in of " + selection.burnin + " leaves none of its " +
             std::to_string(run.found) + " trees"});
  return false;
}

std::optional<SourceTree> SelectedTrees::keep(TreeRecord&& record, std::uint32_t run_index) {
  Run& run = runs_[run_index];
  if (options_.follow_marks) {
    const std::optional<bool> mark = rooting_mark(record.text);
    if (mark && !options_.marks_seen[*mark]) {
      options_.marks_seen[*mark] = true;
      if (!hooks_.marked(record, run, *mark)) {
        stopped_ = done_ = true;
        return std::nullopt;
      }
    }
  }
  ++run.kept;
  ReadingState& state = states_[run.reading];
  if (!has_branch_lengths(record.text)) ++state.without_lengths;
  const std::uint32_t table = table_index(state, record.table);
  kept_.push_back(KeptTree{run_index, record.position, record.line, table, std::move(record.name)});
  if (options_.hold_texts) {
    held_texts_.push_back(record.text);
  } else if (kept_.size() == 1) {
    first_text_ = record.text;
  }
  return SourceTree{std::move(record.text), state.tables[table].get()};
}

std::uint32_t SelectedTrees::table_index(ReadingState& state,
                                         const std::shared_ptr<const TranslateMap>& table) {
  if (!table) return 0;
  if (table != state.last) {
    state.last = table;
    if (*table != *state.tables.back()) state.tables.push_back(table);
  }
  return static_cast<std::uint32_t>(state.tables.size() - 1);
}

}  // namespace cladomatic
