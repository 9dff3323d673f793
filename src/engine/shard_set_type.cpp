// The shards of a sharded set as the package's ShardedReader serves them: each shard's
// file and what the manifest says of it, and its reader once open. A key goes to the
// shard that shard_of names, so that a lookup is one native call: the key's bytes, their
// CRC-32, the shard's reader and its lookup, with no Python code on the way. Shards open
// on first use, in a batch without the interpreter for a scan that needs them all, and
// each is checked against its manifest entry before it serves. Any shard that fails to
// open or to match is left to the subclass's shard(index), which opens it alone and
// raises the error that names it.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"
#include "keys.hpp"
#include "method.hpp"
#include "shard_route.hpp"
#include "store.hpp"

namespace vornel::engine {
namespace {

// A shard's file and what its manifest entry says of it.
struct ShardFile {
  PyObject* name = nullptr;  // the file's name in the version folder, a str
  uint64_t num_keys = 0;
  uint64_t num_objects = 0;
  uint64_t file_size = 0;
  uint32_t file_crc32 = 0;
};

struct ShardSet {
  const ModuleState* state = nullptr;
  PyObject* folder = nullptr;        // the version folder's path, a str
  PyObject* reader_class = nullptr;  // the class of the shards' readers
  bool verify = false;
  UnpackHooks hooks{nullptr, nullptr};  // strong references, or null
  std::vector<ShardFile> files;
  // Strong references, null until installed. Installed once; dropped together when the
  // set closes (once no call uses it) or is collected.
  std::unique_ptr<std::atomic<PyObject*>[]> readers;

  ShardSet() = default;
  ShardSet(const ShardSet&) = delete;
  ShardSet& operator=(const ShardSet&) = delete;
  ~ShardSet() {
    close();
    for (ShardFile& file : files) Py_XDECREF(file.name);
    Py_XDECREF(folder);
    Py_XDECREF(reader_class);
    Py_XDECREF(hooks.ext_hook);
    Py_XDECREF(hooks.object_hook);
  }

  size_t count() const { return files.size(); }

  void close() {
    for (size_t i = 0; readers && i < count(); ++i) {
      Py_XDECREF(readers[i].exchange(nullptr, std::memory_order_acq_rel));
    }
  }
};

using ShardSetInstance = py::Instance<ShardSet>;

constexpr py::ClassInfo<ShardSet> kClass = {"ShardSet", nullptr, &kFailures};

// Whether the store opened as `core` is the file that `file` describes.
bool matches(const ShardFile& file, const OpenedCore& opened) {
  const Reader& r = *opened.core;
  return r.header().num_keys == file.num_keys &&
         r.user_objects() == file.num_objects &&
         r.header().file_crc32 == file.file_crc32 && r.file_size() == file.file_size;
}

// A reader of the set's class over `opened`, made as the class makes its readers: the
// native state that its constructor would open, then its __init__. Null with the
// exception set.
PyObject* new_reader(const ShardSet& s, PyObject* path, std::string_view system_path,
                     OpenedCore opened) {
  auto store = std::make_unique<Store>();
  store->core = std::move(opened.core);
  store->codec = std::move(opened.codec);
  store->codec_fault = std::move(opened.codec_fault);
  store->state = s.state;
  store->path = Py_NewRef(path);
  store->system_path = system_path;
  store->verify = s.verify;
  store->hooks = {Py_XNewRef(s.hooks.ext_hook), Py_XNewRef(s.hooks.object_hook)};
  auto* type = reinterpret_cast<PyTypeObject*>(s.reader_class);
  py::PyRef reader = py::PyRef::steal(py::new_instance(type, std::move(store)));
  if (!reader) return nullptr;
  py::PyRef args = py::PyRef::steal(Py_BuildValue("(OO)", path, s.verify ? Py_True : Py_False));
  py::PyRef kwargs = py::PyRef::steal(Py_BuildValue(
      "{sOsO}", "ext_hook", s.hooks.ext_hook ? s.hooks.ext_hook : Py_None, "object_hook",
      s.hooks.object_hook ? s.hooks.object_hook : Py_None));
  if (!args || !kwargs || type->tp_init(reader.get(), args.get(), kwargs.get()) < 0) {
    return nullptr;
  }
  return reader.release();
}

// Opens those of the shards `wanted` that are not open yet, all in one stretch without the
// interpreter, and installs each that opens and matches its entry. `all_open` tells
// whether every one of them is open now. False with the exception set when a reader
// could not be made.
bool open_shards(ShardSet& s, const std::vector<size_t>& wanted, bool& all_open) {
  struct Pending {
    size_t index;
    py::PyRef path;    // str
    py::PyRef system;  // its bytes as the system takes them
    std::string_view bytes;
    std::optional<Result<OpenedCore>> opened;
  };
  std::vector<Pending> pending;
  pending.reserve(wanted.size());
  for (size_t index : wanted) {
    if (s.readers[index].load(std::memory_order_acquire) != nullptr) continue;
    Pending& p = pending.emplace_back();
    p.index = index;
    // As the subclass joins them: the folder, a slash, the name.
    p.path = py::PyRef::steal(PyUnicode_FromFormat("%U/%U", s.folder, s.files[index].name));
    if (!p.path || !path_arg(p.path.get(), p.system, p.bytes)) return false;
  }
  py::without_interpreter([&] {
    for (Pending& p : pending) p.opened = open_core(p.bytes, s.verify);
  });
  all_open = true;
  for (Pending& p : pending) {
    Result<OpenedCore>& opened = *p.opened;
    if (!opened || !matches(s.files[p.index], *opened)) {
      all_open = false;  // shard(index) says why
      continue;
    }
    PyObject* reader = new_reader(s, p.path.get(), p.bytes, std::move(*opened));
    if (reader == nullptr) return false;
    PyObject* expected = nullptr;
    if (!s.readers[p.index].compare_exchange_strong(expected, reader,
                                                    std::memory_order_acq_rel)) {
      // Another call installed the shard meanwhile: this reader is not needed.
      py::close_instance(reinterpret_cast<ReaderInstance*>(reader));
      Py_DECREF(reader);
    }
  }
  return true;
}

// The reader of the shard that `key` belongs to: the installed one (borrowed: the caller's
// claim on the set keeps it), or on first use the one opened now, or failing that the
// one that the class's shard(index) opens (a new reference, kept in `held`), which raises
// the error that names the shard. Null with the exception set.
PyObject* reader_of(PyObject* self, ShardSet& s, Bytes key, py::PyRef& held) {
  const size_t index = shard_of(key, s.count());
  if (PyObject* reader = s.readers[index].load(std::memory_order_acquire)) return reader;
  bool open = false;
  if (!open_shards(s, {index}, open)) return nullptr;
  if (open) return s.readers[index].load(std::memory_order_acquire);
  held = py::PyRef::steal(
      PyObject_CallMethod(self, "shard", "n", static_cast<Py_ssize_t>(index)));
  if (!held) return nullptr;
  if (!PyObject_TypeCheck(held.get(), reinterpret_cast<PyTypeObject*>(s.state->reader_type))) {
    PyErr_Format(PyExc_TypeError, "shard() must give a store reader, not %s",
                 Py_TYPE(held.get())->tp_name);
    return nullptr;
  }
  return held.get();
}

// The value of `key` from its shard, or `fallback` when no shard holds it (KeyError
// without one). Only str and bytes are keys.
PyObject* value_or(PyObject* self, ShardSet& s, PyObject* key, PyObject* fallback) {
  Bytes bytes;
  if (py::view_key(key, bytes) != py::KeyView::Ok) {
    if (fallback != nullptr) return Py_NewRef(fallback);
    return py::raise_key_error(key);
  }
  py::PyRef held;
  PyObject* reader = reader_of(self, s, bytes, held);
  return reader == nullptr ? nullptr : reader_value(reader, key, fallback);
}

PyObject* subscript(PyObject* self, PyObject* key) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr),
      [&](ShardSet& s) { return value_or(self, s, key, nullptr); });
}

int contains(PyObject* self, PyObject* key) {
  return py::with_instance<kClass, py::Access::Shared>(self, -1, [&](ShardSet& s) {
    Bytes bytes;
    if (py::view_key(key, bytes) != py::KeyView::Ok) return 0;
    py::PyRef held;
    PyObject* reader = reader_of(self, s, bytes, held);
    return reader == nullptr ? -1 : reader_contains(reader, key);
  });
}

PyObject* get(ShardSet& s, const py::BoundArgs& a, PyObject* self) {
  return value_or(self, s, a[0], a[1] != nullptr ? a[1] : Py_None);
}

// Opens every shard not open yet, in one batch; True when all are open.
PyObject* open_all(ShardSet& s, const py::BoundArgs&, PyObject*) {
  std::vector<size_t> wanted;
  for (size_t i = 0; i < s.count(); ++i) {
    if (s.readers[i].load(std::memory_order_acquire) == nullptr) wanted.push_back(i);
  }
  bool open = true;
  if (!wanted.empty() && !open_shards(s, wanted, open)) return nullptr;
  return PyBool_FromLong(open);
}

// A shard's number argument; false with the exception set when it is not one.
bool shard_index(const ShardSet& s, PyObject* arg, size_t& out) {
  const Py_ssize_t index = PyLong_AsSsize_t(arg);
  if (index == -1 && PyErr_Occurred()) return false;
  if (index < 0 || static_cast<size_t>(index) >= s.count()) {
    PyErr_Format(PyExc_IndexError, "shard %zd is not one of %zu", index, s.count());
    return false;
  }
  out = static_cast<size_t>(index);
  return true;
}

// Installs `reader` as shard `index`'s, unless one is installed already; returns the
// shard's reader.
PyObject* install(ShardSet& s, const py::BoundArgs& a, PyObject*) {
  size_t index;
  if (!shard_index(s, a[0], index)) return nullptr;
  PyObject* reader = a[1];
  if (!PyObject_TypeCheck(reader, reinterpret_cast<PyTypeObject*>(s.state->reader_type))) {
    PyErr_Format(PyExc_TypeError, "a shard's reader must be a store reader, not %s",
                 Py_TYPE(reader)->tp_name);
    return nullptr;
  }
  PyObject* expected = nullptr;
  Py_INCREF(reader);
  if (!s.readers[index].compare_exchange_strong(expected, reader, std::memory_order_acq_rel)) {
    Py_DECREF(reader);
    return Py_NewRef(expected);
  }
  return Py_NewRef(reader);
}

// Shard `index`'s reader, or None when it is not open.
PyObject* installed(ShardSet& s, const py::BoundArgs& a, PyObject*) {
  size_t index;
  if (!shard_index(s, a[0], index)) return nullptr;
  PyObject* reader = s.readers[index].load(std::memory_order_acquire);
  return Py_NewRef(reader != nullptr ? reader : Py_None);
}

// The installed readers in shard order, None where a shard is not open; all None once the
// set is closed.
PyObject* opened(ShardSet& s, const py::BoundArgs&, PyObject* self) {
  auto& inst = *reinterpret_cast<ShardSetInstance*>(self);
  py::PyRef out = py::PyRef::steal(py::checked(PyList_New(static_cast<Py_ssize_t>(s.count()))));
  // A claim of its own, so that a closed set answers rather than raises.
  py::Claim<py::Access::Shared, ShardSet> claim(inst);
  for (size_t i = 0; i < s.count(); ++i) {
    PyObject* reader = claim.ok() ? s.readers[i].load(std::memory_order_acquire) : nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(reader ? reader : Py_None));
  }
  return out.release();
}

// Closes the set: every later call refuses, and the readers are dropped once no call uses
// them. Returns the readers that were open, for the caller to close.
PyObject* detach(ShardSet& s, const py::BoundArgs& a, PyObject* self) {
  py::PyRef readers = py::PyRef::steal(opened(s, a, self));
  if (!readers) return nullptr;
  py::close_instance(reinterpret_cast<ShardSetInstance*>(self));
  return readers.release();
}

PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<ShardSetInstance*>(self)->access.closed());
}

// A count field of an entry; false with the exception set.
bool entry_field(PyObject* entry, const char* name, uint64_t& out) {
  py::PyRef value = py::PyRef::steal(PyObject_GetAttrString(entry, name));
  if (!value) return false;
  out = PyLong_AsUnsignedLongLong(value.get());
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

std::unique_ptr<ShardSet> make(PyTypeObject* type, const py::BoundArgs& a) {
  const ModuleState* state = state_of(type);
  if (state == nullptr) return nullptr;
  auto set = std::make_unique<ShardSet>();
  set->state = state;
  if (!PyUnicode_Check(a[0])) {
    PyErr_Format(PyExc_TypeError, "folder must be str, not %s", Py_TYPE(a[0])->tp_name);
    return nullptr;
  }
  set->folder = Py_NewRef(a[0]);
  if (!PyType_Check(a[2]) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(a[2]),
                        reinterpret_cast<PyTypeObject*>(state->reader_type))) {
    PyErr_SetString(PyExc_TypeError, "reader_class must be a store reader's class");
    return nullptr;
  }
  set->reader_class = Py_NewRef(a[2]);
  const int verify = a[3] == nullptr ? 0 : PyObject_IsTrue(a[3]);
  if (verify < 0) return nullptr;
  set->verify = verify != 0;
  if (!take_hook(a[4], "ext_hook", set->hooks.ext_hook) ||
      !take_hook(a[5], "object_hook", set->hooks.object_hook)) {
    return nullptr;
  }
  py::PyRef entries = py::PyRef::steal(PySequence_Fast(a[1], "entries must be a sequence"));
  if (!entries) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(entries.get());
  if (n < 1) {
    PyErr_SetString(PyExc_ValueError, "a set has one shard or more");
    return nullptr;
  }
  set->files.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* entry = PySequence_Fast_GET_ITEM(entries.get(), i);
    ShardFile& file = set->files[static_cast<size_t>(i)];
    uint64_t crc;
    file.name = PyObject_GetAttrString(entry, "file");
    if (file.name == nullptr || !entry_field(entry, "num_keys", file.num_keys) ||
        !entry_field(entry, "num_objects", file.num_objects) ||
        !entry_field(entry, "file_size", file.file_size) ||
        !entry_field(entry, "file_crc32", crc)) {
      return nullptr;
    }
    if (!PyUnicode_Check(file.name) || crc > UINT32_MAX) {
      PyErr_Format(PyExc_ValueError, "entry %zd is not a shard's entry", i);
      return nullptr;
    }
    file.file_crc32 = static_cast<uint32_t>(crc);
  }
  set->readers = std::make_unique<std::atomic<PyObject*>[]>(set->count());
  return set;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (ShardSet* s = reinterpret_cast<ShardSetInstance*>(self)->native) {
    Py_VISIT(s->reader_class);
    Py_VISIT(s->hooks.ext_hook);
    Py_VISIT(s->hooks.object_hook);
    for (size_t i = 0; i < s->count(); ++i) Py_VISIT(s->readers[i].load(std::memory_order_relaxed));
  }
  return 0;
}

int clear(PyObject* self) {
  if (ShardSet* s = reinterpret_cast<ShardSetInstance*>(self)->native) {
    s->close();
    Py_CLEAR(s->hooks.ext_hook);
    Py_CLEAR(s->hooks.object_hook);
  }
  return 0;
}

constexpr py::Constructor<ShardSet> kNew = {
    {{"folder", "entries", "reader_class", "verify", "ext_hook", "object_hook"},
     3,
     {nullptr, nullptr, nullptr, "False", "None", "None"},
     4},
    make,
    "The shards of a set: shard i is the file entries[i].file in *folder*, served by a "
    "*reader_class* opened with *verify* and the hooks once it matches entries[i]. Keys go "
    "to shard crc32(key bytes) % len(entries).",
};

constexpr auto kMethods = std::to_array<py::Method<ShardSet>>({
    {"get", {{"key", "default"}, 1, {nullptr, "None"}}, py::Access::Shared, get,
     "The value of *key*, or *default* when its shard does not hold it."},
    {"_open_all", {}, py::Access::Shared, open_all,
     "Open every shard not open yet, in one batch; True when all are open, else "
     "shard(index) says why."},
    {"_installed", {{"index"}, 1}, py::Access::Shared, installed,
     "Shard *index*'s reader, or None when it is not open."},
    {"_install", {{"index", "reader"}, 2}, py::Access::Shared, install,
     "Install *reader* as shard *index*'s unless one is; return the shard's reader."},
    {"_opened", {}, py::Access::None, opened,
     "The open shards' readers in shard order, None for the others."},
    {"_detach", {}, py::Access::None, detach,
     "Close the set and return the readers that were open, for the caller to close."},
});

auto shard_set_methods = py::method_table<kClass, kMethods>();

PyGetSetDef shard_set_getset[] = {
    {"closed", get_closed, nullptr, "Whether the set is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot shard_set_slots[] = {
    {Py_tp_doc, const_cast<char*>(py::docstring<kClass, kNew>.data())},
    {Py_tp_methods, shard_set_methods.data()},
    {Py_tp_getset, shard_set_getset},
    {Py_tp_new, py::slot(py::new_entry<kClass, kNew>)},
    {Py_tp_dealloc, py::slot(py::dealloc_instance<ShardSet>)},
    {Py_tp_traverse, py::slot(traverse)},
    {Py_tp_clear, py::slot(clear)},
    {Py_mp_subscript, py::slot(subscript)},
    {Py_sq_contains, py::slot(contains)},
    {0, nullptr},
};

}  // namespace

// A base class: the package's ShardedReader reads the manifest, opens a shard alone when it
// must name what is wrong with it, and adds the scans, in a subclass. It holds readers and
// hooks, so it takes part in garbage collection.
PyType_Spec shard_set_spec = {
    .name = "vornel._engine.ShardSet",
    .basicsize = sizeof(ShardSetInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = shard_set_slots,
};

}  // namespace vornel::engine
