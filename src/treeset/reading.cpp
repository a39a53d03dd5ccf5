#include "reading.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "primitives/row_progress.hpp"
#include "python_input.hpp"
#include "reading/selected_trees.hpp"
#include "reading/tree_text.hpp"
#include "snapshot/newick.hpp"

namespace nb = nanobind;

namespace cladomatic {
namespace {

nb::object text_or_none(const std::optional<std::string>& text) {
  return text ? nb::object(nb::str(text->data(), text->size())) : nb::none();
}

nb::dict table_dict(const TranslateMap& table) {
  nb::dict out;
  for (const auto& [label, taxon] : table)
    out[nb::str(label.data(), label.size())] = nb::str(taxon.data(), taxon.size());
  return out;
}

// One dict per table, so that trees of one table share it as the Python
// reader's records always did.  A table's trees come one after another.
class TableDicts {
 public:
  nb::object get(const std::shared_ptr<const TranslateMap>& table) {
    if (!table) return nb::none();
    if (table != last_) {
      last_ = table;  // held, so that no later table takes its address
      dict_ = table_dict(*table);
    }
    return dict_;
  }

 private:
  std::shared_ptr<const TranslateMap> last_;
  nb::object dict_;
};

bool regular_file(const nb::object& source) {
  struct stat status{};
  return nb::isinstance<nb::str>(source) && ::stat(nb::cast<std::string>(source).c_str(), &status) == 0 &&
         S_ISREG(status.st_mode);
}

// One input, read with the core's reader: a path, a descriptor (standard
// input, left open) or a Python file object.
class TreeFile {
 public:
  TreeFile(nb::object source, std::string name, std::size_t chunk_bytes, std::size_t max_tree_chars)
      : raised_(std::make_shared<Raised>()),
        reader_(opener(source), name, {chunk_bytes, max_tree_chars, regular_file(source)}) {}

  TreeReader& reader() noexcept { return reader_; }
  Raised& raised() noexcept { return *raised_; }
  nb::object unfinished() const { return text_or_none(reader_.unfinished()); }

  nb::tuple next() {
    std::optional<TreeRecord> record = reader_.next();
    if (!record) {
      finish();
      throw nb::stop_iteration();
    }
    return tuple_of(*record);
  }

  nb::object peek() {
    const TreeRecord* record = reader_.peek();
    if (!record) {
      finish();
      return nb::none();
    }
    return tuple_of(*record);
  }

 private:
  Opener opener(nb::object source) {
    // A signal handled in Python (Ctrl-C) ends a read that may block for
    // ever, a pipe's or a terminal's: seen here when the read runs on the
    // main thread, else as the cancellation of the engine's build.
    Interrupted interrupted = [raised = raised_] {
      if (stop_requested()) return true;
      nb::gil_scoped_acquire lock;
      if (PyErr_CheckSignals() == 0) return false;
      nb::python_error error;
      raised->keep(error);
      return true;
    };
    if (nb::isinstance<nb::str>(source)) {
      std::string path = nb::cast<std::string>(source);
      return [path, interrupted]() -> Result<std::unique_ptr<ByteSource>> {
        Result<std::unique_ptr<ByteSource>> opened = open_file(path, interrupted);
        if (!opened) return Error{"cannot open " + path + ": " + opened.error()};
        return opened;
      };
    }
    if (nb::isinstance<nb::int_>(source)) {
      const int fd = nb::cast<int>(source);
      return [fd, interrupted]() -> Result<std::unique_ptr<ByteSource>> {
        return descriptor_source(fd, false, interrupted);
      };
    }
    auto file = std::make_shared<nb::object>(std::move(source));
    return [file, raised = raised_]() -> Result<std::unique_ptr<ByteSource>> {
      return python_file_source(std::move(*file), raised);
    };
  }

  // Raises what ended reading, if anything did.
  void finish() {
    raised_->raise_kept();
    if (reader_.error()) throw nb::value_error(reader_.error()->message.c_str());
  }

  nb::tuple tuple_of(const TreeRecord& record) {
    return nb::make_tuple(nb::str(record.text.data(), record.text.size()), record.line,
                          text_or_none(record.name), tables_.get(record.table), record.block, record.position,
                          nb::str(record.comments.data(), record.comments.size()));
  }

  std::shared_ptr<Raised> raised_;
  TreeReader reader_;
  TableDicts tables_;
};

// The choices a FileReading leaves to Python: a run's first kept tree when
// the burn-in is a share, what a rooting mark means, progress.
class PythonHooks final : public SelectionHooks {
 public:
  explicit PythonHooks(nb::object hooks) : hooks_(std::move(hooks)) {}
  ~PythonHooks() override {
    nb::gil_scoped_acquire lock;
    hooks_.reset();
  }

  Raised& raised() noexcept { return raised_; }
  void release() { hooks_.reset(); }

  std::optional<std::uint64_t> first_kept(std::size_t reading, std::uint64_t found) override {
    nb::gil_scoped_acquire lock;
    try {
      return nb::cast<std::uint64_t>(hooks_.attr("first_kept")(reading, found));
    } catch (nb::python_error& error) {
      raised_.keep(error);
    } catch (const nb::cast_error&) {
      PyErr_SetString(PyExc_TypeError, "first_kept must return a whole number of trees");
      nb::python_error error;
      raised_.keep(error);
    }
    return std::nullopt;
  }

  bool marked(const TreeRecord& record, const Run& run, bool rooted) override {
    nb::gil_scoped_acquire lock;
    return call("marked",
                nb::make_tuple(record.line, text_or_none(record.name), record.block, record.position),
                nb::make_tuple(run.reading, run.input, run.block, run.blocks_in_file), rooted);
  }

  bool progress(const TreeReader& input, std::uint64_t trees) override {
    nb::gil_scoped_acquire lock;
    return call("progress", input.name(), trees);
  }

 private:
  template <class... Args>
  bool call(const char* name, Args&&... args) {
    try {
      hooks_.attr(name)(std::forward<Args>(args)...);
      return true;
    } catch (nb::python_error& error) {
      raised_.keep(error);
      return false;
    }
  }

  nb::object hooks_;
  Raised raised_;
};

class FileReading {
 public:
  FileReading(const nb::list& readings, nb::object hooks, bool follow_marks, std::pair<bool, bool> marks_seen,
              bool hold_texts)
      : hooks_(std::move(hooks)) {
    std::vector<Reading> plan;
    for (nb::handle given : readings) {
      nb::tuple fields = nb::cast<nb::tuple>(given);
      Reading reading;
      for (nb::handle input : nb::cast<nb::list>(fields[0])) {
        files_.push_back(nb::borrow(input));
        reading.inputs.push_back(&nb::cast<TreeFile&>(input).reader());
      }
      reading.selection.first = nb::cast<std::optional<std::uint64_t>>(fields[1]);
      reading.selection.every = nb::cast<std::uint64_t>(fields[2]);
      if (reading.selection.every == 0) throw nb::value_error("every must be at least 1");
      reading.selection.burnin = nb::cast<std::string>(fields[3]);
      plan.push_back(std::move(reading));
    }
    SelectionOptions options;
    options.follow_marks = follow_marks;
    options.marks_seen = {marks_seen.first, marks_seen.second};
    options.hold_texts = hold_texts;
    trees_ = std::make_unique<SelectedTrees>(std::move(plan), hooks_, options);
  }

  // The source for the one pipeline that reads it.
  SelectedTrees& source() {
    if (pulled_) throw nb::value_error("a FileReading is read once");
    pulled_ = true;
    return *trees_;
  }
  const SelectedTrees& trees() const noexcept { return *trees_; }

  // Ends the reading: what was read stays, the inputs and the hooks go (the
  // hooks refer to the caller's records, which come to hold this reading).
  bool went_well() {
    std::vector<nb::object> files = std::move(files_);
    hooks_.release();
    for (nb::handle file : files) {
      const std::optional<std::string>& unfinished = nb::cast<TreeFile&>(file).reader().unfinished();
      if (unfinished) unfinished_.append(nb::str(unfinished->data(), unfinished->size()));
    }
    for (nb::handle file : files) nb::cast<TreeFile&>(file).raised().raise_kept();
    hooks_.raised().raise_kept();
    return !trees_->error();
  }

  void read_all() {
    SelectedTrees& trees = source();
    {
      nb::gil_scoped_release released;
      while (trees.next()) {
      }
    }
    went_well();
  }

  nb::object error() const {
    return trees_->error() ? nb::object(nb::str(trees_->error()->message.c_str())) : nb::none();
  }

  nb::list runs() const {
    nb::list out;
    for (const Run& run : trees_->runs())
      out.append(nb::make_tuple(run.reading, run.input, run.block, run.first, run.found, run.kept,
                                run.blocks_in_file));
    return out;
  }

  // Per kept tree of the reading: its run (over every reading), position,
  // line, translate table and name.
  nb::tuple kept(std::size_t reading) const {
    nb::list runs, positions, lines, tables, names;
    for (const KeptTree& tree : trees_->kept()) {
      if (trees_->runs()[tree.run].reading != reading) continue;
      runs.append(tree.run);
      positions.append(tree.position);
      lines.append(tree.line);
      tables.append(tree.table);
      names.append(text_or_none(tree.name));
    }
    return nb::make_tuple(runs, positions, lines, tables, names);
  }

  nb::list tables(std::size_t reading) const {
    nb::list out;
    for (const auto& table : trees_->tables(reading)) out.append(table_dict(*table));
    return out;
  }

  // The messages of inputs whose unfinished last tree was left out, in input
  // order, once the reading has ended.
  nb::list unfinished() const { return unfinished_; }

  nb::object text(std::uint64_t index) const {
    const std::string* text = trees_->text(index);
    return text ? nb::object(nb::str(text->data(), text->size())) : nb::none();
  }

 private:
  std::vector<nb::object> files_;  // the TreeFile objects the readers belong to
  nb::list unfinished_;
  PythonHooks hooks_;
  std::unique_ptr<SelectedTrees> trees_;
  bool pulled_ = false;
};

}  // namespace

TreeSource& tree_source(nb::handle reading) {
  return nb::cast<FileReading&>(reading).source();
}

bool reading_went_well(nb::handle reading) {
  return nb::cast<FileReading&>(reading).went_well();
}

void bind_reading(nb::module_& m) {
  using namespace nb::literals;
  nb::class_<TreeFile>(m, "TreeFile")
      .def(nb::init<nb::object, std::string, std::size_t, std::size_t>(), "source"_a, "name"_a,
           "chunk_bytes"_a, "max_tree_chars"_a)
      .def("__iter__", [](nb::handle self) { return self; })
      .def("__next__", &TreeFile::next)
      .def("peek", &TreeFile::peek)
      .def_prop_ro("unfinished", &TreeFile::unfinished);
  nb::class_<FileReading>(m, "FileReading")
      .def(nb::init<const nb::list&, nb::object, bool, std::pair<bool, bool>, bool>(), "readings"_a,
           "hooks"_a, "follow_marks"_a, "marks_seen"_a, "hold_texts"_a)
      .def("read_all", &FileReading::read_all)
      .def_prop_ro("error", &FileReading::error)
      .def_prop_ro("runs", &FileReading::runs)
      .def_prop_ro("unfinished", &FileReading::unfinished)
      .def(
          "without_lengths",
          [](const FileReading& reading, std::size_t number) {
            return reading.trees().without_lengths(number);
          },
          "reading"_a)
      .def("kept", &FileReading::kept, "reading"_a)
      .def("tables", &FileReading::tables, "reading"_a)
      .def("text", &FileReading::text, "index"_a);
  m.def(
      "rooting_mark", [](std::string_view text) { return rooting_mark(text); }, "text"_a,
      "True for a tree marked [&R] (rooted), False for [&U], None without a mark.");
  m.def(
      "leaf_labels",
      [](std::string_view text) {
        std::vector<std::string> labels = leaf_labels(text);
        nb::list out;
        for (const std::string& label : labels) out.append(nb::str(label.data(), label.size()));
        return out;
      },
      "text"_a, "The leaf labels of a tree as the engine reads them, as far as the text is well-formed.");
}

}  // namespace cladomatic
