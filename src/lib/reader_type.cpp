// _VornReader: a mapped, validated, indexed store and its queries.
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "reader.hpp"
#include "types.hpp"

namespace vornel::py {
namespace {

constexpr Signature kNew = {"_VornReader.__new__()", {"path", "verify"}, 2, 1};
constexpr Signature kGetRaw = {"_VornReader.get_raw()", {"key"}, 1, 1};
constexpr Signature kExists = {"_VornReader.exists()", {"key"}, 1, 1};
constexpr Signature kPrefixRaw = {"_VornReader.prefix_raw()", {"prefix"}, 1, 1};
constexpr Signature kExit = {
    "_VornReader.__exit__()", {"_exc_type", "_exc_val", "_exc_tb"}, 3, 3};

// Runs `body(reader, bound arguments)` as a method of _VornReader. A reader is never
// claimed exclusively, so its calls only check the counter (see Access::Read).
template <class Body>
PyObject* reader_method(const Signature* sig, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return call_method<Reader, Access::Read>(sig, self, reader_type, "_VornReader", args, nargs,
                                           kwnames, std::forward<Body>(body));
}

// For the methods without arguments: body(reader).
template <class Body>
PyObject* with_reader(PyObject* self, Body&& body) {
  return reader_method(nullptr, self, nullptr, 0, nullptr,
                       [&](const Reader& r, const BoundArgs&) { return body(r); });
}

// For the methods with one key-like argument: body(reader, key bytes).
template <class Body>
PyObject* with_key(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Body&& body) {
  return reader_method(&sig, self, args, nargs, kwnames,
                       [&](const Reader& r, const BoundArgs& a) -> PyObject* {
                         KeyArg key;
                         if (!convert_key(a[0], key)) return nullptr;
                         return body(r, key.bytes());
                       });
}

// A new list filled by `item(i)` for i in [0, n); item returns a new reference.
template <class F>
PyObject* build_list(size_t n, F&& item) {
  PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(n))));
  for (size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item(i));
  }
  return list.release();
}

// A new 2-tuple taking over two new references. Its items are str or bytes, which can
// never be part of a reference cycle, so the collector need not track it: a listing of a
// million entries then gives the collections it triggers nothing to scan.
PyObject* new_untracked_pair(PyRef first, PyRef second) {
  PyObject* pair = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(pair, 0, first.release());
  PyTuple_SET_ITEM(pair, 1, second.release());
  PyObject_GC_UnTrack(pair);
  return pair;
}

// (key, payload) for entries [first, last), the key as text or as bytes. One pass: each
// record is read while its tuple is made, fetched a few entries ahead; the first
// unreadable record in order fails the whole call.
PyObject* entry_items(const Reader& r, size_t first, size_t last, bool text_keys) {
  PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(last - first))));
  constexpr size_t kAhead = 8;
  for (size_t i = first; i < last; ++i) {
    if (i + kAhead < last) r.prefetch_entry(i + kAhead);
    Result<Bytes> payload = r.read_object(r.offset_at(i));
    if (!payload) return raise_store_error(payload.error());
    const Bytes key = r.key_at(i);
    PyRef k = PyRef::steal(text_keys ? key_text(key) : new_bytes(key));
    if (!k) return nullptr;
    PyRef v = PyRef::steal(new_bytes(*payload));
    if (!v) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - first),
                    new_untracked_pair(std::move(k), std::move(v)));
  }
  return list.release();
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs a;
    if (!bind(kNew, args, kwargs, a)) return nullptr;
    std::string_view path;
    if (!convert_path(a[0], path)) return nullptr;
    bool verify;
    if (!convert_verify(a[1], verify)) return nullptr;
    Result<std::unique_ptr<Reader>> reader = Reader::open(path, verify);
    if (!reader) return raise_store_error(reader.error());
    return new_instance(type, std::move(*reader));
  });
}

PyObject* get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_key(kGetRaw, self, args, nargs, kwnames, [](const Reader& r, Bytes key) {
    std::optional<uint64_t> off = r.find(key);
    if (!off) Py_RETURN_NONE;
    Result<Bytes> payload = r.read_object(*off);
    if (!payload) return raise_store_error(payload.error());
    return new_bytes(*payload);
  });
}

PyObject* exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_key(kExists, self, args, nargs, kwnames,
                  [](const Reader& r, Bytes key) { return PyBool_FromLong(r.contains(key)); });
}

PyObject* prefix_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_key(kPrefixRaw, self, args, nargs, kwnames, [](const Reader& r, Bytes prefix) {
    auto [first, last] = r.prefix_range(prefix);
    return entry_items(r, first, last, true);
  });
}

PyObject* keys(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& r) {
    return build_list(r.size(), [&](size_t i) { return key_text(r.key_at(i)); });
  });
}

PyObject* items_raw(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& r) { return entry_items(r, 0, r.size(), true); });
}

PyObject* items_raw_bytes(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& r) { return entry_items(r, 0, r.size(), false); });
}

PyObject* objects_raw(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& r) {
    Result<std::vector<Bytes>> objects = r.distinct_objects();
    if (!objects) return raise_store_error(objects.error());
    return build_list(objects->size(), [&](size_t i) { return new_bytes((*objects)[i]); });
  });
}

// Inserts `value` (a new reference) under `name`; false with the interpreter's error.
bool put(PyObject* dict, const char* name, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return PyDict_SetItemString(dict, name, v.get()) == 0;
}

PyObject* stats(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& r) -> PyObject* {
    const Header& h = r.header();
    PyRef d = PyRef::steal(checked(PyDict_New()));
    if (!put(d.get(), "path", new_text(r.path())) ||
        !put(d.get(), "version", new_uint(kVersion)) ||
        !put(d.get(), "num_keys", new_uint(h.num_keys)) ||
        !put(d.get(), "num_objects", new_uint(h.num_objects)) ||
        !put(d.get(), "index_offset", new_uint(h.index_offset)) ||
        !put(d.get(), "data_offset", new_uint(kDataOffset)) ||
        !put(d.get(), "file_size_kb",
             checked(PyFloat_FromDouble(static_cast<double>(r.file_size()) / 1024.0))) ||
        !put(d.get(), "file_crc32", new_text(crc_hex(h.file_crc32)))) {
      return nullptr;
    }
    return d.release();
  });
}

PyObject* verify(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader& r) -> PyObject* {
    if (Status s = r.verify(); !s) return raise_store_error(s.error());
    Py_RETURN_TRUE;
  });
}

// close() and leaving a with block release nothing: the mapping lives as long as the
// object, so results and other threads' calls stay valid.
PyObject* close(PyObject* self, PyObject*) {
  return with_reader(self, [](const Reader&) { Py_RETURN_NONE; });
}

PyObject* enter(PyObject* self, PyObject*) {
  return with_reader(self, [&](const Reader&) { return Py_NewRef(self); });
}

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reader_method(&kExit, self, args, nargs, kwnames, [](const Reader&, const BoundArgs&) {
    Py_RETURN_FALSE;  // never suppress the exception of the with block
  });
}

PyObject* reader_repr(PyObject* self) {
  return with_reader(self, [](const Reader& r) {
    const Header& h = r.header();
    const std::string text = "_VornReader('" + r.path() + "', keys=" +
                             std::to_string(h.num_keys) +
                             ", objects=" + std::to_string(h.num_objects) + ")";
    return new_text(text);
  });
}

PyMethodDef reader_methods[] = {
    {"get_raw", method(get_raw), kFastKw,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", method(exists), kFastKw,
     "exists($self, key)\n--\n\nKey presence check — no I/O beyond the in-memory hash index."},
    {"prefix_raw", method(prefix_raw), kFastKw,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", method(keys), METH_NOARGS, "keys($self)\n--\n\nAll keys in sorted order."},
    {"items_raw", method(items_raw), METH_NOARGS,
     "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."},
    {"items_raw_bytes", method(items_raw_bytes), METH_NOARGS,
     "items_raw_bytes($self)\n--\n\n"
     "All `(key_bytes, raw_bytes)` pairs in sorted key order.\n\n"
     "Unlike `items_raw`, keys come back as `bytes` — no UTF-8 lossy decode,\n"
     "so `merge()` can round-trip non-UTF-8 keys unchanged."},
    {"objects_raw", method(objects_raw), METH_NOARGS,
     "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."},
    {"stats", method(stats), METH_NOARGS, "stats($self)\n--\n\nReturn file metadata as a `dict`."},
    {"verify", method(verify), METH_NOARGS,
     "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."},
    {"close", method(close), METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", method(enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", method(exit), kFastKw, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "_VornReader(path, verify=True)\n--\n\n"
         "Low-level reader — returns raw msgpack bytes.\n"
         "**Use `vornel.VornReader` (Python wrapper) instead of this directly.**\n\n"
         "Thread-safe for reads: the index is immutable after construction and the\n"
         "mmap is read-only.  Share one instance freely across threads.")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, reader_methods},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_repr, reinterpret_cast<void*>(reader_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Reader>)},
    {0, nullptr},
};

// Default flags only: no subclassing, no __dict__, no weak references, no GC; a reader
// offers methods only (no len, in or subscription).
PyType_Spec reader_spec = {
    .name = "builtins._VornReader",
    .basicsize = sizeof(Instance<Reader>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = reader_slots,
};

std::atomic<PyObject*> reader_class{nullptr};

}  // namespace

PyTypeObject* reader_type() { return get_or_create_type(reader_class, &reader_spec); }

}  // namespace vornel::py
