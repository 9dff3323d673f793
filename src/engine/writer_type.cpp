// The package's writer: values encoded here, staged with dedup, built without the
// interpreter lock. A staging call encodes its value before it claims the writer, so
// that `default` may run Python code; the claim then covers only the staging itself.
// update() is the exception: it holds the writer from its first pair to its last, so
// that nothing its iterator or `default` calls can stage in between.
#include "classes.hpp"

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "errors.hpp"
#include "keys.hpp"
#include "method.hpp"
#include "msgpack_encode.hpp"
#include "object_table.hpp"
#include "summary.hpp"
#include "writer.hpp"

namespace vornel::engine {
namespace {

struct Staging {
  // The state of the module that made the writer, which its class keeps alive.
  const ModuleState* state = nullptr;
  Writer core;
  std::optional<ObjectTable> table;  // the object of each distinct encoding, with dedup
  PyObject* default_fn = nullptr;     // strong reference, or null
  std::atomic<uint64_t> builds = 0;   // stores published; builds may run side by side
  CompressionOptions compression;     // none unless asked for

  ~Staging() { Py_XDECREF(default_fn); }
};

using WriterInstance = py::Instance<Staging>;

constexpr py::ClassInfo<Staging> kClass = {"VornWriter", nullptr, &kFailures};

WriterInstance& instance(PyObject* self) { return *reinterpret_cast<WriterInstance*>(self); }

// The object holding `data`: the one staged with equal bytes under dedup, else a new one.
uint64_t intern(Staging& s, Bytes data) {
  return s.table ? s.table->intern(s.core, data) : s.core.add_object(data);
}

// Binds a key that stage_key has checked; only memory can fail it.
void bind(Staging& s, Bytes key, uint64_t obj_id) {
  if (Status st = s.core.add_key(key, obj_id); !st) {
    throw std::runtime_error("staging a checked key failed: " + st.error().message());
  }
}

// The error of a value that `pack` refused, as the exception class its callers catch,
// naming the key; the packer's own error becomes its cause. Errors that are no encoding
// error (a `default` that raised KeyError, MemoryError) pass unchanged.
void name_the_key(const ModuleState& state, PyObject* key) {
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* cls = nullptr;
  if (PyErr_GivenExceptionMatches(raised, state.limit_error)) {
    cls = state.limit_error;
  } else {
    // Subclasses (UnicodeEncodeError for a lone surrogate) take other constructor
    // arguments: report them as the built-in class they derive from.
    for (PyObject* c : {PyExc_TypeError, PyExc_OverflowError, PyExc_ValueError}) {
      if (PyErr_GivenExceptionMatches(raised, c)) {
        cls = c;
        break;
      }
    }
  }
  if (cls == nullptr) {
    PyErr_SetRaisedException(raised);
    return;
  }
  py::PyRef cause = py::PyRef::steal(raised);
  py::PyRef named = py::PyRef::steal(
      PyUnicode_FromFormat("cannot encode the value of key %R: %S", key, cause.get()));
  if (!named) return;
  py::PyRef error = py::PyRef::steal(PyObject_CallOneArg(cls, named.get()));
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
}

// Appends the encoding of `value` to `out`; on failure `out` is as it was and the
// error names `key`.
bool encode_value(const ModuleState& state, const Staging& s, PyObject* key, PyObject* value,
                  std::string& out) {
  const size_t start = out.size();
  if (pack(value, s.default_fn, state.codec, out)) return true;
  out.resize(start);
  name_the_key(state, key);
  return false;
}

// Runs body() under an exclusive claim of the writer, or raises WriterBusyError.
template <class Body>
PyObject* exclusively(PyObject* self, Body&& body) {
  py::Claim<py::Access::Exclusive, Staging> claim(instance(self));
  if (!claim.ok()) return kFailures.refused(Py_TYPE(self), py::Access::Exclusive, claim.refusal());
  return body();
}

// compression=None or "zstd", and compression_level=None or an int zstd takes.
bool take_compression(PyObject* name, PyObject* level, CompressionOptions& out) {
  if (name != nullptr && name != Py_None) {
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "zstd") != 0) {
      PyErr_Format(PyExc_ValueError, "compression must be None or 'zstd', not %R", name);
      return false;
    }
    out.codec = Codec::Zstd;
  }
  if (level == nullptr || level == Py_None) return true;
  if (out.codec == Codec::None) {
    PyErr_SetString(PyExc_ValueError, "compression_level needs compression='zstd'");
    return false;
  }
  if (!PyLong_Check(level) || PyBool_Check(level)) {
    PyErr_Format(PyExc_TypeError, "compression_level must be an int or None, not %s",
                 Py_TYPE(level)->tp_name);
    return false;
  }
  int overflow = 0;
  const long n = PyLong_AsLongAndOverflow(level, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || n < min_compression_level() || n > max_compression_level()) {
    PyErr_Format(PyExc_ValueError, "compression_level must be from %d to %d, not %R",
                 min_compression_level(), max_compression_level(), level);
    return false;
  }
  out.level = static_cast<int>(n);
  return true;
}

std::unique_ptr<Staging> make_writer(PyTypeObject* type, const py::BoundArgs& a) {
  auto s = std::make_unique<Staging>();
  s->state = state_of(type);
  if (s->state == nullptr) return nullptr;
  const int dedup = a[0] == nullptr ? 1 : PyObject_IsTrue(a[0]);
  if (dedup < 0) return nullptr;
  if (dedup) s->table.emplace();
  if (a[1] != nullptr && a[1] != Py_None) {
    if (!PyCallable_Check(a[1])) {
      PyErr_Format(PyExc_TypeError, "default must be callable or None, not %s",
                   Py_TYPE(a[1])->tp_name);
      return nullptr;
    }
    s->default_fn = Py_NewRef(a[1]);
  }
  if (!take_compression(a[2], a[3], s->compression)) return nullptr;
  return s;
}

PyObject* add(Staging& s, const py::BoundArgs& a, PyObject* self) {
  const ModuleState* state = s.state;
  Bytes key;
  if (!stage_key(*state, a[0], key)) return nullptr;
  std::string data;
  if (!encode_value(*state, s, a[0], a[1], data)) return nullptr;
  return exclusively(self, [&] {
    const uint64_t obj_id = intern(s, Bytes(reinterpret_cast<const uint8_t*>(data.data()),
                                            data.size()));
    bind(s, key, obj_id);
    return py::new_uint(obj_id);
  });
}

// w[key] = value, as add(); deleting a staged key is not something a writer does.
int set_item(PyObject* self, PyObject* key, PyObject* value) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "a VornWriter cannot delete a staged key");
    return -1;
  }
  py::BoundArgs args;
  args.value[0] = key;
  args.value[1] = value;
  py::PyRef id = py::PyRef::steal(py::with_instance<kClass, py::Access::None>(
      self, static_cast<PyObject*>(nullptr), [&](Staging& s) { return add(s, args, self); }));
  return id ? 0 : -1;
}

PyObject* add_many(Staging& s, const py::BoundArgs& a, PyObject* self) {
  const ModuleState* state = s.state;
  // Every key is checked before anything is staged: the call stages all or nothing. A
  // tuple of its own holds the keys, whose bytes are borrowed, while `default` runs:
  // the caller's list may change meanwhile.
  py::PyRef keys = py::PyRef::steal(PySequence_Tuple(a[0]));
  if (!keys) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(keys.get());
  std::vector<Bytes> views(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!stage_key(*state, PyTuple_GET_ITEM(keys.get(), i), views[static_cast<size_t>(i)])) {
      return nullptr;
    }
  }
  // A value that cannot be encoded is reported under the first key, or "" for none.
  py::PyRef named = py::PyRef::steal(n > 0 ? Py_NewRef(PyTuple_GET_ITEM(keys.get(), 0))
                                           : PyUnicode_FromString(""));
  if (!named) return nullptr;
  std::string data;
  if (!encode_value(*state, s, named.get(), a[1], data)) return nullptr;
  return exclusively(self, [&] {
    const uint64_t obj_id = intern(s, Bytes(reinterpret_cast<const uint8_t*>(data.data()),
                                            data.size()));
    for (const Bytes& key : views) bind(s, key, obj_id);
    return py::new_uint(obj_id);
  });
}

// -- update: pairs in batches ---------------------------------------------------------

// Pairs per batch: enough that the tables' slots can be fetched ahead of their turn.
constexpr size_t kBatchPairs = 512;
// Encoded bytes per batch: a batch of large values is staged as soon as it holds this
// much, so that update() holds little more than add() would.
constexpr size_t kBatchBytes = size_t{1} << 20;

// One batch of pairs: their keys' bytes (borrowed from the key objects it holds) and
// their values' encodings.
class Batch {
 public:
  Batch() { pending_.reserve(kBatchPairs); }
  ~Batch() { clear(); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  bool full() const { return pending_.size() == kBatchPairs || encodings_.size() >= kBatchBytes; }
  size_t size() const { return pending_.size(); }
  std::string& encodings() { return encodings_; }

  // Takes over a reference to `key_object`, whose bytes `key` are.
  void push(PyObject* key_object, Bytes key, size_t value_start) {
    pending_.push_back({key_object, key, value_start, encodings_.size() - value_start});
  }
  Bytes key(size_t i) const { return pending_[i].key; }
  Bytes value(size_t i) const {
    const Pending& p = pending_[i];
    return {reinterpret_cast<const uint8_t*>(encodings_.data()) + p.value_start, p.value_len};
  }
  void clear() {
    for (const Pending& p : pending_) Py_DECREF(p.key_object);
    pending_.clear();
    encodings_.clear();
  }

 private:
  struct Pending {
    PyObject* key_object;
    Bytes key;
    size_t value_start;
    size_t value_len;
  };
  std::vector<Pending> pending_;
  std::string encodings_;
};

// Stages the batch, hashing every key and value first so that each pair's table slots
// can be fetched a few pairs ahead of its turn: the tables outgrow the cache, and each
// probe would otherwise wait on memory.
void stage_batch(Staging& s, Batch& batch) {
  constexpr size_t kAhead = 8;
  const size_t n = batch.size();
  uint64_t key_hashes[kBatchPairs];
  uint64_t value_hashes[kBatchPairs];
  Writer& w = s.core;
  for (size_t i = 0; i < n; ++i) key_hashes[i] = w.key_hash(batch.key(i));
  auto bind_hashed = [&](size_t i, uint64_t obj_id) {
    if (Status st = w.add_key_hashed(batch.key(i), key_hashes[i], obj_id); !st) {
      throw std::runtime_error("staging a checked key failed: " + st.error().message());
    }
  };
  if (!s.table) {
    for (size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) w.prefetch_key(key_hashes[i + kAhead]);
      bind_hashed(i, w.add_object(batch.value(i)));
    }
  } else {
    ObjectTable& t = *s.table;
    for (size_t i = 0; i < n; ++i) value_hashes[i] = t.hash(batch.value(i));
    for (size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) {
        w.prefetch_key(key_hashes[i + kAhead]);
        t.prefetch(value_hashes[i + kAhead]);
      }
      bind_hashed(i, t.intern_hashed(w, batch.value(i), value_hashes[i]));
    }
  }
  batch.clear();
}

// The iterator of (key, value) pairs of `items`: its items() when it has keys(), as
// dict.update decides, else `items` itself.
PyObject* pairs_of(PyObject* items) {
  const int mapping = PyDict_CheckExact(items) ? 1 : PyObject_HasAttrStringWithError(items, "keys");
  if (mapping < 0) return nullptr;
  if (mapping) {
    py::PyRef view = py::PyRef::steal(PyObject_CallMethod(items, "items", nullptr));
    return view ? PyObject_GetIter(view.get()) : nullptr;
  }
  return PyObject_GetIter(items);
}

// The key and value of item `number` of update(): a sequence of two, as dict.update
// takes them. `*pair` becomes a new reference that holds both.
bool unpack_pair(PyObject* item, size_t number, PyObject** pair, PyObject** key,
                 PyObject** value) {
  PyObject* seq = PySequence_Fast(item, "");
  if (seq == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot convert update() element #%zu (a %s) to a sequence",
                 number, Py_TYPE(item)->tp_name);
    return false;
  }
  if (const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq); n != 2) {
    PyErr_Format(PyExc_ValueError, "update() element #%zu has length %zd; 2 is required",
                 number, n);
    Py_DECREF(seq);
    return false;
  }
  *pair = seq;
  *key = PySequence_Fast_GET_ITEM(seq, 0);
  *value = PySequence_Fast_GET_ITEM(seq, 1);
  return true;
}

PyObject* update(Staging& s, const py::BoundArgs& a, PyObject* self) {
  const ModuleState* state = s.state;
  if (a[0] == nullptr) Py_RETURN_NONE;
  return exclusively(self, [&]() -> PyObject* {
    py::PyRef pairs = py::PyRef::steal(pairs_of(a[0]));
    if (!pairs) return nullptr;
    Batch batch;
    // Whatever ends the pairs, those taken before are staged first, so that a failure
    // stops the staging exactly where add() pair by pair would stop.
    auto finish = [&](bool ok) -> PyObject* {
      py::PyRef pending = py::PyRef::steal(ok ? nullptr : PyErr_GetRaisedException());
      stage_batch(s, batch);
      if (pending) {
        PyErr_SetRaisedException(pending.release());
        return nullptr;
      }
      Py_RETURN_NONE;
    };
    for (size_t number = 0;; ++number) {
      py::PyRef item = py::PyRef::steal(PyIter_Next(pairs.get()));
      if (!item) break;
      PyObject *pair, *borrowed_key, *borrowed_value;
      if (!unpack_pair(item.get(), number, &pair, &borrowed_key, &borrowed_value)) {
        return finish(false);
      }
      py::PyRef held = py::PyRef::steal(pair);
      // Held apart from the pair, which `default` may change if it is a list.
      py::PyRef key = py::PyRef::steal(Py_NewRef(borrowed_key));
      py::PyRef value = py::PyRef::steal(Py_NewRef(borrowed_value));
      Bytes key_bytes;
      std::string& out = batch.encodings();
      const size_t start = out.size();
      if (!stage_key(*state, key.get(), key_bytes) ||
          !encode_value(*state, s, key.get(), value.get(), out)) {
        return finish(false);
      }
      batch.push(key.release(), key_bytes, start);
      if (batch.full()) {
        stage_batch(s, batch);
        // Native iteration of a dict runs no bytecode that would notice a signal.
        if (PyErr_CheckSignals() < 0) return nullptr;
      }
    }
    return finish(!PyErr_Occurred());
  });
}

// -- build ------------------------------------------------------------------------------

// The phase's name for `progress`, or null for the check before the rename, which
// looks for Ctrl-C alone.
const char* phase_name(BuildPhase phase) {
  switch (phase) {
    case BuildPhase::Compress:
      return "compress";
    case BuildPhase::Sort:
      return "sort";
    case BuildPhase::Write:
      return "write";
    case BuildPhase::Fsync:
      return "fsync";
    case BuildPhase::Rename:
      break;
  }
  return nullptr;
}

// The build runs without the interpreter; at each step it reports, it takes the
// interpreter back for a moment to see whether Ctrl-C was pressed and to tell
// `progress` of a new phase. Either failing cancels the build, whose error then is the
// exception they raised.
class BuildWatch {
 public:
  explicit BuildWatch(PyObject* progress) : progress_(progress) {}

  // Runs build() without the interpreter, which step() takes back for its moments.
  template <class F>
  auto run(F&& build) {
    saved_ = PyThreadState_Get();  // the state that letting go of the interpreter keeps
    return py::without_interpreter(build);
  }

  // Called by the build, without the interpreter.
  bool step(BuildPhase phase) noexcept {
    PyEval_RestoreThread(saved_);
    bool go = PyErr_CheckSignals() == 0;
    if (go && progress_ != nullptr && phase_name(phase) != nullptr &&
        (!reported_ || phase != last_)) {
      reported_ = true;
      last_ = phase;
      py::PyRef name = py::PyRef::steal(PyUnicode_FromString(phase_name(phase)));
      py::PyRef r = py::PyRef::steal(name ? PyObject_CallOneArg(progress_, name.get()) : nullptr);
      go = static_cast<bool>(r);
    }
    saved_ = PyEval_SaveThread();
    return go;
  }

 private:
  PyObject* progress_;
  PyThreadState* saved_ = nullptr;
  BuildPhase last_ = BuildPhase::Sort;
  bool reported_ = false;
};

PyObject* build(Staging& s, const py::BoundArgs& a, PyObject* self) {
  const ModuleState* state = s.state;
  py::PyRef held;
  std::string_view path;
  if (!path_arg(a[0], held, path)) return nullptr;
  PyObject* const progress = a[1] != nullptr && a[1] != Py_None ? a[1] : nullptr;
  if (progress != nullptr && !PyCallable_Check(progress)) {
    PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %s",
                 Py_TYPE(progress)->tp_name);
    return nullptr;
  }
  // Shared: staging is refused while the store is written, other builds are not.
  py::Claim<py::Access::Shared, Staging> claim(instance(self));
  if (!claim.ok()) return kFailures.refused(Py_TYPE(self), py::Access::Shared, claim.refusal());
  BuildWatch watch(progress);
  BuildOptions options;
  options.key_table = true;
  options.remove_temp_on_failure = true;
  options.keep_mode = true;
  options.compression = s.compression;
  options.progress = [&](BuildPhase phase, uint64_t, uint64_t) { return watch.step(phase); };
  Result<BuildReport> report = watch.run([&] { return s.core.build(path, options); });
  if (!report) return raise_store_error(*state, report.error(), path);
  s.builds.fetch_add(1, std::memory_order_relaxed);
  // Ctrl-C that came after the last check, during the rename, finds the store published:
  // the build is done, and it says so rather than raise as if it had been stopped.
  if (PyErr_CheckSignals() < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return nullptr;
    PyErr_Clear();
  }
  // The user's objects, as the writer counts them: the key table's and the dictionary's
  // records are the store's.
  const uint64_t objects =
      report->num_objects - (report->key_table ? 1 : 0) - (report->dictionary ? 1 : 0);
  // A name that is not UTF-8 keeps its bytes escaped, as os.fsdecode() shows it.
  const std::string line = summary_line(path, objects, report->num_keys, report->file_size);
  return py::checked(
      PyUnicode_DecodeFSDefaultAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
}

// -- counts -------------------------------------------------------------------------------

Py_ssize_t length(PyObject* self) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, Py_ssize_t{-1},
      [](Staging& s) { return static_cast<Py_ssize_t>(s.core.num_keys()); });
}

int contains(PyObject* self, PyObject* key) {
  return py::with_instance<kClass, py::Access::Shared>(self, -1, [&](Staging& s) {
    Bytes bytes;
    if (py::view_key(key, bytes) != py::KeyView::Ok) return 0;
    return s.core.contains(bytes) ? 1 : 0;
  });
}

PyObject* num_objects(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr),
      [](Staging& s) { return py::new_uint(s.core.num_objects()); });
}

// (distinct values recorded, bytes of memory) of the dedup table, or None without one.
PyObject* dedup_table(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr), [](Staging& s) -> PyObject* {
        if (!s.table) Py_RETURN_NONE;
        return py::checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(s.table->size()),
                                         static_cast<unsigned long long>(s.table->memory_bytes())));
      });
}

PyObject* builds(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr), [](Staging& s) { return py::new_uint(s.builds.load(std::memory_order_relaxed)); });
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (Staging* s = instance(self).native) Py_VISIT(s->default_fn);
  return 0;
}

int clear(PyObject* self) {
  if (Staging* s = instance(self).native) Py_CLEAR(s->default_fn);
  return 0;
}

constexpr auto kMethods = std::to_array<py::Method<Staging>>({
    // name, parameters (names, required count, defaults, keyword-only from), access,
    // implementation, documentation
    {"add", {{"key", "value"}, 2}, py::Access::None, add,
     "Bind *key* (str or bytes) to the MessagePack encoding of *value*; return the object "
     "ID."},
    {"add_many", {{"keys", "value"}, 2}, py::Access::None, add_many,
     "Bind every key of *keys* to one object holding *value*; return its ID. Every key is "
     "checked before anything is staged."},
    {"update", {{"items"}, 0, {"()"}}, py::Access::None, update,
     "Add every pair of a mapping or an iterable of (key, value) pairs, as add() would one "
     "by one. The writer refuses any other call until it returns."},
    {"build", {{"path", "progress"}, 1, {nullptr, "None"}, 1}, py::Access::None, build,
     "Publish the staged store at *path* (temporary file, fsync, rename) and return the "
     "summary line. *progress*, when given, is called with each phase's name."},
});

constexpr py::Constructor<Staging> kNew = {
    {{"dedup", "default", "compression", "compression_level"}, 0,
     {"True", "None", "None", "None"}, 0},
    make_writer,
    "Stages keys bound to values encoded as MessagePack, then publishes them as one store "
    "file.",
};

auto writer_methods = py::method_table<kClass, kMethods>();

PyGetSetDef writer_getset[] = {
    {"num_objects", num_objects, nullptr, "The number of distinct objects staged.", nullptr},
    {"builds", builds, nullptr, "The number of stores this writer has published.", nullptr},
    {"_dedup_table", dedup_table, nullptr,
     "(distinct values recorded, bytes of memory) of the dedup table, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>(py::docstring<kClass, kNew>.data())},
    {Py_tp_methods, writer_methods.data()},
    {Py_tp_getset, writer_getset},
    {Py_tp_new, py::slot(py::new_entry<kClass, kNew>)},
    {Py_tp_dealloc, py::slot(py::dealloc_instance<Staging>)},
    {Py_tp_traverse, py::slot(traverse)},
    {Py_tp_clear, py::slot(clear)},
    {Py_sq_length, py::slot(length)},
    {Py_sq_contains, py::slot(contains)},
    {Py_mp_length, py::slot(length)},
    {Py_mp_ass_subscript, py::slot(set_item)},
    {0, nullptr},
};

}  // namespace

// A base class: the package's VornWriter adds its Python conveniences in a subclass.
// It holds `default`, so it takes part in garbage collection.
PyType_Spec writer_spec = {
    .name = "vornel._engine.Writer",
    .basicsize = sizeof(WriterInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = writer_slots,
};

}  // namespace vornel::engine
