// Staging many (key, value) pairs in one call. Pairs are taken from the iterator and
// encoded in batches with no claim held, since iteration and the packer run Python
// code; each batch is then staged under the writer's exclusive access. A pair that
// needs the per-pair path is handed back to the caller.
#include "bulk.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "encode.hpp"
#include "format.hpp"
#include "object_table_type.hpp"

namespace vornel::native {
namespace {

// Pairs per claim: large enough that claiming costs nothing per pair, small enough
// that the encodings stay in cache until they are staged.
constexpr size_t kBatch = 512;

struct Pending {
  PyObject* pair;  // owned; keeps the key's bytes alive
  Bytes key;
  size_t value_start;
  size_t value_len;
};

// One batch of pairs with their keys' bytes and their values' encodings.
class Batch {
 public:
  Batch() { pending_.reserve(kBatch); }
  ~Batch() { clear(); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  bool full() const { return pending_.size() == kBatch; }
  bool empty() const { return pending_.empty(); }
  std::string& encodings() { return encodings_; }

  void push(PyObject* pair, Bytes key, size_t value_start) {
    pending_.push_back({pair, key, value_start, encodings_.size() - value_start});
  }

  size_t size() const { return pending_.size(); }
  Bytes key(size_t i) const { return pending_[i].key; }
  Bytes value(size_t i) const {
    const Pending& p = pending_[i];
    return {reinterpret_cast<const uint8_t*>(encodings_.data()) + p.value_start, p.value_len};
  }

  void clear() {
    for (const Pending& p : pending_) Py_DECREF(p.pair);
    pending_.clear();
    encodings_.clear();
  }

 private:
  std::vector<Pending> pending_;
  std::string encodings_;
};

// The key's bytes when it is a str or bytes within the format's key length; false
// otherwise, with no error set: the per-pair path then raises what it raises.
bool key_bytes(PyObject* key, Bytes& out) {
  const char* s;
  Py_ssize_t n;
  if (PyUnicode_Check(key)) {
    s = PyUnicode_AsUTF8AndSize(key, &n);
    if (s == nullptr) {
      PyErr_Clear();
      return false;
    }
  } else if (PyBytes_Check(key)) {
    s = PyBytes_AS_STRING(key);
    n = PyBytes_GET_SIZE(key);
  } else {
    return false;
  }
  if (static_cast<uint64_t>(n) > kMaxKeyLen) return false;
  out = Bytes(reinterpret_cast<const uint8_t*>(s), static_cast<size_t>(n));
  return true;
}

bool is_encode_error(PyObject* exc) {
  return PyErr_GivenExceptionMatches(exc, PyExc_TypeError) ||
         PyErr_GivenExceptionMatches(exc, PyExc_OverflowError) ||
         PyErr_GivenExceptionMatches(exc, PyExc_ValueError);
}

enum class Taken { kAdded, kHandBack, kFailed };

// Adds `pair` (a new reference) to the batch, or says why not. A value of a type the
// encoder does not cover goes to `pack`; one that the packer rejects is handed back,
// so that the per-pair path reports it under its key.
Taken take(PyObject* pair, PyObject* pack, Batch& batch) {
  if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return Taken::kHandBack;
  Bytes key;
  if (!key_bytes(PyTuple_GET_ITEM(pair, 0), key)) return Taken::kHandBack;
  PyObject* value = PyTuple_GET_ITEM(pair, 1);
  std::string& out = batch.encodings();
  const size_t start = out.size();
  if (!encode_scalar(value, out)) {
    PyObject* packed = PyObject_CallOneArg(pack, value);
    if (packed == nullptr) {
      PyObject* exc = PyErr_GetRaisedException();
      if (is_encode_error(exc)) {
        Py_DECREF(exc);
        return Taken::kHandBack;
      }
      PyErr_SetRaisedException(exc);
      return Taken::kFailed;
    }
    if (!PyBytes_Check(packed)) {
      PyErr_Format(PyExc_TypeError, "pack() returned %s, not bytes", Py_TYPE(packed)->tp_name);
      Py_DECREF(packed);
      return Taken::kFailed;
    }
    out.append(PyBytes_AS_STRING(packed), static_cast<size_t>(PyBytes_GET_SIZE(packed)));
    Py_DECREF(packed);
  }
  batch.push(pair, key, start);
  return Taken::kAdded;
}

// Stages the batch into the writer, each value once per distinct encoding when `table`
// is an ObjectTable. Returns false with an exception set when nothing could be staged
// (an access conflict) or staging stopped part way (memory): the pairs before stay.
bool stage_batch(PyObject* module, PyObject* writer, PyObject* table, const Batch& batch) {
  if (batch.empty()) return true;
  // Hashes first, then each pair's slots fetched a few pairs ahead of its turn: the
  // tables are far larger than the cache, so each probe would otherwise wait on memory.
  constexpr size_t kAhead = 8;
  const size_t n = batch.size();
  uint64_t key_hashes[kBatch];
  uint64_t value_hashes[kBatch];
  PyObject* done =
      with_writer<py::Access::Exclusive>(module, writer, [&](Writer& w) -> PyObject* {
        for (size_t i = 0; i < n; ++i) key_hashes[i] = w.key_hash(batch.key(i));
        auto bind = [&](size_t i, uint64_t obj_id) {
          if (Status s = w.add_key_hashed(batch.key(i), key_hashes[i], obj_id); !s) {
            throw std::runtime_error("staging a checked key failed: " + s.error().message());
          }
        };
        if (table == Py_None) {
          for (size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) w.prefetch_key(key_hashes[i + kAhead]);
            bind(i, w.add_object(batch.value(i)));
          }
          Py_RETURN_NONE;
        }
        return with_object_table<py::Access::Exclusive>(
            module, table, writer, [&](ObjectTable& t) -> PyObject* {
              for (size_t i = 0; i < n; ++i) value_hashes[i] = t.hash(batch.value(i));
              for (size_t i = 0; i < n; ++i) {
                if (i + kAhead < n) {
                  w.prefetch_key(key_hashes[i + kAhead]);
                  t.prefetch(value_hashes[i + kAhead]);
                }
                bind(i, t.intern_hashed(w, batch.value(i), value_hashes[i]));
              }
              Py_RETURN_NONE;
            });
      });
  if (done == nullptr) return false;
  Py_DECREF(done);
  return true;
}

}  // namespace

PyObject* stage_pairs(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_Format(PyExc_TypeError, "stage_pairs() takes exactly 4 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* const writer = args[0];
  PyObject* const table = args[1];
  PyObject* const pairs = args[2];
  PyObject* const pack = args[3];
  if (table != Py_None && !is_object_table(module, table)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'ObjectTable'",
                 Py_TYPE(table)->tp_name);
    return nullptr;
  }
  if (!PyIter_Check(pairs)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an iterator", Py_TYPE(pairs)->tp_name);
    return nullptr;
  }
  if (!PyCallable_Check(pack)) {
    PyErr_SetString(PyExc_TypeError, "pack must be callable");
    return nullptr;
  }
  Batch batch;
  for (;;) {
    PyObject* handed_back = nullptr;
    bool ended = false;
    bool failed = false;
    while (!batch.full()) {
      PyObject* pair = PyIter_Next(pairs);
      if (pair == nullptr) {
        ended = true;
        failed = PyErr_Occurred() != nullptr;
        break;
      }
      const Taken taken = take(pair, pack, batch);
      if (taken == Taken::kAdded) continue;
      if (taken == Taken::kHandBack) {
        handed_back = pair;
      } else {
        Py_DECREF(pair);
        failed = true;
      }
      break;
    }
    // Whatever ends the batch, the pairs taken before it are staged first, so that
    // a failure stops the staging exactly where the per-pair path would stop.
    PyObject* pending_error = failed ? PyErr_GetRaisedException() : nullptr;
    const bool staged = stage_batch(module, writer, table, batch);
    batch.clear();
    if (!staged || pending_error != nullptr) {
      if (staged) {
        PyErr_SetRaisedException(pending_error);
      } else {
        Py_XDECREF(pending_error);
      }
      Py_XDECREF(handed_back);
      return nullptr;
    }
    if (handed_back != nullptr) return handed_back;
    if (ended) Py_RETURN_NONE;
  }
}

}  // namespace vornel::native
