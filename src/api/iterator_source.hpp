// The one adapter from a Python iterator of Newick strings to the pipeline's
// tree source, for both bindings.  The module pairs each string with a
// translate map by position; the tree set takes plain strings or (string,
// table) pairs.  Each pull takes the interpreter lock, so the pipeline may
// run with it released (a caller holding it already pays next to nothing).
// Reading stops for good at the first exception, which is recorded for the
// caller to raise after the pipeline, and at an item that is not a str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "pyref.hpp"
#include "snapshot/snapshots.hpp"

namespace cladomatic {

class IteratorSource final : public TreeSource {
 public:
  // The k-th string is read with translate_maps[map_indices[k]] (indices
  // validated).  Reading also stops at the end of the map indices without
  // advancing the iterator again: a caller feeding one iterator in batches
  // loses nothing, and an exception it would raise next (Ctrl-C included) is
  // not swallowed.  `argument` names the iterator in messages.
  IteratorSource(PyRef iterator, const char* argument, std::span<const std::uint64_t> map_indices,
                 std::span<const TranslateMap> translate_maps) noexcept;
  // Items are strings read with `translate` (null: none), or (str, dict or
  // None) pairs carrying the tree's own table, converted once per dict
  // object.
  IteratorSource(PyRef iterator, const char* argument, const TranslateMap* translate) noexcept;

  std::optional<SourceTree> next() override;

  // The exception that ended reading, if one did.  Take it with the lock held.
  PyRef take_recorded() noexcept { return std::move(recorded_); }

 private:
  std::optional<SourceTree> pull();
  std::optional<SourceTree> end() noexcept;
  std::optional<SourceTree> record_current() noexcept;
  const TranslateMap* table_of(PyObject* table);

  PyRef iterator_;
  const char* argument_;
  bool indexed_;
  std::span<const std::uint64_t> map_indices_;
  std::span<const TranslateMap> translate_maps_;
  const TranslateMap* translate_ = nullptr;
  std::vector<PyRef> tables_;  // keeps the identities the cache is keyed on
  std::vector<std::unique_ptr<TranslateMap>> converted_;
  std::unordered_map<PyObject*, const TranslateMap*> by_table_;
  std::size_t cursor_ = 0;
  PyRef recorded_;
  bool ended_ = false;
};

}  // namespace cladomatic
