// _VornReader. Each method converts its arguments, asks the core Reader and copies the
// answer into new objects; the table below describes each method once.
#include <algorithm>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "method.hpp"
#include "read/reader.hpp"
#include "types.hpp"

namespace vornel::py {
namespace {

constexpr ClassInfo<Reader> kClass = {"_VornReader", reader_type, &kFailures};

// A new list filled by `item(i)` for i in [0, n); item returns a new reference, or
// nullptr with an exception set (a payload whose file was cut short), which ends the
// list: the unfilled slots stay empty, and the list's deallocation skips them.
template <class F>
PyObject* build_list(size_t n, F&& item) {
  PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(n))));
  for (size_t i = 0; i < n; ++i) {
    PyObject* value = item(i);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
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

// A new list of `count` items, each made around the payload of one record, a block of
// items at a time: the block's records are located in one guarded read (the core fetches
// them a batch ahead), its items made with room for their payloads, and the payloads
// copied in with a second guarded read. The first unreadable record in order fails the
// call.
//   locate(i, n, keys, out)  the keys and payloads of items [i, i + n)
//   item(key, payload)       the item around its payload object (a new reference it takes over)
template <class Locate, class Item>
PyObject* payload_list(size_t count, Locate&& locate, Item&& item) {
  PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(count))));
  constexpr size_t kBlock = 64;
  Bytes keys[kBlock];
  Bytes payloads[kBlock];
  uint8_t* targets[kBlock];
  for (size_t i = 0; i < count; i += kBlock) {
    const size_t n = std::min(kBlock, count - i);
    if (Status s = locate(i, n, keys, payloads); !s) return raise_store_error(s.error());
    for (size_t j = 0; j < n; ++j) {
      PyRef v = PyRef::steal(
          checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(payloads[j].size()))));
      targets[j] = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(v.get()));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i + j), item(keys[j], std::move(v)));
    }
    // A fault leaves payloads half copied, but the list holding them is dropped.
    if (Status s = copy_out(targets, payloads, n); !s) return raise_store_error(s.error());
  }
  return list.release();
}

// (key, payload) for entries [first, last), the key as text or as bytes. _VornReader
// indexes its keys in memory, so the keys need no guarded copy.
PyObject* entry_items(const Reader& r, size_t first, size_t last, bool text_keys) {
  return payload_list(
      last - first,
      [&](size_t i, size_t n, Bytes* keys, Bytes* out) {
        return r.locate_items(first + i, n, keys, out);
      },
      [&](Bytes key, PyRef v) {
        PyRef k = PyRef::steal(text_keys ? key_text(key) : key_bytes(key));
        return new_untracked_pair(std::move(k), std::move(v));
      });
}

std::unique_ptr<Reader> open_reader(PyTypeObject*, const BoundArgs& a) {
  std::string_view path;
  if (!convert_path(a[0], path)) return nullptr;
  bool verify;
  if (!convert_verify(a[1], verify)) return nullptr;
  Result<std::unique_ptr<Reader>> reader = Reader::open(path, verify);
  if (!reader) {
    raise_store_error(reader.error());
    return nullptr;
  }
  return std::move(*reader);
}

PyObject* get_raw(const Reader& r, const BoundArgs& a, PyObject*) {
  KeyArg key;
  if (!convert_key(a[0], key)) return nullptr;
  Result<std::optional<Bytes>> payload = r.get(key.bytes());
  if (!payload) return raise_store_error(payload.error());
  if (!*payload) Py_RETURN_NONE;
  return new_bytes(**payload);
}

PyObject* exists(const Reader& r, const BoundArgs& a, PyObject*) {
  KeyArg key;
  if (!convert_key(a[0], key)) return nullptr;
  Result<bool> held = r.holds(key.bytes());
  if (!held) return raise_store_error(held.error());
  return PyBool_FromLong(*held);
}

PyObject* prefix_raw(const Reader& r, const BoundArgs& a, PyObject*) {
  KeyArg prefix;
  if (!convert_key(a[0], prefix)) return nullptr;
  const auto range = r.prefix_range(prefix.bytes());
  if (!range) return raise_store_error(range.error());
  return entry_items(r, range->first, range->second, true);
}

PyObject* keys(const Reader& r, const BoundArgs&, PyObject*) {
  constexpr size_t kBlock = 64;
  Bytes block[kBlock];
  size_t first = r.size();  // the rank of block[0]
  return build_list(r.size(), [&](size_t i) -> PyObject* {
    if (i - first >= kBlock) {
      first = i;
      const Status s = r.locate_keys(first, std::min(kBlock, r.size() - first), block);
      if (!s) return raise_store_error(s.error());
    }
    return key_text(block[i - first]);
  });
}

PyObject* items_raw(const Reader& r, const BoundArgs&, PyObject*) {
  return entry_items(r, 0, r.size(), true);
}

PyObject* items_raw_bytes(const Reader& r, const BoundArgs&, PyObject*) {
  return entry_items(r, 0, r.size(), false);
}

PyObject* objects_raw(const Reader& r, const BoundArgs&, PyObject*) {
  const Result<std::vector<uint64_t>> offsets = r.distinct_offsets();
  if (!offsets) return raise_store_error(offsets.error());
  return payload_list(
      offsets->size(),
      [&](size_t i, size_t n, Bytes*, Bytes* out) {
        return r.locate_records(&(*offsets)[i], n, out);
      },
      [](Bytes, PyRef v) { return v.release(); });
}

// Inserts `value` (a new reference) under `name`; false with the interpreter's error.
bool put(PyObject* dict, const char* name, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return PyDict_SetItemString(dict, name, v.get()) == 0;
}

PyObject* stats(const Reader& r, const BoundArgs&, PyObject*) {
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
}

PyObject* verify(const Reader& r, const BoundArgs&, PyObject*) {
  if (Status s = r.verify(); !s) return raise_store_error(s.error());
  Py_RETURN_TRUE;
}

// close() and leaving a with block release nothing: the mapping lives as long as the
// object, so results and other threads' calls stay valid.
PyObject* close(const Reader&, const BoundArgs&, PyObject*) { Py_RETURN_NONE; }

PyObject* enter(const Reader&, const BoundArgs&, PyObject* self) { return Py_NewRef(self); }

PyObject* exit(const Reader&, const BoundArgs&, PyObject*) {
  Py_RETURN_FALSE;  // never suppress the exception of the with block
}

PyObject* repr(const Reader& r, const BoundArgs&, PyObject*) {
  const Header& h = r.header();
  const std::string text = "_VornReader('" + r.path() + "', keys=" + std::to_string(h.num_keys) +
                           ", objects=" + std::to_string(h.num_objects) + ")";
  return new_text(text);
}

// A reader never changes after construction and is never claimed exclusively, so its
// calls only check the counter instead of registering (Access::Read).
constexpr auto kMethods = std::to_array<Method<const Reader>>({
    // name, parameters (names, required count), access, implementation, documentation
    {"get_raw", {{"key"}, 1}, Access::Read, get_raw,
     "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", {{"key"}, 1}, Access::Read, exists,
     "Key presence check — no I/O beyond the in-memory hash index."},
    {"prefix_raw", {{"prefix"}, 1}, Access::Read, prefix_raw,
     "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", {}, Access::Read, keys, "All keys in sorted order."},
    {"items_raw", {}, Access::Read, items_raw,
     "All `(key, raw_bytes)` pairs in sorted key order."},
    {"items_raw_bytes", {}, Access::Read, items_raw_bytes,
     "All `(key_bytes, raw_bytes)` pairs in sorted key order.\n\n"
     "Unlike `items_raw`, keys come back as `bytes` — no UTF-8 lossy decode,\n"
     "so `merge()` can round-trip non-UTF-8 keys unchanged."},
    {"objects_raw", {}, Access::Read, objects_raw,
     "Unique objects only (deduplicated by file offset)."},
    {"stats", {}, Access::Read, stats, "Return file metadata as a `dict`."},
    {"verify", {}, Access::Read, verify, "Deep CRC32 integrity check (whole-file + per-object)."},
    {"close", {}, Access::Read, close, ""},
    {"__enter__", {}, Access::Read, enter, ""},
    {"__exit__", {{"_exc_type", "_exc_val", "_exc_tb"}, 3}, Access::Read, exit, ""},
});

constexpr Constructor<Reader> kNew = {
    {{"path", "verify"}, 1, {nullptr, "True"}},
    open_reader,
    "Low-level reader — returns raw msgpack bytes.\n"
    "**Use `vornel.VornReader` (Python wrapper) instead of this directly.**\n\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads.",
};

constexpr Method<const Reader> kRepr = {"__repr__", {}, Access::Read, repr, ""};

auto reader_methods = method_table<kClass, kMethods>();

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(docstring<kClass, kNew>.data())},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, reader_methods.data()},
    {Py_tp_new, slot(new_entry<kClass, kNew>)},
    {Py_tp_repr, slot(repr_entry<kClass, kRepr>)},
    {Py_tp_dealloc, slot(dealloc_instance<Reader>)},
    {0, nullptr},
};

// Default flags only, as for the writer: the native state is private (no subclassing)
// and instances hold no Python objects (no GC). No sequence or mapping slots either:
// every lookup goes through a method.
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
