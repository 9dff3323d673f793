// Cursors: the keys, values or items of a run of ranks, read one entry per step, so that
// iterating a store takes constant memory. A cursor holds its reader and claims it at
// each step: after the reader's close() the next step raises ValueError.
#include <string>

#include "classes.hpp"
#include "errors.hpp"
#include "keys.hpp"
#include "method.hpp"
#include "store.hpp"

namespace vornel::engine {

std::string_view path_of(const Store& store) {
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(store.path, &n);
  if (p == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string_view(p, static_cast<size_t>(n));
}

namespace {

// A copy of `src`, which may lie in the mapping: in `small` when it fits, else in
// `large`.
Result<Bytes> copied(Bytes src, std::span<uint8_t> small, std::string& large) {
  uint8_t* copy = small.data();
  if (src.size() > small.size()) {
    large.resize(src.size());
    copy = reinterpret_cast<uint8_t*>(large.data());
  }
  if (Status s = copy_out(copy, src); !s) return fail(std::move(s.error()));
  return Bytes(copy, src.size());
}

}  // namespace

PyObject* decode_copy(const ModuleState& state, const Store& store, Bytes data, PyObject* key) {
  PyObject* out = nullptr;
  std::string reason;
  switch (unpack(data, store.hooks, state.codec, &out, &reason, state.keys)) {
    case UnpackStatus::Ok:
      return out;
    case UnpackStatus::Raised:
      return nullptr;  // a hook's exception, unchanged
    case UnpackStatus::Malformed:
      break;
  }
  py::PyRef text = py::PyRef::steal(PyUnicode_FromFormat(
      "cannot decode the value of key %R: %s", key, reason.c_str()));
  if (text) PyErr_SetObject(state.decode_error, text.get());
  return nullptr;
}

PyObject* decode_payload(const ModuleState& state, const Store& store, Bytes payload,
                         PyObject* key) {
  uint8_t small[kSmallValue];
  std::string large;
  Result<Bytes> copy = copied(payload, small, large);
  if (!copy) return raise_store_error(state, copy.error(), path_of(store));
  return decode_copy(state, store, *copy, key);
}

namespace {

struct Cursor {
  PyObject* reader = nullptr;  // strong reference to the reader it reads
  size_t next = 0;             // the next rank forwards
  size_t end = 0;              // one past the last rank; the next rank backwards is end - 1
  bool reverse = false;
  CursorMode mode = CursorMode::Keys;

  Cursor() = default;
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor() { Py_XDECREF(reader); }
};

using CursorInstance = py::Instance<Cursor>;

constexpr py::ClassInfo<Cursor> kClass = {"Cursor", nullptr, &kFailures};
constexpr py::ClassInfo<Store> kReaderClass = {"VornReader", nullptr, &kFailures};

// How far ahead of a step its record is fetched.
constexpr size_t kAhead = 16;

// The key of rank `rank`, copied out of the mapping.
PyObject* key_at(const ModuleState& state, const Store& store, size_t rank) {
  Bytes located;
  if (Status s = store.core->locate_keys(rank, 1, &located); !s) {
    return raise_store_error(state, s.error(), path_of(store));
  }
  uint8_t small[256];
  std::string large;
  Result<Bytes> copy = copied(located, small, large);
  if (!copy) return raise_store_error(state, copy.error(), path_of(store));
  return key_object(*copy);
}

PyObject* step(Cursor& c) {
  return py::with_instance<kReaderClass, py::Access::Shared>(
      c.reader, static_cast<PyObject*>(nullptr), [&](Store& store) -> PyObject* {
        const ModuleState* state = store.state;
        if (c.next >= c.end) return nullptr;  // exhausted: StopIteration
        const size_t rank = c.reverse ? --c.end : c.next++;
        if (c.mode != CursorMode::Keys && c.next < c.end) {
          const size_t ahead = c.reverse ? (c.end > kAhead ? c.end - kAhead : c.next)
                                         : (c.next + kAhead < c.end ? c.next + kAhead : c.end - 1);
          store.core->prefetch_entry(ahead);
        }
        py::PyRef key = py::PyRef::steal(key_at(*state, store, rank));
        if (!key) return nullptr;
        if (c.mode == CursorMode::Keys) return key.release();
        Bytes payload;
        if (Status s = store.core->locate_entries(rank, 1, &payload); !s) {
          return raise_store_error(*state, s.error(), path_of(store));
        }
        py::PyRef value = py::PyRef::steal(decode_payload(*state, store, payload, key.get()));
        if (!value) return nullptr;
        if (c.mode == CursorMode::Values) return value.release();
        PyObject* pair = py::checked(PyTuple_New(2));
        PyTuple_SET_ITEM(pair, 0, key.release());
        PyTuple_SET_ITEM(pair, 1, value.release());
        return pair;
      });
}

PyObject* iternext(PyObject* self) {
  // Exclusive: one step at a time, also when threads share the cursor.
  return py::with_instance<kClass, py::Access::Exclusive>(
      self, static_cast<PyObject*>(nullptr), [&](Cursor& c) { return step(c); });
}

PyObject* iter_self(PyObject* self) { return Py_NewRef(self); }

// The number of entries still to come, for list() and the like.
PyObject* length_hint(Cursor& c, const py::BoundArgs&, PyObject*) {
  return py::new_uint(c.end > c.next ? c.end - c.next : 0);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (Cursor* c = reinterpret_cast<CursorInstance*>(self)->native) Py_VISIT(c->reader);
  return 0;
}

int clear(PyObject* self) {
  if (Cursor* c = reinterpret_cast<CursorInstance*>(self)->native) Py_CLEAR(c->reader);
  return 0;
}

constexpr auto kMethods = std::to_array<py::Method<Cursor>>({
    {"__length_hint__", {}, py::Access::Exclusive, length_hint,
     "The number of entries still to come."},
});

auto cursor_methods = py::method_table<kClass, kMethods>();

PyType_Slot cursor_slots[] = {
    {Py_tp_doc, const_cast<char*>("An iterator over a run of a store's entries in key order.")},
    {Py_tp_methods, cursor_methods.data()},
    {Py_tp_iter, py::slot(iter_self)},
    {Py_tp_iternext, py::slot(iternext)},
    {Py_tp_dealloc, py::slot(py::dealloc_instance<Cursor>)},
    {Py_tp_traverse, py::slot(traverse)},
    {Py_tp_clear, py::slot(clear)},
    {0, nullptr},
};

}  // namespace

// Made by readers only (no constructor of its own), and final.
PyType_Spec cursor_spec = {
    .name = "vornel._engine.Cursor",
    .basicsize = sizeof(CursorInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = cursor_slots,
};

PyObject* new_cursor(const ModuleState& state, PyObject* reader, size_t first, size_t last,
                     bool reverse, CursorMode mode) {
  auto cursor = std::make_unique<Cursor>();
  cursor->reader = Py_NewRef(reader);
  cursor->next = first;
  cursor->end = last < first ? first : last;
  cursor->reverse = reverse;
  cursor->mode = mode;
  return py::new_instance(reinterpret_cast<PyTypeObject*>(state.cursor_type), std::move(cursor));
}

}  // namespace vornel::engine
