// Cursors: the keys, values or items of a run of ranks, read one entry per step, so that
// iterating a store takes constant memory. A cursor holds its reader and claims it at
// each step: after the reader's close() the next step raises ValueError.
#include <memory>
#include <span>
#include <string>

#include "classes.hpp"
#include "errors.hpp"
#include "store_words.hpp"
#include "keys.hpp"
#include "method.hpp"
#include "store.hpp"

namespace vornel::engine {

std::string_view path_of(const Store& store) { return store.system_path; }

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

// Values that decompress to this many bytes or more are decompressed without the
// interpreter, which other threads may use meanwhile.
constexpr uint64_t kLargeValue = 64 << 10;

// Decompressed values up to this size land on the stack: most values are small, and a
// lookup should not allocate for them.
constexpr uint64_t kSmallExpanded = 4096;

// Decompresses `data`, a copy of a compressed payload, into `small` when it fits, else into
// `large` (its size is bounded by the store's longest value), and points `data` at the
// result.
Status expand(const ValueCodec& codec, Bytes& data, std::span<uint8_t, kSmallExpanded> small,
              std::unique_ptr<uint8_t[]>& large) {
  auto size = codec.decoded_size(data);
  if (!size) return fail(std::move(size.error()));
  uint8_t* to = small.data();
  if (*size > small.size()) {
    large = std::make_unique_for_overwrite<uint8_t[]>(*size);
    to = large.get();
  }
  const auto run = [&] { return codec.decompress(data, to, *size); };
  Status done = *size >= kLargeValue ? py::without_interpreter(run) : run();
  if (done) data = Bytes(to, *size);
  return done;
}

// Decodes `data`, decompressed first when the store holds it compressed. A malformed
// value raises DecodeError naming the key that key_of()
// makes (a PyRef, null with an exception set when it cannot be made); a hook's exception
// passes unchanged.
template <class KeyOf>
PyObject* decode_naming(const ModuleState& state, const Store& store, Bytes data,
                        KeyOf&& key_of) {
  uint8_t small[kSmallExpanded];
  std::unique_ptr<uint8_t[]> large;
  if (ValueCodec::compressed(data) && (store.codec || store.codec_fault)) {
    if (Status st = store.codec ? expand(*store.codec, data, small, large)
                                : Status(fail(*store.codec_fault));
        !st) {
      py::PyRef key = key_of();
      if (!key) return nullptr;
      py::PyRef text = py::PyRef::steal(PyUnicode_FromFormat(
          "%s: the value of key %R: %s", std::string(path_of(store)).c_str(), key.get(),
          message_of(st.error()).c_str()));
      if (text) PyErr_SetObject(state.corrupt_error, text.get());
      return nullptr;
    }
  }
  PyObject* out = nullptr;
  Malformed why;
  switch (unpack(data, store.hooks, state.codec, &out, &why, state.keys)) {
    case UnpackStatus::Ok:
      return out;
    case UnpackStatus::Raised:
      return nullptr;  // a hook's exception, unchanged
    case UnpackStatus::Malformed:
      break;
  }
  py::PyRef key = key_of();
  if (!key) return nullptr;
  py::PyRef text = py::PyRef::steal(PyUnicode_FromFormat(
      "cannot decode the value of key %R: %s", key.get(), why.reason.c_str()));
  if (!text) return nullptr;
  return raise_decode_error(state, why, text.get(), data);
}

}  // namespace

PyObject* decode_copy(const ModuleState& state, const Store& store, Bytes data, PyObject* key) {
  return decode_naming(state, store, data, [&] { return py::PyRef::borrow(key); });
}

PyObject* decode_copy(const ModuleState& state, const Store& store, Bytes data,
                      Bytes mapped_key) {
  return decode_naming(state, store, data, [&] {
    uint8_t small[256];
    std::string large;
    Result<Bytes> copy = copied(mapped_key, small, large);
    if (!copy) {
      raise_store_error(state, copy.error(), path_of(store));
      return py::PyRef();
    }
    return py::PyRef::steal(key_object(*copy));
  });
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

// Entries are located a block at a time, which lets the reader fetch a block's records
// together; each step then copies one entry out.
constexpr size_t kBlock = 32;

struct Cursor {
  PyObject* reader = nullptr;  // strong reference to the reader it reads
  size_t next = 0;             // the next rank forwards
  size_t end = 0;              // one past the last rank; the next rank backwards is end - 1
  bool reverse = false;
  CursorMode mode = CursorMode::Keys;
  // Ranks [block_first, block_first + block_size), located in the mapping. They stay
  // valid as long as the reader is open, which every step checks first.
  size_t block_first = 0;
  size_t block_size = 0;
  Bytes keys[kBlock];
  Bytes values[kBlock];

  Cursor() = default;
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor() { Py_XDECREF(reader); }
};

using CursorInstance = py::Instance<Cursor>;

constexpr py::ClassInfo<Cursor> kClass = {"Cursor", nullptr, &kCursorFailures};
constexpr py::ClassInfo<Store> kReaderClass = {"VornReader", nullptr, &kFailures};

// Locates the block of ranks that holds `rank`, from `rank` on in the order of the scan.
Status locate_block(Cursor& c, const Store& store, size_t rank) {
  size_t first = rank;
  size_t size = c.end - rank;
  if (c.reverse) {
    // The scan runs down from `rank`, to c.next at the least.
    first = rank + 1 - c.next > kBlock ? rank + 1 - kBlock : c.next;
    size = rank + 1 - first;
  }
  if (size > kBlock) size = kBlock;
  c.block_size = 0;
  const Status st = c.mode == CursorMode::Keys
                        ? store.core->locate_keys(first, size, c.keys)
                        : store.core->locate_items(first, size, c.keys, c.values);
  if (!st) return st;
  c.block_first = first;
  c.block_size = size;
  return {};
}

// The failure to locate a block; a record that fails its checksum is named by its key.
PyObject* raise_block_error(const ModuleState& state, const Store& store, const StoreError& e) {
  Bytes key;
  if (e.fault() == vornel::Fault::RecordChecksum && store.core->locate_keys(e.rank(), 1, &key)) {
    uint8_t small[256];
    std::string large;
    if (Result<Bytes> copy = copied(key, small, large)) {
      py::PyRef k = py::PyRef::steal(key_object(*copy));
      if (!k) return nullptr;
      return raise_value_error(state, e, path_of(store), k.get());
    }
  }
  return raise_store_error(state, e, path_of(store));
}

PyObject* step(Cursor& c) {
  // Exhausted: StopIteration, whatever became of the reader since.
  if (c.next >= c.end) return nullptr;
  // The collector breaking a cycle through the cursor has dropped its reader.
  if (c.reader == nullptr) return raise_text(PyExc_ValueError, kClosedText);
  return py::with_instance<kReaderClass, py::Access::Shared>(
      c.reader, static_cast<PyObject*>(nullptr), [&](Store& store) -> PyObject* {
        const ModuleState& state = *store.state;
        const size_t rank = c.reverse ? c.end - 1 : c.next;
        if (rank < c.block_first || rank - c.block_first >= c.block_size) {
          if (Status st = locate_block(c, store, rank); !st) {
            return raise_block_error(state, store, st.error());
          }
        }
        const size_t at = rank - c.block_first;
        // What the mode yields, copied out together: the key unless only values are asked
        // for (a value's key is read only to name it when it cannot be decoded), the
        // value unless only keys are.
        const bool with_key = c.mode != CursorMode::Values;
        const bool with_value = c.mode != CursorMode::Keys;
        uint8_t small_key[256];
        uint8_t small_value[kSmallValue];
        std::string large_key, large_value;
        Bytes src[2];
        uint8_t* dst[2];
        size_t n = 0;
        const auto add = [&](Bytes from, std::span<uint8_t> small, std::string& large) {
          src[n] = from;
          dst[n] = small.data();
          if (from.size() > small.size()) {
            large.resize(from.size());
            dst[n] = reinterpret_cast<uint8_t*>(large.data());
          }
          return Bytes(dst[n++], from.size());
        };
        const Bytes key_copy = with_key ? add(c.keys[at], small_key, large_key) : Bytes();
        const Bytes value_copy =
            with_value ? add(c.values[at], small_value, large_value) : Bytes();
        if (Status st = copy_out(dst, src, n); !st) {
          return raise_store_error(state, st.error(), path_of(store));
        }
        // The step is taken once its entry is read: a failure above leaves it to come.
        if (c.reverse) {
          --c.end;
        } else {
          ++c.next;
        }
        if (c.mode == CursorMode::Values) return decode_copy(state, store, value_copy, c.keys[at]);
        py::PyRef key = py::PyRef::steal(key_object(key_copy));
        if (c.mode == CursorMode::Keys) return key.release();
        py::PyRef value = py::PyRef::steal(decode_copy(state, store, value_copy, key.get()));
        if (!value) return nullptr;
        PyObject* pair = py::checked(PyTuple_New(2));
        PyTuple_SET_ITEM(pair, 0, key.release());
        PyTuple_SET_ITEM(pair, 1, value.release());
        return pair;
      });
}

// The key of the cursor's next step, copied to `out`: 1, or 0 when no step is left; -1
// with the exception set. Locates the step's block as the step itself would, and leaves
// the step to come.
int peek(Cursor& c, std::string& out) {
  if (c.next >= c.end) return 0;
  if (c.reader == nullptr) {
    raise_text(PyExc_ValueError, kClosedText);
    return -1;
  }
  return py::with_instance<kReaderClass, py::Access::Shared>(c.reader, -1, [&](Store& store) {
    const size_t rank = c.reverse ? c.end - 1 : c.next;
    if (rank < c.block_first || rank - c.block_first >= c.block_size) {
      if (Status st = locate_block(c, store, rank); !st) {
        raise_block_error(*store.state, store, st.error());
        return -1;
      }
    }
    const Bytes key = c.keys[rank - c.block_first];
    out.resize(key.size());
    if (Status st = copy_out(reinterpret_cast<uint8_t*>(out.data()), key); !st) {
      raise_store_error(*store.state, st.error(), path_of(store));
      return -1;
    }
    return 1;
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
    {"__length_hint__", {}, py::Access::Shared, length_hint,
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

int cursor_peek(PyObject* cursor, std::string& out) {
  return py::with_instance<kClass, py::Access::Exclusive>(cursor, -1,
                                                          [&](Cursor& c) { return peek(c, out); });
}

Py_ssize_t cursor_remaining(PyObject* cursor) {
  return py::with_instance<kClass, py::Access::Shared>(cursor, Py_ssize_t{-1}, [](Cursor& c) {
    return static_cast<Py_ssize_t>(c.end > c.next ? c.end - c.next : 0);
  });
}

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
