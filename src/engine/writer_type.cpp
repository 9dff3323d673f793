// The package's writer: values encoded here, staged in the core's StoreBuilder (in memory
// up to a limit, then as sorted runs), built without the interpreter lock. A staging
// call encodes its value before it claims the writer, so that `default` may run Python
// code; the claim then covers only the staging itself. update() is the exception: it
// holds the writer from its first pair to its last, so that nothing its iterator or
// `default` calls can stage in between.
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
#include "write/store_builder.hpp"
#include "summary.hpp"

namespace vornel::engine {
namespace {

struct Staging {
  // The state of the module that made the writer, which its class keeps alive.
  const ModuleState* state = nullptr;
  std::unique_ptr<StoreBuilder> core;
  PyObject* default_fn = nullptr;     // strong reference, or null
  std::atomic<uint64_t> builds = 0;   // stores published; builds may run side by side
  std::string run_dir;                // where runs go, for the errors of writing them

  ~Staging() { Py_XDECREF(default_fn); }
};

using WriterInstance = py::Instance<Staging>;

constexpr py::ClassInfo<Staging> kClass = {"VornWriter", nullptr, &kFailures};

WriterInstance& instance(PyObject* self) { return *reinterpret_cast<WriterInstance*>(self); }

// Raises `error`, about the file detail.path or, when that is empty, `fallback`.
PyObject* raise_failure(const Staging& s, const StoreError& error, const FailureDetail& detail,
                        std::string_view fallback) {
  if (detail.duplicate_key) {
    py::PyRef key = py::PyRef::steal(key_object(Bytes(
        reinterpret_cast<const uint8_t*>(detail.duplicate_key->data()), detail.duplicate_key->size())));
    PyObject* e = PyObject_CallOneArg(s.state->duplicate_error, key.get());
    if (e != nullptr) {
      PyErr_SetObject(s.state->duplicate_error, e);
      Py_DECREF(e);
    }
    return nullptr;
  }
  return raise_store_error(*s.state, error, detail.path.empty() ? fallback : detail.path);
}

// Writes a run when memory is over the limit; false with the error raised.
bool make_room(Staging& s) {
  Status room = py::without_interpreter([&] { return s.core->make_room(); });
  if (room) return true;
  raise_failure(s, room.error(), FailureDetail{}, s.run_dir);
  return false;
}

// The DuplicateKeyError of `key`, staged before under the policy "error".
PyObject* duplicate(const Staging& s, PyObject* key) {
  PyObject* e = PyObject_CallOneArg(s.state->duplicate_error, key);
  if (e == nullptr) return nullptr;
  PyErr_SetObject(s.state->duplicate_error, e);
  Py_DECREF(e);
  return nullptr;
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

// "last", "first" or "error", as the tool spells them.
bool policy_arg(PyObject* obj, DuplicatePolicy& out) {
  if (obj == nullptr) return true;
  if (PyUnicode_Check(obj)) {
    for (auto [name, policy] : {std::pair{"last", DuplicatePolicy::Last},
                                std::pair{"first", DuplicatePolicy::First},
                                std::pair{"error", DuplicatePolicy::Error}}) {
      if (PyUnicode_EqualToUTF8(obj, name)) {
        out = policy;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "on_duplicate must be 'last', 'first' or 'error', not %R", obj);
  return false;
}

// Unstages `key`; with `must_hold`, KeyError when it is not staged.
PyObject* remove(Staging& s, const py::BoundArgs& a, PyObject* self, bool must_hold) {
  Bytes key;
  if (!stage_key(*s.state, a[0], key)) return nullptr;
  return exclusively(self, [&]() -> PyObject* {
    if (!make_room(s)) return nullptr;
    Result<bool> done = py::without_interpreter([&] { return s.core->remove(key, must_hold); });
    if (!done) return raise_failure(s, done.error(), FailureDetail{}, s.run_dir);
    if (!*done) {
      return py::raise_key_error(a[0]);
    }
    Py_RETURN_NONE;
  });
}

PyObject* discard(Staging& s, const py::BoundArgs& a, PyObject* self) {
  return remove(s, a, self, false);
}

std::unique_ptr<Staging> make_writer(PyTypeObject* type, const py::BoundArgs& a) {
  auto s = std::make_unique<Staging>();
  s->state = state_of(type);
  if (s->state == nullptr) return nullptr;
  StoreBuilderOptions options;
  const int dedup = a[0] == nullptr ? 1 : PyObject_IsTrue(a[0]);
  if (dedup < 0) return nullptr;
  options.dedup = dedup != 0;
  if (a[1] != nullptr && a[1] != Py_None) {
    if (!PyCallable_Check(a[1])) {
      PyErr_Format(PyExc_TypeError, "default must be callable or None, not %s",
                   Py_TYPE(a[1])->tp_name);
      return nullptr;
    }
    s->default_fn = Py_NewRef(a[1]);
  }
  if (!take_compression(a[2], a[3], options.compression)) return nullptr;
  if (a[4] != nullptr && a[4] != Py_None) {
    const unsigned long long limit = PyLong_AsUnsignedLongLong(a[4]);
    if (PyErr_Occurred()) return nullptr;
    options.memory_limit = limit;
  }
  py::PyRef held;
  std::string_view dir = ".";
  if (a[5] != nullptr && a[5] != Py_None && !path_arg(a[5], held, dir)) return nullptr;
  s->run_dir = std::string(dir);
  options.run_dir = s->run_dir;
  if (!policy_arg(a[6], options.policy)) return nullptr;
  s->core = std::make_unique<StoreBuilder>(std::move(options));
  if (Status usable = py::without_interpreter([&] { return s->core->check_run_dir(); }); !usable) {
    raise_failure(*s, usable.error(), FailureDetail{}, s->run_dir);
    return nullptr;
  }
  return s;
}

// Stages one pair whose key and encoding are checked: the object's ID, or the
// DuplicateKeyError of `key`.
PyObject* stage_pair(Staging& s, PyObject* key, Bytes key_bytes, Bytes value) {
  uint64_t obj_id = 0;
  StoreBuilder& b = *s.core;
  Result<StoreBuilder::Staged> staged =
      b.stage(key_bytes, b.key_hash(key_bytes), value, b.value_hash(value), &obj_id);
  if (!staged) return raise_failure(s, staged.error(), FailureDetail{}, s.run_dir);
  if (*staged == StoreBuilder::Staged::Duplicate) return duplicate(s, key);
  return py::new_uint(obj_id);
}

Bytes as_bytes(const std::string& data) {
  return {reinterpret_cast<const uint8_t*>(data.data()), data.size()};
}

PyObject* add(Staging& s, const py::BoundArgs& a, PyObject* self) {
  const ModuleState* state = s.state;
  Bytes key;
  if (!stage_key(*state, a[0], key)) return nullptr;
  std::string data;
  if (!encode_value(*state, s, a[0], a[1], data)) return nullptr;
  return exclusively(self, [&]() -> PyObject* {
    if (!make_room(s)) return nullptr;
    return stage_pair(s, a[0], key, as_bytes(data));
  });
}

// w[key] = value, as add(); del w[key] unstages the key, or raises KeyError when it is
// not staged.
int set_item(PyObject* self, PyObject* key, PyObject* value) {
  py::BoundArgs args;
  args.value[0] = key;
  args.value[1] = value;
  if (value == nullptr) {
    py::PyRef done = py::PyRef::steal(py::with_instance<kClass, py::Access::None>(
        self, static_cast<PyObject*>(nullptr), [&](Staging& s) { return remove(s, args, self, true); }));
    return done ? 0 : -1;
  }
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
  return exclusively(self, [&]() -> PyObject* {
    if (!make_room(s)) return nullptr;
    uint64_t obj_id = 0;
    size_t repeated = 0;
    Result<StoreBuilder::Staged> staged = s.core->stage_many(views, as_bytes(data), &obj_id, &repeated);
    if (!staged) return raise_failure(s, staged.error(), FailureDetail{}, s.run_dir);
    if (*staged == StoreBuilder::Staged::Duplicate) {
      return duplicate(s, PyTuple_GET_ITEM(keys.get(), static_cast<Py_ssize_t>(repeated)));
    }
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
  PyObject* key_object(size_t i) const { return pending_[i].key_object; }
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
// probe would otherwise wait on memory. A run is written first when memory is full. A
// key that the policy refuses ends the staging there, with its error raised; false then.
bool stage_batch(Staging& s, Batch& batch) {
  constexpr size_t kAhead = 8;
  const size_t n = batch.size();
  if (n == 0) return true;
  if (!make_room(s)) {
    batch.clear();
    return false;
  }
  uint64_t key_hashes[kBatchPairs];
  uint64_t value_hashes[kBatchPairs];
  StoreBuilder& b = *s.core;
  for (size_t i = 0; i < n; ++i) {
    key_hashes[i] = b.key_hash(batch.key(i));
    value_hashes[i] = b.value_hash(batch.value(i));
  }
  bool ok = true;
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      b.prefetch(key_hashes[i + kAhead], value_hashes[i + kAhead]);
      b.prefetch_runs(key_hashes[i + kAhead]);
    }
    uint64_t obj_id;
    Result<StoreBuilder::Staged> staged =
        b.stage(batch.key(i), key_hashes[i], batch.value(i), value_hashes[i], &obj_id);
    if (!staged) {
      raise_failure(s, staged.error(), FailureDetail{}, s.run_dir);
      ok = false;
      break;
    }
    if (*staged == StoreBuilder::Staged::Duplicate) {
      duplicate(s, batch.key_object(i));
      ok = false;
      break;
    }
  }
  batch.clear();
  return ok;
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
      // A pair the batch refuses came before whatever ended the pairs: its error wins.
      if (!stage_batch(s, batch)) return nullptr;
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
        if (!stage_batch(s, batch)) return nullptr;
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
    case BuildPhase::Merge:
      return "merge";
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
// `progress` how far the phase has come: (phase, done, total). Either failing cancels
// the build, whose error then is the exception they raised.
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
  bool step(BuildPhase phase, uint64_t done, uint64_t total) noexcept {
    PyEval_RestoreThread(saved_);
    bool go = PyErr_CheckSignals() == 0;
    if (go && progress_ != nullptr && phase_name(phase) != nullptr) {
      py::PyRef r = py::PyRef::steal(PyObject_CallFunction(
          progress_, "sKK", phase_name(phase), static_cast<unsigned long long>(done),
          static_cast<unsigned long long>(total)));
      go = static_cast<bool>(r);
    }
    saved_ = PyEval_SaveThread();
    return go;
  }

 private:
  PyObject* progress_;
  PyThreadState* saved_ = nullptr;
};

PyObject* build(Staging& s, const py::BoundArgs& a, PyObject* self) {
  py::PyRef held;
  std::string_view path;
  if (!path_arg(a[0], held, path)) return nullptr;
  PyObject* const progress = a[1] != nullptr && a[1] != Py_None ? a[1] : nullptr;
  if (progress != nullptr && !PyCallable_Check(progress)) {
    PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %s",
                 Py_TYPE(progress)->tp_name);
    return nullptr;
  }
  {
    // Entries in memory go to a run first when there are other sources to merge them
    // with, so that the merge's memory is its own. Only when nothing else uses the writer:
    // another build under way is left alone, and this one merges what memory holds.
    py::Claim<py::Access::Exclusive, Staging> alone(instance(self));
    if (alone.ok() && s.core->run_before_build()) {
      Status written = py::without_interpreter([&] { return s.core->write_buffer_run(); });
      if (!written) return raise_failure(s, written.error(), FailureDetail{}, s.run_dir);
    }
  }
  // Shared: staging is refused while the store is written, other builds are not.
  py::Claim<py::Access::Shared, Staging> claim(instance(self));
  if (!claim.ok()) return kFailures.refused(Py_TYPE(self), py::Access::Shared, claim.refusal());
  BuildWatch watch(progress);
  MergeOptions options;
  options.key_table = true;
  options.progress = [&](BuildPhase phase, uint64_t done, uint64_t total) {
    return watch.step(phase, done, total);
  };
  FailureDetail detail;
  Result<BuildReport> report = watch.run([&] { return s.core->build(path, options, &detail); });
  if (!report) return raise_failure(s, report.error(), detail, path);
  s.builds.fetch_add(1, std::memory_order_relaxed);
  // Ctrl-C that came after the last check, during the rename, finds the store published:
  // the build is done, and it says so rather than raise as if it had been stopped.
  if (PyErr_CheckSignals() < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return nullptr;
    PyErr_Clear();
  }
  // The store's values: its key table's and dictionary's records aside.
  const uint64_t objects =
      report->num_objects - (report->key_table ? 1 : 0) - (report->dictionary ? 1 : 0);
  // A name that is not UTF-8 keeps its bytes escaped, as os.fsdecode() shows it.
  const std::string line = summary_line(path, objects, report->num_keys, report->file_size);
  return py::checked(
      PyUnicode_DecodeFSDefaultAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
}

// Includes every key of the store or run at `path`, with its stored record.
PyObject* include(Staging& s, const py::BoundArgs& a, PyObject* self) {
  py::PyRef held;
  std::string_view path;
  if (!path_arg(a[0], held, path)) return nullptr;
  return exclusively(self, [&]() -> PyObject* {
    FailureDetail detail;
    Status done = py::without_interpreter([&] { return s.core->include(std::string(path), &detail); });
    if (!done) return raise_failure(s, done.error(), detail, s.run_dir);
    Py_RETURN_NONE;
  });
}

// Publishes everything staged as one sorted run at `path`; returns its entries.
PyObject* write_run(Staging& s, const py::BoundArgs& a, PyObject* self) {
  py::PyRef held;
  std::string_view path;
  if (!path_arg(a[0], held, path)) return nullptr;
  py::Claim<py::Access::Shared, Staging> claim(instance(self));
  if (!claim.ok()) return kFailures.refused(Py_TYPE(self), py::Access::Shared, claim.refusal());
  FailureDetail detail;
  Result<uint64_t> entries =
      py::without_interpreter([&] { return s.core->write_run_file(path, &detail); });
  if (!entries) return raise_failure(s, entries.error(), detail, path);
  return py::new_uint(*entries);
}

// -- counts -------------------------------------------------------------------------------

Py_ssize_t length(PyObject* self) {
  return py::with_instance<kClass, py::Access::Shared>(self, Py_ssize_t{-1}, [](Staging& s) {
    FailureDetail detail;
    Result<uint64_t> n = py::without_interpreter([&] { return s.core->size(&detail); });
    if (!n) {
      raise_failure(s, n.error(), detail, s.run_dir);
      return Py_ssize_t{-1};
    }
    return static_cast<Py_ssize_t>(*n);
  });
}

int contains(PyObject* self, PyObject* key) {
  return py::with_instance<kClass, py::Access::Shared>(self, -1, [&](Staging& s) {
    Bytes bytes;
    if (py::view_key(key, bytes) != py::KeyView::Ok) return 0;
    FailureDetail detail;
    Result<bool> found = s.core->contains(bytes, &detail);
    if (!found) {
      raise_failure(s, found.error(), detail, s.run_dir);
      return -1;
    }
    return *found ? 1 : 0;
  });
}

PyObject* num_objects(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr),
      [](Staging& s) { return py::new_uint(s.core->objects_numbered()); });
}

// (distinct values recorded, bytes of memory) of the dedup table, or None without one.
PyObject* dedup_table(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr), [](Staging& s) -> PyObject* {
        const auto table = s.core->dedup_table();
        if (!table) Py_RETURN_NONE;
        return py::checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(table->first),
                                         static_cast<unsigned long long>(table->second)));
      });
}

// The runs written so far.
PyObject* runs(PyObject* self, void*) {
  return py::with_instance<kClass, py::Access::Shared>(
      self, static_cast<PyObject*>(nullptr), [](Staging& s) { return py::new_uint(s.core->runs()); });
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
    {"discard", {{"key"}, 1}, py::Access::None, discard,
     "Unstage *key* if it is staged."},
    {"include", {{"path"}, 1}, py::Access::None, include,
     "Stage every key of the store (or run) at *path* with its stored record, as it is."},
    {"build", {{"path", "progress"}, 1, {nullptr, "None"}, 1}, py::Access::None, build,
     "Publish the staged store at *path* (temporary file, fsync, rename) and return the "
     "summary line. *progress*, when given, is called with (phase, done, total): "
     "'compress' first when the writer compresses."},
    {"write_run", {{"path"}, 1}, py::Access::None, write_run,
     "Publish everything staged as one sorted run at *path*; return its entries."},
});

constexpr py::Constructor<Staging> kNew = {
    {{"dedup", "default", "compression", "compression_level", "memory_limit", "run_dir",
      "on_duplicate"},
     0,
     {"True", "None", "None", "None", "None", "None", "'last'"},
     0},
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
    {"_runs", runs, nullptr, "The sorted runs written so far.", nullptr},
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
