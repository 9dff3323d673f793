#include "msgpack_encode.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "pyref.hpp"
#include "util/port.hpp"

namespace vornel::engine {
namespace {

// The largest length or count that a MessagePack header holds.
constexpr Py_ssize_t kItemLimit = UINT32_MAX;

// Output grows by at least this much, so that small values cost one growth at most.
constexpr size_t kMinGrowth = 256;

// Releases a buffer view taken with PyObject_GetBuffer.
class BufferView {
 public:
  BufferView() = default;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  bool take(PyObject* o) { return held_ = PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) == 0; }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// What the rules make of a value: encoded, failed with an exception set, or no rule
// applies (a type the packer does not know, or an int beyond 64 bits): `default`'s turn.
enum class Put { Done, Failed, Unknown };

class Encoder {
 public:
  Encoder(PyObject* default_fn, const CodecClasses& classes, std::string& out)
      : default_(default_fn), classes_(classes), out_(out), len_(out.size()) {}
  // What was written stays; the rest of the grown output goes.
  ~Encoder() { out_.resize(len_); }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Encodes `o`, which lies inside `depth` containers, applying `default` as the packer
  // does: once, then the rules again without it.
  bool put(PyObject* o, int depth) {
    switch (put_known(o, depth)) {
      case Put::Done:
        return true;
      case Put::Failed:
        return false;
      case Put::Unknown:
        break;
    }
    if (default_ == nullptr) return refuse(o);
    py::PyRef replaced = py::PyRef::steal(PyObject_CallOneArg(default_, o));
    if (!replaced) return false;
    switch (put_known(replaced.get(), depth)) {
      case Put::Done:
        return true;
      case Put::Failed:
        return false;
      case Put::Unknown:
        break;
    }
    return refuse(replaced.get());
  }

 private:
  // The packer's rules, in its order. Exact built-in types are tried first: none of
  // them can match an earlier rule than its own.
  Put put_known(PyObject* o, int depth) {
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyUnicode_Type) return done(put_str(o));
    if (type == &PyLong_Type) return put_int(o);
    if (type == &PyFloat_Type) return put_float(o);
    if (type == &PyDict_Type) return done(put_dict(o, depth, true));
    if (type == &PyList_Type) return done(put_list(o, depth));
    if (type == &PyTuple_Type) return done(put_tuple(o, depth));
    if (type == &PyBytes_Type) return put_bytes(o);
    if (o == Py_None) return put_byte(0xc0);
    if (o == Py_True) return put_byte(0xc3);
    if (o == Py_False) return put_byte(0xc2);
    return put_other(o, depth);
  }

  // Subclasses and the rarer types, in the packer's order.
  [[gnu::noinline]] Put put_other(PyObject* o, int depth) {
    if (PyLong_Check(o)) return put_int(o);
    if (PyFloat_Check(o)) return put_float(o);
    if (PyBytes_Check(o)) return put_bytes(o);
    if (PyByteArray_Check(o)) {
      return put_bin(o, PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
    }
    if (PyUnicode_Check(o)) return done(put_str(o));
    if (PyDict_Check(o)) return done(put_dict(o, depth, false));
    // ExtType is a namedtuple, hence before the sequences; isinstance as the packer.
    const int is_ext = PyObject_IsInstance(o, classes_.ext_type);
    if (is_ext < 0) return Put::Failed;
    if (is_ext) return done(put_ext_type(o));
    if (Py_IS_TYPE(o, reinterpret_cast<PyTypeObject*>(classes_.timestamp))) {
      return done(put_timestamp(o));
    }
    if (PyTuple_Check(o) || PyList_Check(o)) return done(put_iterable(o, depth));
    if (PyMemoryView_Check(o)) return done(put_memoryview(o));
    return Put::Unknown;
  }

  static Put done(bool ok) { return ok ? Put::Done : Put::Failed; }

  // The packer's error for a value that no rule (and no `default`) encodes.
  static bool refuse(PyObject* o) {
    if (PyLong_Check(o)) {
      PyErr_SetString(PyExc_OverflowError, "Integer value out of range");
    } else {
      PyErr_Format(PyExc_TypeError, "can not serialize '%.200s' object", Py_TYPE(o)->tp_name);
    }
    return false;
  }

  bool too_deep() const {
    PyObject* cls = classes_.limit_error != nullptr ? classes_.limit_error : PyExc_ValueError;
    PyErr_Format(cls, "value nested deeper than %d levels", kMaxDepth);
    return false;
  }

  // ---- Output ----

  // Room for `n` more bytes at the end of what is written.
  uint8_t* room(size_t n) {
    if (n > out_.size() - len_) grow(n);
    return reinterpret_cast<uint8_t*>(out_.data()) + len_;
  }

  // Extends the output without filling it (every byte is written before len_ passes
  // it): to its capacity while that suffices, else by kMinGrowth at least, which the
  // string turns into a doubling of its capacity.
  void grow(size_t n) {
    size_t want = out_.capacity();
    if (n > want - len_) want = len_ + std::max(n, kMinGrowth);
    out_.resize_and_overwrite(want, [](char*, size_t size) { return size; });
  }

  Put put_byte(uint8_t b) {
    *room(1) = b;
    len_ += 1;
    return Put::Done;
  }

  template <class T>
  void put_be(uint8_t marker, T v) {
    uint8_t* p = room(1 + sizeof(T));
    p[0] = marker;
    port::store_be(p + 1, v);
    len_ += 1 + sizeof(T);
  }

  void put_raw(const void* data, size_t n) {
    if (n == 0) return;
    std::memcpy(room(n), data, n);
    len_ += n;
  }

  // A length or count: fixed-size form under `fix_limit` (none when 0), then the 8-,
  // 16- and 32-bit forms (no 8-bit one when m8 is 0).
  void put_header(size_t n, uint8_t fix_base, size_t fix_limit, uint8_t m8, uint8_t m16,
                  uint8_t m32) {
    if (n < fix_limit) {
      put_byte(static_cast<uint8_t>(fix_base | n));
    } else if (m8 != 0 && n <= UINT8_MAX) {
      put_be(m8, static_cast<uint8_t>(n));
    } else if (n <= UINT16_MAX) {
      put_be(m16, static_cast<uint16_t>(n));
    } else {
      put_be(m32, static_cast<uint32_t>(n));
    }
  }

  // ---- Scalars ----

  void put_uint(uint64_t v) {
    if (v < 0x80) {
      put_byte(static_cast<uint8_t>(v));  // positive fixint
    } else if (v <= UINT8_MAX) {
      put_be(0xcc, static_cast<uint8_t>(v));
    } else if (v <= UINT16_MAX) {
      put_be(0xcd, static_cast<uint16_t>(v));
    } else if (v <= UINT32_MAX) {
      put_be(0xce, static_cast<uint32_t>(v));
    } else {
      put_be(0xcf, v);
    }
  }

  void put_sint(int64_t v) {
    if (v >= 0) return put_uint(static_cast<uint64_t>(v));
    if (v >= -32) {
      put_byte(static_cast<uint8_t>(v));  // negative fixint
    } else if (v >= INT8_MIN) {
      put_be(0xd0, static_cast<uint8_t>(v));
    } else if (v >= INT16_MIN) {
      put_be(0xd1, static_cast<uint16_t>(v));
    } else if (v >= INT32_MIN) {
      put_be(0xd2, static_cast<uint32_t>(v));
    } else {
      put_be(0xd3, static_cast<uint64_t>(v));
    }
  }

  // The value of an int or int subclass (never __index__ nor overridden comparisons).
  Put put_int(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) return Put::Failed;
      put_sint(v);
      return Put::Done;
    }
    if (overflow < 0) return Put::Unknown;
    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Put::Failed;
      PyErr_Clear();
      return Put::Unknown;
    }
    put_uint(u);
    return Put::Done;
  }

  // Always a double, as the packer writes without use_single_float.
  Put put_float(PyObject* o) {
    put_be(0xcb, std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(o)));
    return Put::Done;
  }

  Put put_bytes(PyObject* o) { return put_bin(o, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o)); }

  Put put_bin(PyObject* o, const char* data, Py_ssize_t n) {
    if (n > kItemLimit) {
      PyErr_Format(PyExc_ValueError, "%.200s object is too large", Py_TYPE(o)->tp_name);
      return Put::Failed;
    }
    put_header(static_cast<size_t>(n), 0, 0, 0xc4, 0xc5, 0xc6);
    put_raw(data, static_cast<size_t>(n));
    return Put::Done;
  }

  bool put_str(PyObject* o) {
    const char* data;
    Py_ssize_t n;
    if (PyUnicode_IS_ASCII(o)) {
      // The characters are their own UTF-8.
      data = static_cast<const char*>(PyUnicode_DATA(o));
      n = PyUnicode_GET_LENGTH(o);
    } else {
      data = PyUnicode_AsUTF8AndSize(o, &n);  // UnicodeEncodeError for a lone surrogate
      if (data == nullptr) return false;
    }
    if (n > kItemLimit) {
      PyErr_SetString(PyExc_ValueError, "unicode string is too large");
      return false;
    }
    put_header(static_cast<size_t>(n), 0xa0, 32, 0xd9, 0xda, 0xdb);
    put_raw(data, static_cast<size_t>(n));
    return true;
  }

  [[gnu::noinline]] bool put_memoryview(PyObject* o) {
    BufferView view;
    if (!view.take(o)) return false;
    if (view.get().len > kItemLimit) {
      PyErr_SetString(PyExc_ValueError, "memoryview is too large");
      return false;
    }
    const auto n = static_cast<size_t>(view.get().len);
    put_header(n, 0, 0, 0xc4, 0xc5, 0xc6);
    put_raw(view.get().buf, n);
    return true;
  }

  // ---- Extension types ----

  // The ext header for `n` bytes of data: fixext where a size fits, else ext 8/16/32.
  void put_ext_header(int8_t code, size_t n) {
    uint8_t* p = room(6);
    size_t used;
    switch (n) {
      case 1:
        p[0] = 0xd4, used = 1;
        break;
      case 2:
        p[0] = 0xd5, used = 1;
        break;
      case 4:
        p[0] = 0xd6, used = 1;
        break;
      case 8:
        p[0] = 0xd7, used = 1;
        break;
      case 16:
        p[0] = 0xd8, used = 1;
        break;
      default:
        if (n <= UINT8_MAX) {
          p[0] = 0xc7, p[1] = static_cast<uint8_t>(n), used = 2;
        } else if (n <= UINT16_MAX) {
          p[0] = 0xc8, port::store_be(p + 1, static_cast<uint16_t>(n)), used = 3;
        } else {
          p[0] = 0xc9, port::store_be(p + 1, static_cast<uint32_t>(n)), used = 5;
        }
    }
    p[used] = static_cast<uint8_t>(code);
    len_ += used + 1;
  }

  // `o.data` (bytes or bytearray) under `o.code`, taken as the packer takes them.
  [[gnu::noinline]] bool put_ext_type(PyObject* o) {
    py::PyRef data = py::PyRef::steal(PyObject_GetAttrString(o, "data"));
    if (!data) return false;
    char* buf;
    Py_ssize_t n;
    if (PyByteArray_Check(data.get())) {
      buf = PyByteArray_AS_STRING(data.get());
      n = PyByteArray_GET_SIZE(data.get());
    } else if (PyBytes_AsStringAndSize(data.get(), &buf, &n) < 0) {
      return false;
    }
    if (n > kItemLimit) {
      PyErr_SetString(PyExc_ValueError, "EXT data is too large");
      return false;
    }
    py::PyRef code_obj = py::PyRef::steal(PyObject_GetAttrString(o, "code"));
    if (!code_obj) return false;
    const long code = PyLong_AsLong(code_obj.get());
    if (code == -1 && PyErr_Occurred()) return false;
    put_ext_header(static_cast<int8_t>(code), static_cast<size_t>(n));
    put_raw(buf, static_cast<size_t>(n));
    return true;
  }

  // Ext type -1 in its shortest form: 32-bit seconds, 34-bit seconds with nanoseconds,
  // or the full 96 bits.
  [[gnu::noinline]] bool put_timestamp(PyObject* o) {
    py::PyRef sec_obj = py::PyRef::steal(PyObject_GetAttrString(o, "seconds"));
    if (!sec_obj) return false;
    const long long seconds = PyLong_AsLongLong(sec_obj.get());
    if (seconds == -1 && PyErr_Occurred()) return false;
    py::PyRef nsec_obj = py::PyRef::steal(PyObject_GetAttrString(o, "nanoseconds"));
    if (!nsec_obj) return false;
    const unsigned long nsec_long = PyLong_AsUnsignedLong(nsec_obj.get());
    if (nsec_long == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    const auto nanoseconds = static_cast<uint32_t>(nsec_long);
    if ((static_cast<uint64_t>(seconds) >> 34) == 0) {
      const uint64_t packed = (static_cast<uint64_t>(nanoseconds) << 34) |
                              static_cast<uint64_t>(seconds);
      if ((packed >> 32) == 0) {
        put_ext_header(-1, 4);
        uint8_t* p = room(4);
        port::store_be(p, static_cast<uint32_t>(packed));
        len_ += 4;
      } else {
        put_ext_header(-1, 8);
        uint8_t* p = room(8);
        port::store_be(p, packed);
        len_ += 8;
      }
    } else {
      put_ext_header(-1, 12);
      uint8_t* p = room(12);
      port::store_be(p, nanoseconds);
      port::store_be(p + 4, static_cast<uint64_t>(seconds));
      len_ += 12;
    }
    return true;
  }

  // ---- Containers ----

  bool put_dict(PyObject* o, int depth, bool exact) {
    if (depth >= kMaxDepth) return too_deep();
    const Py_ssize_t n = exact ? PyDict_GET_SIZE(o) : PyObject_Size(o);
    if (n < 0) return false;
    if (n > kItemLimit) {
      PyErr_SetString(PyExc_ValueError, "dict is too large");
      return false;
    }
    put_header(static_cast<size_t>(n), 0x80, 16, 0, 0xde, 0xdf);
    return exact ? put_dict_items(o, n, depth + 1) : put_mapping_items(o, n, depth + 1);
  }

  // A dict's own items, in order, as the packer walks an exact dict: a step at a time,
  // each holding the dict's lock on a free-threaded build, since `default` may run
  // between steps.
  bool put_dict_items(PyObject* o, Py_ssize_t n, int depth) {
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0;; ++i) {
      PyObject *key = nullptr, *value = nullptr;
      bool changed = false, more = false;
      Py_BEGIN_CRITICAL_SECTION(o);
      changed = PyDict_GET_SIZE(o) != n;
      if (!changed && PyDict_Next(o, &pos, &key, &value)) {
        more = true;
        Py_INCREF(key);
        Py_INCREF(value);
      }
      Py_END_CRITICAL_SECTION();
      py::PyRef key_ref = py::PyRef::steal(key), value_ref = py::PyRef::steal(value);
      if (changed) return changed_size("dictionary");
      if (!more) return i == n || changed_size("dictionary");
      if (i == n) return changed_size("dictionary");
      if (!put(key, depth) || !put(value, depth)) return false;
    }
  }

  // A dict subclass's items as its own items() gives them.
  [[gnu::noinline]] bool put_mapping_items(PyObject* o, Py_ssize_t n, int depth) {
    py::PyRef items = py::PyRef::steal(PyObject_CallMethod(o, "items", nullptr));
    if (!items) return false;
    py::PyRef iter = py::PyRef::steal(PyObject_GetIter(items.get()));
    if (!iter) return false;
    Py_ssize_t count = 0;
    while (true) {
      py::PyRef item = py::PyRef::steal(PyIter_Next(iter.get()));
      if (!item) {
        if (PyErr_Occurred()) return false;
        break;
      }
      if (count++ == n) return changed_size("dictionary");
      py::PyRef pair = py::PyRef::steal(PySequence_Tuple(item.get()));
      if (!pair) return false;
      const Py_ssize_t got = PyTuple_GET_SIZE(pair.get());
      if (got != 2) {
        if (got > 2) {
          PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        } else {
          PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                       got);
        }
        return false;
      }
      if (!put(PyTuple_GET_ITEM(pair.get(), 0), depth) ||
          !put(PyTuple_GET_ITEM(pair.get(), 1), depth)) {
        return false;
      }
    }
    return count == n || changed_size("dictionary");
  }

  static bool changed_size(const char* what) {
    PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", what);
    return false;
  }

  bool put_array_header(int depth, Py_ssize_t n) {
    if (depth >= kMaxDepth) return too_deep();
    if (n > kItemLimit) {
      PyErr_SetString(PyExc_ValueError, "list is too large");
      return false;
    }
    put_header(static_cast<size_t>(n), 0x90, 16, 0, 0xdc, 0xdd);
    return true;
  }

  // An exact list, item by item: `default` may change it meanwhile, and each item is
  // held while it is encoded.
  bool put_list(PyObject* o, int depth) {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    if (!put_array_header(depth, n)) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
#ifdef Py_GIL_DISABLED
      py::PyRef item = py::PyRef::steal(PyList_GetItemRef(o, i));
      if (!item) {
        PyErr_Clear();
        return changed_size("list");
      }
#else
      if (i >= PyList_GET_SIZE(o)) return changed_size("list");
      py::PyRef item = py::PyRef::steal(Py_NewRef(PyList_GET_ITEM(o, i)));
#endif
      if (!put(item.get(), depth + 1)) return false;
    }
    return PyList_GET_SIZE(o) == n || changed_size("list");
  }

  // An exact tuple: its items cannot change.
  bool put_tuple(PyObject* o, int depth) {
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    if (!put_array_header(depth, n)) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!put(PyTuple_GET_ITEM(o, i), depth + 1)) return false;
    }
    return true;
  }

  // A list or tuple subclass: its size, then its items as its own iterator gives them.
  [[gnu::noinline]] bool put_iterable(PyObject* o, int depth) {
    const Py_ssize_t n = Py_SIZE(o);
    if (!put_array_header(depth, n)) return false;
    py::PyRef iter = py::PyRef::steal(PyObject_GetIter(o));
    if (!iter) return false;
    Py_ssize_t count = 0;
    while (true) {
      py::PyRef item = py::PyRef::steal(PyIter_Next(iter.get()));
      if (!item) {
        if (PyErr_Occurred()) return false;
        break;
      }
      if (count++ == n) return changed_size("list");
      if (!put(item.get(), depth + 1)) return false;
    }
    return count == n || changed_size("list");
  }

  PyObject* default_;
  const CodecClasses& classes_;
  std::string& out_;
  size_t len_;  // bytes of out_ written; out_ beyond it is room not yet filled
};

}  // namespace

bool pack(PyObject* value, PyObject* default_fn, const CodecClasses& classes, std::string& out) {
  try {
    Encoder encoder(default_fn, classes, out);
    return encoder.put(value, 0);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  }
  return false;
}

}  // namespace vornel::engine
