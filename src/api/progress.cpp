#include "progress.hpp"

#include <memory>
#include <new>

namespace cladomatic {

namespace {

struct CounterObject {
  PyObject ob_base;
  std::shared_ptr<CounterCells> cells;
};

CounterObject* as_counter(PyObject* self) noexcept {
  return reinterpret_cast<CounterObject*>(self);
}

std::uint64_t load(const std::atomic<std::uint64_t>& cell) noexcept {
  return cell.load(std::memory_order_relaxed);
}

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "ProgressCounter() takes no arguments");
    return nullptr;
  }
  // Made before the object, so that nothing needs undoing if it fails.
  auto cells = std::make_shared<CounterCells>();
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_counter(self)->cells) std::shared_ptr<CounterCells>(std::move(cells));
  return self;
}

void counter_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_counter(self)->cells);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* counter_value(PyObject* self, PyObject*) noexcept {
  return PyLong_FromUnsignedLongLong(load(as_counter(self)->cells->value));
}

PyObject* counter_total(PyObject* self, PyObject*) noexcept {
  return PyLong_FromUnsignedLongLong(load(as_counter(self)->cells->total));
}

// Clamped: a counter shared by two concurrent calls, or reset during one,
// can count more pairs than its total.
PyObject* counter_fraction(PyObject* self, PyObject*) noexcept {
  const CounterCells& cells = *as_counter(self)->cells;
  std::uint64_t value = load(cells.value);
  std::uint64_t total = load(cells.total);
  if (total == 0) return PyFloat_FromDouble(0.0);
  double quotient = static_cast<double>(value) / static_cast<double>(total);
  return PyFloat_FromDouble(quotient > 1.0 ? 1.0 : quotient);
}

PyObject* counter_reset(PyObject* self, PyObject*) noexcept {
  CounterCells& cells = *as_counter(self)->cells;
  cells.value.store(0, std::memory_order_relaxed);
  cells.total.store(0, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* counter_repr(PyObject* self) noexcept {
  const CounterCells& cells = *as_counter(self)->cells;
  unsigned long long value = load(cells.value);
  unsigned long long total = load(cells.total);
  return PyUnicode_FromFormat("ProgressCounter(value=%llu, total=%llu)", value, total);
}

PyMethodDef counter_methods[] = {
    {"value", counter_value, METH_NOARGS,
     "value($self, /)\n--\n\nPairs completed so far (lock-free atomic load)."},
    {"total", counter_total, METH_NOARGS,
     "total($self, /)\n--\n\nTotal pairs the in-flight call will compute (`n*(n-1)/2`), or 0 before any call "
     "has "
     "started."},
    {"fraction", counter_fraction, METH_NOARGS,
     "fraction($self, /)\n--\n\n`value() / total()` clamped to `[0.0, 1.0]`. Returns 0.0 if no call has "
     "started yet "
     "(`total == 0`)."},
    {"reset", counter_reset, METH_NOARGS,
     "reset($self, /)\n--\n\nReset `value` and `total` to 0. Called automatically at the start of every "
     "pairwise "
     "call that takes this counter; exposed so that consumers can also reset between manual runs."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char counter_doc[] =
    "ProgressCounter()\n--\n\n"
    "Shared, thread-safe progress counter for the pairwise distance functions.\n\n"
    "Construct with `cladomatic.ProgressCounter()` and pass it to any of the\n"
    "`pairwise_*_from_newick_iter` functions as `progress=...`. The function\n\n"
    "(a) resets the counter and sets its `total` to `n*(n-1)/2` at entry,\n"
    "(b) atomically increments it as worker threads finish rows, and\n"
    "(c) releases the interpreter lock while the pairwise loop runs, so that a\n"
    "    polling Python thread can keep reading the counter.\n\n"
    "Reading is lock-free: `.value()` is a single atomic load.";

PyType_Slot counter_slots[] = {
    {Py_tp_doc, const_cast<char*>(counter_doc)},
    {Py_tp_new, reinterpret_cast<void*>(counter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(counter_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(counter_repr)},
    {Py_tp_methods, counter_methods},
    {0, nullptr},
};

PyType_Spec counter_spec = {
    "cladomatic.ProgressCounter",
    sizeof(CounterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    counter_slots,
};

}  // namespace

PyRef progress_counter_type(PyObject* module) noexcept {
  return PyRef::steal(PyType_FromModuleAndSpec(module, &counter_spec, nullptr));
}

// Every import makes its own type from the one PyType_Spec; they all share the
// deallocator, and none can be subclassed, so it identifies the layout.
bool is_progress_counter(PyObject* object) noexcept {
  return PyType_GetSlot(Py_TYPE(object), Py_tp_dealloc) == reinterpret_cast<void*>(counter_dealloc);
}

std::shared_ptr<CounterCells> counter_cells(PyObject* counter) noexcept {
  return as_counter(counter)->cells;
}

}  // namespace cladomatic
