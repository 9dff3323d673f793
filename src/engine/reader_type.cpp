// The package's reader: a store file as a mapping of keys to decoded values, with
// streaming cursors in key order. Every call claims the reader for its duration, so that
// close() from another thread never unmaps a file that a call is still reading; the
// mapping goes when the last such call ends.
#include <string>
#include <tuple>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"
#include "keys.hpp"
#include "method.hpp"
#include "store.hpp"
#include "store_words.hpp"

namespace vornel::engine {
namespace {

constexpr py::ClassInfo<Store> kClass = {"VornReader", nullptr, &kFailures};

ReaderInstance& instance(PyObject* self) { return *reinterpret_cast<ReaderInstance*>(self); }

const ModuleState& module_state(PyObject* self) {
  return *instance(self).native->state;
}

// -- open ----------------------------------------------------------------------------------

}  // namespace

bool take_hook(PyObject* obj, const char* name, PyObject*& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyCallable_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  out = Py_NewRef(obj);
  return true;
}

Result<OpenedCore> open_core(std::string_view path, bool verify) {
  // A directory opens read-only but cannot be mapped: the core says what it is, and
  // names a cut file rather than the damage that the cut causes. Strict: no value comes
  // back that fails its checksum, and no listing out of key order.
  const OpenOptions options{.use_key_table = true,
                            .refuse_directory = true,
                            .name_truncation = true,
                            .strict = true};
  Result<std::unique_ptr<Reader>> reader = Reader::open(path, verify, options);
  if (!reader) return fail(std::move(reader.error()));
  // The dictionary that the header marks. Damage to it, or to the marks, costs only the
  // values stored compressed: they raise it, and verify() reports it.
  OpenedCore opened{std::move(*reader), nullptr, std::nullopt};
  if ((*opened.core).marks().state == Marks::State::Damaged) {
    opened.codec_fault = StoreError::corrupt(vornel::Fault::MarksDamaged);
  }
  Result<std::unique_ptr<ValueCodec>> codec = open_value_codec(*opened.core, verify);
  if (codec) {
    opened.codec = std::move(*codec);
  } else if (codec.error().kind() == ErrorKind::Corrupt) {
    opened.codec_fault = std::move(codec.error());
  } else {
    return fail(std::move(codec.error()));
  }
  return opened;
}

namespace {

std::unique_ptr<Store> open_store(PyTypeObject* type, const py::BoundArgs& a) {
  const ModuleState* state = state_of(type);
  if (state == nullptr) return nullptr;
  py::PyRef held;
  std::string_view path;
  if (!path_arg(a[0], held, path)) return nullptr;
  auto store = std::make_unique<Store>();
  store->system_path = path;
  store->state = state;
  const int verify = a[1] == nullptr ? 0 : PyObject_IsTrue(a[1]);
  if (verify < 0) return nullptr;
  store->verify = verify != 0;
  if (!take_hook(a[2], "ext_hook", store->hooks.ext_hook) ||
      !take_hook(a[3], "object_hook", store->hooks.object_hook)) {
    return nullptr;
  }
  store->path = Py_NewRef(a[0]);
  // The whole-file checksum and the index are long work that needs no interpreter.
  Result<OpenedCore> opened = py::without_interpreter([&] { return open_core(path, store->verify); });
  if (!opened) {
    raise_store_error(*state, opened.error(), path);
    return nullptr;
  }
  store->core = std::move(opened->core);
  store->codec = std::move(opened->codec);
  store->codec_fault = std::move(opened->codec_fault);
  return store;
}

// -- lookups ---------------------------------------------------------------------------------

// The value of `key`, or `fallback` (a new reference taken over) when it is absent;
// with no fallback, KeyError. str and bytes are keys; nothing else finds one.
PyObject* value_or(PyObject* self, const Store& store, PyObject* key, PyObject* fallback) {
  const ModuleState& state = module_state(self);
  Bytes bytes;
  std::optional<Reader::Value> found;
  // Most values fit on the stack: found and copied out in one step.
  uint8_t small[kSmallValue];
  if (py::view_key(key, bytes) == py::KeyView::Ok) {
    auto got = store.core->get_into(bytes, small, sizeof small);
    if (!got) return raise_value_error(state, got.error(), path_of(store), key);
    found = *got;
  }
  if (!found) {
    if (fallback != nullptr) return Py_NewRef(fallback);
    return py::raise_key_error(key);
  }
  if (found->copied) return decode_copy(state, store, Bytes(small, found->payload.size()), key);
  return decode_payload(state, store, found->payload, key);
}

PyObject* subscript(PyObject* self, PyObject* key) { return reader_value(self, key, nullptr); }

int contains(PyObject* self, PyObject* key) {
  return py::with_instance<kClass, py::Access::Shared>(self, -1, [&](Store& s) {
    Bytes bytes;
    if (py::view_key(key, bytes) != py::KeyView::Ok) return 0;
    auto held = s.core->holds(bytes);
    if (!held) {
      raise_store_error(module_state(self), held.error(), path_of(s));
      return -1;
    }
    return *held ? 1 : 0;
  });
}

Py_ssize_t length(PyObject* self) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, Py_ssize_t{-1}, [](Store& s) { return static_cast<Py_ssize_t>(s.core->size()); });
}

PyObject* get(Store& s, const py::BoundArgs& a, PyObject* self) {
  return value_or(self, s, a[0], a[1] != nullptr ? a[1] : Py_None);
}

PyObject* view(Store& s, const py::BoundArgs& a, PyObject* self) {
  return new_view(module_state(self), self, s, a[0]);
}

PyObject* get_many(Store& s, const py::BoundArgs& a, PyObject* self) {
  PyObject* const fallback = a[1] != nullptr ? a[1] : Py_None;
  py::PyRef keys = py::PyRef::steal(PySequence_Fast(a[0], "keys must be iterable"));
  if (!keys) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(keys.get());
  py::PyRef out = py::PyRef::steal(py::checked(PyList_New(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* v = value_or(self, s, PySequence_Fast_GET_ITEM(keys.get(), i), fallback);
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), i, v);
  }
  return out.release();
}

// -- ordered scans ------------------------------------------------------------------------

// The first rank whose key is not less than `bound`: 0 for None, size() for no bound
// from above when `upper` and `bound` is None.
bool rank_of(const ModuleState& state, const Store& s, PyObject* bound, const char* what,
             bool upper, size_t& out) {
  if (bound == nullptr || bound == Py_None) {
    out = upper ? s.core->size() : 0;
    return true;
  }
  Bytes bytes;
  switch (py::view_key(bound, bytes)) {
    case py::KeyView::Ok:
      break;
    case py::KeyView::NotKey:
      PyErr_Format(PyExc_TypeError, "%s must be str, bytes or None, not %s", what,
                   Py_TYPE(bound)->tp_name);
      return false;
    case py::KeyView::NotEncodable:
      PyErr_Format(PyExc_ValueError, "%s %R has no UTF-8 form: it holds a lone surrogate", what,
                   bound);
      return false;
  }
  auto rank = s.core->lower_bound(bytes);
  if (!rank) {
    raise_store_error(state, rank.error(), path_of(s));
    return false;
  }
  out = *rank;
  return true;
}

// The ranks of the keys that begin with `prefix`.
bool prefix_ranks(const ModuleState& state, const Store& s, PyObject* prefix, size_t& first,
                  size_t& last) {
  Bytes bytes;
  switch (py::view_key(prefix, bytes)) {
    case py::KeyView::Ok:
      break;
    case py::KeyView::NotKey:
      PyErr_Format(PyExc_TypeError, "prefix must be str or bytes, not %s",
                   Py_TYPE(prefix)->tp_name);
      return false;
    case py::KeyView::NotEncodable:  // no stored key begins with it
      first = last = 0;
      return true;
  }
  auto range = s.core->prefix_range(bytes);
  if (!range) {
    raise_store_error(state, range.error(), path_of(s));
    return false;
  }
  std::tie(first, last) = *range;
  return true;
}

PyObject* scan_prefix(Store& s, PyObject* self, PyObject* prefix, CursorMode mode) {
  const ModuleState& state = module_state(self);
  size_t first, last;
  if (!prefix_ranks(state, s, prefix, first, last)) return nullptr;
  return new_cursor(state, self, first, last, false, mode);
}

PyObject* prefix(Store& s, const py::BoundArgs& a, PyObject* self) {
  return scan_prefix(s, self, a[0], CursorMode::Items);
}

PyObject* prefix_keys(Store& s, const py::BoundArgs& a, PyObject* self) {
  return scan_prefix(s, self, a[0], CursorMode::Keys);
}

PyObject* scan_range(PyObject* self, Store& s, const py::BoundArgs& a, CursorMode mode) {
  const ModuleState& state = module_state(self);
  size_t first, last;
  if (!rank_of(state, s, a[0], "start", false, first) ||
      !rank_of(state, s, a[1], "stop", true, last)) {
    return nullptr;
  }
  const int reverse = a[2] == nullptr ? 0 : PyObject_IsTrue(a[2]);
  if (reverse < 0) return nullptr;
  if (last < first) last = first;
  return new_cursor(state, self, first, last, reverse != 0, mode);
}

PyObject* range(Store& s, const py::BoundArgs& a, PyObject* self) {
  return scan_range(self, s, a, CursorMode::Items);
}

PyObject* range_keys(Store& s, const py::BoundArgs& a, PyObject* self) {
  return scan_range(self, s, a, CursorMode::Keys);
}

PyObject* iterate(PyObject* self) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr), [&](Store& s) {
        return new_cursor(module_state(self), self, 0, s.core->size(), false, CursorMode::Keys);
      });
}

PyObject* reversed(Store& s, const py::BoundArgs&, PyObject* self) {
  return new_cursor(module_state(self), self, 0, s.core->size(), true, CursorMode::Keys);
}

PyObject* values(Store& s, const py::BoundArgs&, PyObject* self) {
  return new_cursor(module_state(self), self, 0, s.core->size(), false, CursorMode::Values);
}

PyObject* items(Store& s, const py::BoundArgs&, PyObject* self) {
  return new_cursor(module_state(self), self, 0, s.core->size(), false, CursorMode::Items);
}

// -- checks and metadata ---------------------------------------------------------------------

PyObject* verify(Store& s, const py::BoundArgs&, PyObject* self) {
  const Status checked = py::without_interpreter([&]() -> Status {
    if (Status st = s.core->verify(); !st) return st;
    if (s.codec_fault) return fail(*s.codec_fault);
    return s.codec ? verify_value_codec(*s.core, *s.codec) : Status();
  });
  if (!checked) return raise_store_error(module_state(self), checked.error(), path_of(s));
  Py_RETURN_TRUE;
}

// Inserts `value` (a new reference) under `name`.
void put(PyObject* dict, const char* name, PyObject* value) {
  py::PyRef v = py::PyRef::steal(value);
  if (PyDict_SetItemString(dict, name, v.get()) < 0) throw py::NullResult{};
}

const char* table_state_text(KeyTableState state) {
  switch (state) {
    case KeyTableState::InUse:
      return "in use";
    case KeyTableState::Ignored:
      return "ignored";
    case KeyTableState::Absent:
      break;
  }
  return "absent";
}

PyObject* stats(Store& s, const py::BoundArgs&, PyObject*) {
  const Reader& r = *s.core;
  const Header& h = r.header();
  py::PyRef d = py::PyRef::steal(py::checked(PyDict_New()));
  put(d.get(), "path", Py_NewRef(s.path));
  put(d.get(), "num_keys", py::new_uint(h.num_keys));
  put(d.get(), "num_objects", py::new_uint(r.user_objects()));
  put(d.get(), "file_size", py::new_uint(r.file_size()));
  put(d.get(), "file_crc32", py::new_text(crc_hex(h.file_crc32)));
  put(d.get(), "index_offset", py::new_uint(h.index_offset));
  std::string table = table_state_text(r.key_table_state());
  if (r.key_table_note() != TableNote::None) table += ": " + table_note_words(r.key_table_note());
  put(d.get(), "key_table", py::new_text(table));
  // The values' bytes before compression over their bytes as stored.
  if (s.codec) {
    const DictionaryHeader& c = s.codec->header();
    put(d.get(), "compression", py::new_text(codec_name(c.codec)));
    put(d.get(), "compression_ratio",
        py::checked(PyFloat_FromDouble(c.stored_bytes == 0 ? 1.0
                                                           : static_cast<double>(c.raw_bytes) /
                                                                 static_cast<double>(c.stored_bytes))));
  } else {
    put(d.get(), "compression", Py_NewRef(Py_None));
    put(d.get(), "compression_ratio", py::checked(PyFloat_FromDouble(1.0)));
  }
  return d.release();
}

PyObject* close(Store&, const py::BoundArgs&, PyObject* self) {
  py::close_instance(&instance(self));
  Py_RETURN_NONE;
}

PyObject* get_path(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::None>(
      self, static_cast<PyObject*>(nullptr), [](Store& s) { return Py_NewRef(s.path); });
}

PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(instance(self).access.closed());
}

// What a copy of the reader opens with: (path, verify, ext_hook, object_hook).
PyObject* get_reopen(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::None>(
      self, static_cast<PyObject*>(nullptr), [](Store& s) {
        return py::checked(Py_BuildValue(
            "(OOOO)", s.path, s.verify ? Py_True : Py_False,
            s.hooks.ext_hook ? s.hooks.ext_hook : Py_None,
            s.hooks.object_hook ? s.hooks.object_hook : Py_None));
      });
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (Store* s = instance(self).native) {
    Py_VISIT(s->hooks.ext_hook);
    Py_VISIT(s->hooks.object_hook);
  }
  return 0;
}

int clear(PyObject* self) {
  if (Store* s = instance(self).native) {
    Py_CLEAR(s->hooks.ext_hook);
    Py_CLEAR(s->hooks.object_hook);
  }
  return 0;
}

constexpr auto kMethods = std::to_array<py::Method<Store>>({
    // name, parameters (names, required count, defaults, keyword-only from), access,
    // implementation, documentation
    {"get", {{"key", "default"}, 1, {nullptr, "None"}}, py::Access::Shared, get,
     "The value of *key*, or *default* when the store does not hold it."},
    {"view", {{"key"}, 1}, py::Access::Shared, view,
     "A read-only memoryview of the bytes value of *key* where it lies in the file, without "
     "a copy; the file stays mapped while any view of it lives, close() or not."},
    {"get_many", {{"keys", "default"}, 1, {nullptr, "None"}}, py::Access::Shared, get_many,
     "The value of each key of *keys*, or *default* where it is missing, as a list."},
    {"prefix", {{"prefix"}, 1}, py::Access::Shared, prefix,
     "(key, value) of every key that begins with *prefix*, in key order, as they are read."},
    {"prefix_keys", {{"prefix"}, 1}, py::Access::Shared, prefix_keys,
     "Every key that begins with *prefix*, in key order, without reading values."},
    {"range", {{"start", "stop", "reverse"}, 0, {"None", "None", "False"}, 2},
     py::Access::Shared, range,
     "(key, value) for start <= key < stop in byte order (None: unbounded), descending "
     "with *reverse*."},
    {"range_keys", {{"start", "stop", "reverse"}, 0, {"None", "None", "False"}, 2},
     py::Access::Shared, range_keys,
     "The keys start <= key < stop in byte order (None: unbounded), descending with "
     "*reverse*, without reading values."},
    {"__reversed__", {}, py::Access::Shared, reversed, "The keys in descending order."},
    {"_values", {}, py::Access::Shared, values, "The values in key order."},
    {"_items", {}, py::Access::Shared, items, "(key, value) pairs in key order."},
    {"verify", {}, py::Access::Shared, verify,
     "Check every checksum; return True, or raise VornCorruptError naming the damage."},
    {"stats", {}, py::Access::Shared, stats, "The store's metadata as a dict."},
    {"close", {}, py::Access::None, close,
     "Release the file's mapping once no call uses it; any later use raises ValueError."},
});

constexpr py::Constructor<Store> kNew = {
    {{"path", "verify", "ext_hook", "object_hook"}, 1, {nullptr, "False", "None", "None"}, 2},
    open_store,
    "A store file as a read-only mapping of keys to values decoded from MessagePack.",
};

auto reader_methods = py::method_table<kClass, kMethods>();

PyGetSetDef reader_getset[] = {
    {"path", get_path, nullptr, "The path the reader was opened with.", nullptr},
    {"closed", get_closed, nullptr, "Whether close() has been called.", nullptr},
    {"_reopen", get_reopen, nullptr, "(path, verify, ext_hook, object_hook).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(py::docstring<kClass, kNew>.data())},
    {Py_tp_methods, reader_methods.data()},
    {Py_tp_getset, reader_getset},
    {Py_tp_new, py::slot(py::new_entry<kClass, kNew>)},
    {Py_tp_dealloc, py::slot(py::dealloc_instance<Store>)},
    {Py_tp_traverse, py::slot(traverse)},
    {Py_tp_clear, py::slot(clear)},
    {Py_tp_iter, py::slot(iterate)},
    {Py_mp_subscript, py::slot(subscript)},
    {Py_mp_length, py::slot(length)},
    {Py_sq_length, py::slot(length)},
    {Py_sq_contains, py::slot(contains)},
    {0, nullptr},
};

}  // namespace

PyObject* reader_value(PyObject* reader, PyObject* key, PyObject* fallback) {
  return py::with_instance<kClass, py::Access::Shared>(
      reader, static_cast<PyObject*>(nullptr),
      [&](Store& s) { return value_or(reader, s, key, fallback); });
}

int reader_contains(PyObject* reader, PyObject* key) { return contains(reader, key); }

// A base class: the package's VornReader adds the Mapping views and pickling in a
// subclass. It holds the hooks, so it takes part in garbage collection.
PyType_Spec reader_spec = {
    .name = "vornel._engine.Reader",
    .basicsize = sizeof(ReaderInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = reader_slots,
};

}  // namespace vornel::engine
