#include "iterator_source.hpp"

#include <string>
#include <utility>

#include "convert.hpp"

namespace cladomatic {
namespace {

class LockHeld {
 public:
  LockHeld() noexcept : state_(PyGILState_Ensure()) {}
  ~LockHeld() { PyGILState_Release(state_); }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace

IteratorSource::IteratorSource(PyRef iterator, const char* argument,
                               std::span<const std::uint64_t> map_indices,
                               std::span<const TranslateMap> translate_maps) noexcept
    : iterator_(std::move(iterator)),
      argument_(argument),
      indexed_(true),
      map_indices_(map_indices),
      translate_maps_(translate_maps) {}

IteratorSource::IteratorSource(PyRef iterator, const char* argument, const TranslateMap* translate) noexcept
    : iterator_(std::move(iterator)), argument_(argument), indexed_(false), translate_(translate) {}

std::optional<SourceTree> IteratorSource::end() noexcept {
  ended_ = true;
  return std::nullopt;
}

std::optional<SourceTree> IteratorSource::record_current() noexcept {
  recorded_ = PyRef::steal(PyErr_GetRaisedException());
  return end();
}

std::optional<SourceTree> IteratorSource::next() {
  if (ended_) return std::nullopt;
  if (indexed_ && cursor_ == map_indices_.size()) return end();
  LockHeld lock;
  return pull();
}

std::optional<SourceTree> IteratorSource::pull() {
  PyObject* raw = nullptr;
  const int status = PyIter_NextItem(iterator_.get(), &raw);
  PyRef item = PyRef::steal(raw);
  if (status == 0) return end();
  const std::size_t position = cursor_++;
  if (status < 0) return record_current();
  const TranslateMap* map = indexed_ ? &translate_maps_[map_indices_[position]] : translate_;
  PyObject* text = item.get();
  if (!indexed_ && PyTuple_Check(text) && PyTuple_GET_SIZE(text) == 2) {
    PyObject* table = PyTuple_GET_ITEM(text, 1);
    text = PyTuple_GET_ITEM(text, 0);
    if (table != Py_None && !(map = table_of(table))) return record_current();
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (!data) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_TypeError, "%s yielded '%T' at position %zu; expected 'str'", argument_, text,
                   position);
    }
    return record_current();
  }
  // The text is copied: the str's buffer dies with the str.
  return SourceTree{std::string(data, static_cast<std::size_t>(size)), map};
}

const TranslateMap* IteratorSource::table_of(PyObject* table) {
  if (auto found = by_table_.find(table); found != by_table_.end()) return found->second;
  auto converted = std::make_unique<TranslateMap>();
  if (convert_translate_map(table, *converted) < 0) return nullptr;
  tables_.push_back(PyRef::share(table));
  const TranslateMap* map = converted.get();
  converted_.push_back(std::move(converted));
  by_table_.emplace(table, map);
  return map;
}

}  // namespace cladomatic
