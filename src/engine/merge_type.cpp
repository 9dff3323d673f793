// Merges: one run in key order out of several cursors, each over its own store, merged by
// key bytes. Each step yields the step of the cursor whose next key comes first (last, in
// reverse); equal keys come from the earlier cursor first. Like any merging iterator, it
// knows nothing of where its cursors come from: the shards of a set, runs to combine.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"
#include "method.hpp"
#include "store.hpp"

namespace vornel::engine {
namespace {

struct Merge {
  struct Child {
    PyObject* cursor;  // strong reference
    std::string head;  // the key of its next step, once peeked
  };
  std::vector<Child> children;
  // The children with a next step, as a heap whose front is the child to step next.
  std::vector<uint32_t> heap;
  // Children [0, primed) have been peeked once; the stepped child is peeked again before
  // the following step, so that a failure shows at the step that needs it.
  uint32_t primed = 0;
  static constexpr uint32_t kNone = UINT32_MAX;
  uint32_t stepped = kNone;
  bool reverse = false;
  bool cleared = false;  // by the collector, breaking a cycle through a cursor

  Merge() = default;
  Merge(const Merge&) = delete;
  Merge& operator=(const Merge&) = delete;
  ~Merge() { drop(); }

  void drop() {
    for (Child& child : children) Py_CLEAR(child.cursor);
    children.clear();
    heap.clear();
  }

  // Whether child a steps after child b.
  bool after(uint32_t a, uint32_t b) const {
    const int order = children[a].head.compare(children[b].head);
    if (order != 0) return reverse ? order < 0 : order > 0;
    return a > b;
  }

  // Peeks child i and puts it in the heap when it has a step left; false with the
  // exception set.
  bool refill(uint32_t i) {
    const int found = cursor_peek(children[i].cursor, children[i].head);
    if (found < 0) return false;
    if (found > 0) {
      heap.push_back(i);
      std::push_heap(heap.begin(), heap.end(), [this](uint32_t a, uint32_t b) { return after(a, b); });
    }
    return true;
  }
};

using MergeInstance = py::Instance<Merge>;

constexpr py::ClassInfo<Merge> kClass = {"Merge", nullptr, &kCursorFailures};

PyObject* step(Merge& m) {
  if (m.cleared) return raise_text(PyExc_ValueError, kClosedText);
  for (;;) {
    for (; m.primed < m.children.size(); ++m.primed) {
      if (!m.refill(m.primed)) return nullptr;
    }
    if (m.stepped != Merge::kNone) {
      if (!m.refill(m.stepped)) return nullptr;
      m.stepped = Merge::kNone;
    }
    if (m.heap.empty()) return nullptr;
    std::pop_heap(m.heap.begin(), m.heap.end(),
                  [&m](uint32_t a, uint32_t b) { return m.after(a, b); });
    const uint32_t i = m.heap.back();
    m.heap.pop_back();
    // Peeked again before the next step, whether this one succeeds or not: a failed step
    // may have been taken (a value that does not decode) or not (a damaged block).
    m.stepped = i;
    PyObject* cursor = m.children[i].cursor;
    PyObject* item = Py_TYPE(cursor)->tp_iternext(cursor);
    if (item != nullptr || PyErr_Occurred()) return item;
    // Ended although its peek found a step: its store was cut short meanwhile, say. The
    // next peek tells.
  }
}

PyObject* iternext(PyObject* self) {
  return py::with_instance<kClass, py::Access::Exclusive>(
      self, static_cast<PyObject*>(nullptr), [](Merge& m) { return step(m); });
}

PyObject* iter_self(PyObject* self) { return Py_NewRef(self); }

// The steps still to come: the sum of the children's.
PyObject* length_hint(Merge& m, const py::BoundArgs&, PyObject*) {
  Py_ssize_t total = 0;
  for (const Merge::Child& child : m.children) {
    const Py_ssize_t left = cursor_remaining(child.cursor);
    if (left < 0) return nullptr;
    total += left;
  }
  return PyLong_FromSsize_t(total);
}

std::unique_ptr<Merge> make(PyTypeObject* type, const py::BoundArgs& a) {
  const ModuleState* state = state_of(type);
  if (state == nullptr) return nullptr;
  auto merge = std::make_unique<Merge>();
  const int reverse = a[1] == nullptr ? 0 : PyObject_IsTrue(a[1]);
  if (reverse < 0) return nullptr;
  merge->reverse = reverse != 0;
  py::PyRef cursors = py::PyRef::steal(PySequence_Fast(a[0], "cursors must be iterable"));
  if (!cursors) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(cursors.get());
  if (static_cast<uint64_t>(n) >= Merge::kNone) {
    PyErr_SetString(PyExc_OverflowError, "too many cursors to merge");
    return nullptr;
  }
  merge->children.reserve(static_cast<size_t>(n));
  merge->heap.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* cursor = PySequence_Fast_GET_ITEM(cursors.get(), i);
    if (!PyObject_TypeCheck(cursor, reinterpret_cast<PyTypeObject*>(state->cursor_type))) {
      PyErr_Format(PyExc_TypeError, "Merge takes a reader's cursors, not %s",
                   Py_TYPE(cursor)->tp_name);
      return nullptr;
    }
    merge->children.push_back({Py_NewRef(cursor), {}});
  }
  return merge;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (Merge* m = reinterpret_cast<MergeInstance*>(self)->native) {
    for (const Merge::Child& child : m->children) Py_VISIT(child.cursor);
  }
  return 0;
}

int clear(PyObject* self) {
  if (Merge* m = reinterpret_cast<MergeInstance*>(self)->native) {
    m->drop();
    m->cleared = true;
  }
  return 0;
}

constexpr py::Constructor<Merge> kNew = {
    {{"cursors", "reverse"}, 1, {nullptr, "False"}},
    make,
    "One run in key order out of the cursors' runs, merged by key bytes (descending with "
    "*reverse*, which the cursors must be too); equal keys come from the earlier cursor "
    "first.",
};

constexpr auto kMethods = std::to_array<py::Method<Merge>>({
    {"__length_hint__", {}, py::Access::Shared, length_hint,
     "The number of entries still to come."},
});

auto merge_methods = py::method_table<kClass, kMethods>();

PyType_Slot merge_slots[] = {
    {Py_tp_doc, const_cast<char*>(py::docstring<kClass, kNew>.data())},
    {Py_tp_methods, merge_methods.data()},
    {Py_tp_new, py::slot(py::new_entry<kClass, kNew>)},
    {Py_tp_iter, py::slot(iter_self)},
    {Py_tp_iternext, py::slot(iternext)},
    {Py_tp_dealloc, py::slot(py::dealloc_instance<Merge>)},
    {Py_tp_traverse, py::slot(traverse)},
    {Py_tp_clear, py::slot(clear)},
    {0, nullptr},
};

}  // namespace

// Final: nothing about a merge is meant to be changed by a subclass.
PyType_Spec merge_spec = {
    .name = "vornel._engine.Merge",
    .basicsize = sizeof(MergeInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = merge_slots,
};

}  // namespace vornel::engine
