#include "msgpack_decode.hpp"

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "conversion.hpp"
#include "util/port.hpp"

namespace vornel::engine {
namespace {

// What a value is called in a reason.
enum class Kind { Int, Float, Str, Bin, Ext, Array, Map };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::Int:
      return "an int";
    case Kind::Float:
      return "a float";
    case Kind::Str:
      return "a str";
    case Kind::Bin:
      return "a bin";
    case Kind::Ext:
      return "an ext";
    case Kind::Array:
      return "an array";
    case Kind::Map:
      return "a map";
  }
  return "a value";
}

// Timestamp nanoseconds run to one second less one.
constexpr uint32_t kMaxNanoseconds = 999'999'999;

// Whether the value at `p` is an array, or a map, by its first byte.
bool begins_array(uint8_t b) { return (b & 0xf0) == 0x90 || b == 0xdc || b == 0xdd; }
bool begins_map(uint8_t b) { return (b & 0xf0) == 0x80 || b == 0xde || b == 0xdf; }

// The slot of a key: its bytes mixed a word at a time, the product's high bits.
size_t slot_of(const uint8_t* s, size_t n, size_t slots) {
  constexpr uint64_t kMix = 0x9e3779b97f4a7c15ULL;
  uint64_t h = n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, s + i, sizeof word);
    h = (h ^ word) * kMix;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, s + i, n - i);
  h = (h ^ tail) * kMix;
  return static_cast<size_t>(h >> 40) & (slots - 1);
}

// Holds a cache's claim for one call, when it can be had.
class CacheClaim {
 public:
  explicit CacheClaim(KeyCache* keys)
      : keys_(keys != nullptr && keys->try_claim() ? keys : nullptr) {}
  ~CacheClaim() {
    if (keys_ != nullptr) keys_->release();
  }
  CacheClaim(const CacheClaim&) = delete;
  CacheClaim& operator=(const CacheClaim&) = delete;
  KeyCache* get() const { return keys_; }

 private:
  KeyCache* keys_;
};

// One call of unpack. Each value function returns a new reference, or null: with
// malformed_ set and no exception when the data is at fault, with an exception
// otherwise. The value functions are entered with at least one byte left.
class Decoder {
 public:
  Decoder(std::span<const uint8_t> data, const UnpackHooks& hooks, const CodecClasses& classes,
          KeyCache* keys)
      : begin_(data.data()),
        p_(data.data()),
        end_(data.data() + data.size()),
        hooks_(hooks),
        classes_(classes),
        keys_(keys) {}

  UnpackStatus run(PyObject** out, Malformed* why) {
    PyObject* result = nullptr;
    py::PyRef unpacked;
    if (p_ == end_) {
      malformed("data is empty");
    } else {
      result = value(0);
      if (result != nullptr && p_ != end_) {
        const size_t extra = static_cast<size_t>(end_ - p_);
        unpacked = py::PyRef::steal(result);
        fault_ = Fault::Extra;
        result = malformed("%zu byte%s after the value", extra, extra == 1 ? "" : "s");
      }
    }
    if (result != nullptr) {
      *out = result;
      return UnpackStatus::Ok;
    }
    if (!malformed_) return UnpackStatus::Raised;
    if (why != nullptr) {
      try {
        why->reason.assign(reason_);
      } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return UnpackStatus::Raised;
      }
      why->fault = fault_;
      why->unpacked = std::move(unpacked);
      why->extra_at = at(p_);
      why->unicode_error = std::move(unicode_error_);
    }
    return UnpackStatus::Malformed;
  }

 private:
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  // The whole input's length: msgpack bounds an array's length by it, and a map's by half
  // of it, and reads what the data holds before it finds the data short, so that a fault
  // met on the way (an unhashable key) is the one reported, as msgpack reports it.
  size_t size() const { return static_cast<size_t>(end_ - begin_); }
  size_t at(const uint8_t* p) const { return static_cast<size_t>(p - begin_); }

  // Records why the data is malformed (formatted without allocating, so that no
  // failure can leave references behind) and returns null.
  [[gnu::cold, gnu::noinline, gnu::format(printf, 2, 3)]] PyObject* malformed(
      const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason_, sizeof reason_, format, args);
    va_end(args);
    malformed_ = true;
    return nullptr;
  }
  [[gnu::cold, gnu::noinline]] PyObject* ends_inside(Kind kind, const uint8_t* start) {
    return malformed("data ends inside %s at byte %zu", kind_name(kind), at(start));
  }
  [[gnu::cold, gnu::noinline]] PyObject* too_deep() {
    fault_ = Fault::Depth;
    return malformed("value nested deeper than %d levels", kMaxDepth);
  }

  PyObject* value(int depth) {
    const uint8_t* start = p_;
    const uint8_t b = *p_++;
    if (b < 0x80) return PyLong_FromLong(b);  // positive fixint
    if (b >= 0xe0) return PyLong_FromLong(static_cast<int8_t>(b));  // negative fixint
    if (b >= 0xa0 && b <= 0xbf) return str(start, b & 0x1f);
    if (b <= 0x8f) return map(start, b & 0x0f, depth);
    if (b <= 0x9f) return array(start, b & 0x0f, depth);
    switch (b) {
      case 0xc0:
        return Py_NewRef(Py_None);
      case 0xc2:
        return Py_NewRef(Py_False);
      case 0xc3:
        return Py_NewRef(Py_True);
      case 0xc4:
        return bin(start, 1);
      case 0xc5:
        return bin(start, 2);
      case 0xc6:
        return bin(start, 4);
      case 0xc7:
        return ext_sized(start, 1);
      case 0xc8:
        return ext_sized(start, 2);
      case 0xc9:
        return ext_sized(start, 4);
      case 0xca: {
        if (left() < 4) return ends_inside(Kind::Float, start);
        const double f = PyFloat_Unpack4(reinterpret_cast<const char*>(p_), 0);
        p_ += 4;
        if (f == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(f);
      }
      case 0xcb: {
        uint64_t bits;
        if (!fixed(&bits, Kind::Float, start)) return nullptr;
        return PyFloat_FromDouble(std::bit_cast<double>(bits));
      }
      case 0xcc:
        return int_of<uint8_t>(start);
      case 0xcd:
        return int_of<uint16_t>(start);
      case 0xce:
        return int_of<uint32_t>(start);
      case 0xcf:
        return int_of<uint64_t>(start);
      case 0xd0:
        return int_of<int8_t>(start);
      case 0xd1:
        return int_of<int16_t>(start);
      case 0xd2:
        return int_of<int32_t>(start);
      case 0xd3:
        return int_of<int64_t>(start);
      case 0xd4:
        return ext(start, 1);
      case 0xd5:
        return ext(start, 2);
      case 0xd6:
        return ext(start, 4);
      case 0xd7:
        return ext(start, 8);
      case 0xd8:
        return ext(start, 16);
      case 0xd9:
        return str_sized(start, 1);
      case 0xda:
        return str_sized(start, 2);
      case 0xdb:
        return str_sized(start, 4);
      case 0xdc:
        return array_sized(start, 2, depth);
      case 0xdd:
        return array_sized(start, 4, depth);
      case 0xde:
        return map_sized(start, 2, depth);
      case 0xdf:
        return map_sized(start, 4, depth);
      default:  // 0xc1, the one byte that MessagePack leaves unused
        fault_ = Fault::Format;
        return malformed("byte 0x%02x at %zu begins no value", b, at(start));
    }
  }

  // A big-endian number of T's width after the first byte of the value at `start`.
  template <class T>
  bool fixed(T* out, Kind kind, const uint8_t* start) {
    if (left() < sizeof(T)) {
      ends_inside(kind, start);
      return false;
    }
    if constexpr (sizeof(T) == 1) {
      *out = static_cast<T>(*p_);
    } else {
      *out = port::load_be<T>(p_);
    }
    p_ += sizeof(T);
    return true;
  }

  // A length or count of `width` bytes (1, 2 or 4).
  bool length(size_t width, size_t* n, Kind kind, const uint8_t* start) {
    switch (width) {
      case 1: {
        uint8_t v;
        if (!fixed(&v, kind, start)) return false;
        *n = v;
        return true;
      }
      case 2: {
        uint16_t v;
        if (!fixed(&v, kind, start)) return false;
        *n = v;
        return true;
      }
      default: {
        uint32_t v;
        if (!fixed(&v, kind, start)) return false;
        *n = v;
        return true;
      }
    }
  }

  template <class T>
  PyObject* int_of(const uint8_t* start) {
    T v;
    if (!fixed(&v, Kind::Int, start)) return nullptr;
    if constexpr (std::is_same_v<T, uint64_t>) {
      return PyLong_FromUnsignedLongLong(v);
    } else if constexpr (std::is_same_v<T, int64_t>) {
      return PyLong_FromLongLong(v);
    } else if constexpr (std::is_same_v<T, uint32_t>) {
      return PyLong_FromUnsignedLong(v);
    } else {
      return PyLong_FromLong(v);
    }
  }

  PyObject* str_sized(const uint8_t* start, size_t width) {
    size_t n;
    if (!length(width, &n, Kind::Str, start)) return nullptr;
    return str(start, n);
  }

  // Strict UTF-8, as msgpack-python decodes with raw=False; ASCII copied directly.
  PyObject* str(const uint8_t* start, size_t n) {
    if (n > left()) return ends_inside(Kind::Str, start);
    const uint8_t* s = p_;
    p_ += n;
    if (py::is_ascii(Bytes(s, n))) {
      if (n == 1) return PyUnicode_FromOrdinal(s[0]);  // the interpreter's shared one
      return py::ascii_text(Bytes(s, n));
    }
    PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s),
                                          static_cast<Py_ssize_t>(n), nullptr);
    if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
      unicode_error_ = py::PyRef::steal(PyErr_GetRaisedException());
      fault_ = Fault::Utf8;
      return malformed("invalid UTF-8 in a str at byte %zu", at(start));
    }
    return text;
  }

  PyObject* bin(const uint8_t* start, size_t width) {
    size_t n;
    if (!length(width, &n, Kind::Bin, start)) return nullptr;
    if (n > left()) return ends_inside(Kind::Bin, start);
    const uint8_t* s = p_;
    p_ += n;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s),
                                     static_cast<Py_ssize_t>(n));
  }

  PyObject* array_sized(const uint8_t* start, size_t width, int depth) {
    size_t n;
    if (!length(width, &n, Kind::Array, start)) return nullptr;
    return array(start, n, depth);
  }

  // A list of `n` items, allocated once: each item takes a byte at least, so a count
  // beyond the bytes left fails before anything is allocated.
  PyObject* array(const uint8_t* start, size_t n, int depth) {
    if (depth >= kMaxDepth) return too_deep();
    if (n > size()) return ends_inside(Kind::Array, start);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
      if (p_ == end_) {
        Py_DECREF(list);
        return ends_inside(Kind::Array, start);
      }
      PyObject* item = value(depth + 1);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  }

  PyObject* map_sized(const uint8_t* start, size_t width, int depth) {
    size_t n;
    if (!length(width, &n, Kind::Map, start)) return nullptr;
    return map(start, n, depth);
  }

  // A dict of `n` pairs (two bytes each at least), then object_hook's result for it.
  // A later equal key replaces the value and keeps the first key object, as dict does.
  PyObject* map(const uint8_t* start, size_t n, int depth) {
    if (depth >= kMaxDepth) return too_deep();
    if (n > size() / 2) return ends_inside(Kind::Map, start);
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
      if (p_ == end_) return drop(dict, ends_inside(Kind::Map, start));
      const uint8_t* key_start = p_;
      PyObject* key = map_key(depth + 1);
      if (key == nullptr) return drop(dict, nullptr);
      if (p_ == end_) return drop(dict, drop(key, ends_inside(Kind::Map, start)));
      PyObject* item = value(depth + 1);
      if (item == nullptr) return drop(dict, drop(key, nullptr));
      const int rc = PyDict_SetItem(dict, key, item);
      Py_DECREF(item);
      if (rc < 0) return drop(dict, drop(key, unhashable(key, key_start)));
      Py_DECREF(key);
    }
    if (hooks_.object_hook == nullptr) return dict;
    return drop(dict, PyObject_CallOneArg(hooks_.object_hook, dict));
  }

  // A map key: from the cache when it is a short ASCII fixstr and there is one.
  PyObject* map_key(int depth) {
    const uint8_t b = *p_;
    const size_t n = b & 0x1f;
    if (keys_ != nullptr && (b & 0xe0) == 0xa0 && n != 0 && n <= KeyCache::kLongest &&
        n < left() && py::is_ascii(Bytes(p_ + 1, n))) {
      PyObject* key = keys_->get(p_ + 1, n);
      if (key != nullptr) p_ += 1 + n;
      return key;
    }
    return value(depth);
  }

  // Releases `o` and passes `result` on.
  static PyObject* drop(PyObject* o, PyObject* result) {
    Py_DECREF(o);
    return result;
  }

  // After a failed insertion: the data's fault when the key is an array, or a map that
  // no hook replaced; otherwise the error of whatever made the key stands.
  PyObject* unhashable(PyObject* key, const uint8_t* key_start) {
    const bool decoded_as_is =
        begins_array(*key_start) || (begins_map(*key_start) && hooks_.object_hook == nullptr);
    if (!decoded_as_is || !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    fault_ = Fault::Unhashable;
    return malformed("map key of unhashable type '%.100s' at byte %zu", Py_TYPE(key)->tp_name,
                     at(key_start));
  }

  PyObject* ext_sized(const uint8_t* start, size_t width) {
    size_t n;
    if (!length(width, &n, Kind::Ext, start)) return nullptr;
    return ext(start, n);
  }

  // An ext value of `n` data bytes after its type byte.
  PyObject* ext(const uint8_t* start, size_t n) {
    if (left() < 1 || n > left() - 1) return ends_inside(Kind::Ext, start);
    const auto code = static_cast<int8_t>(*p_);
    const uint8_t* data = p_ + 1;
    p_ += 1 + n;
    if (code == -1) return timestamp(start, data, n);
    PyObject* fn = hooks_.ext_hook;
    if (fn == nullptr) {
      // msgpack.ExtType holds codes 0 to 127; the negative ones are reserved.
      if (code < 0) {
        return malformed("reserved ext type %d at byte %zu", code, at(start));
      }
      fn = classes_.ext_type;
    }
    PyObject* args[2] = {PyLong_FromLong(code), nullptr};
    if (args[0] == nullptr) return nullptr;
    args[1] = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                        static_cast<Py_ssize_t>(n));
    if (args[1] == nullptr) return drop(args[0], nullptr);
    PyObject* result = PyObject_Vectorcall(fn, args, 2, nullptr);
    Py_DECREF(args[0]);
    Py_DECREF(args[1]);
    return result;
  }

  // Ext type -1: 32-bit seconds; 30-bit nanoseconds and 34-bit seconds; or 32-bit
  // nanoseconds and 64-bit signed seconds.
  PyObject* timestamp(const uint8_t* start, const uint8_t* data, size_t n) {
    int64_t seconds;
    uint32_t nanoseconds;
    switch (n) {
      case 4:
        seconds = port::load_be<uint32_t>(data);
        nanoseconds = 0;
        break;
      case 8: {
        const uint64_t v = port::load_be<uint64_t>(data);
        nanoseconds = static_cast<uint32_t>(v >> 34);
        seconds = static_cast<int64_t>(v & 0x3ffffffffULL);
        break;
      }
      case 12:
        nanoseconds = port::load_be<uint32_t>(data);
        seconds = static_cast<int64_t>(port::load_be<uint64_t>(data + 4));
        break;
      default:
        return malformed("timestamp of %zu bytes at byte %zu (4, 8 or 12 expected)", n,
                         at(start));
    }
    if (nanoseconds > kMaxNanoseconds) {
      return malformed("timestamp at byte %zu has %u nanoseconds (at most %u)", at(start),
                       nanoseconds, kMaxNanoseconds);
    }
    PyObject* args[2] = {PyLong_FromLongLong(seconds), nullptr};
    if (args[0] == nullptr) return nullptr;
    args[1] = PyLong_FromUnsignedLong(nanoseconds);
    if (args[1] == nullptr) return drop(args[0], nullptr);
    PyObject* result = PyObject_Vectorcall(classes_.timestamp, args, 2, nullptr);
    Py_DECREF(args[0]);
    Py_DECREF(args[1]);
    return result;
  }

  const uint8_t* const begin_;
  const uint8_t* p_;
  const uint8_t* const end_;
  const UnpackHooks& hooks_;
  const CodecClasses& classes_;
  KeyCache* const keys_;  // null when there is none, or another call holds it
  bool malformed_ = false;
  Fault fault_ = Fault::Other;
  py::PyRef unicode_error_;
  char reason_[160] = "";
};

}  // namespace

void KeyCache::clear() {
  for (PyObject*& slot : slots_) Py_CLEAR(slot);
}

PyObject* KeyCache::get(const uint8_t* s, size_t n) {
  PyObject*& slot = slots_[slot_of(s, n, kSlots)];
  if (slot != nullptr && PyUnicode_GET_LENGTH(slot) == static_cast<Py_ssize_t>(n) &&
      std::memcmp(PyUnicode_1BYTE_DATA(slot), s, n) == 0) {
    return Py_NewRef(slot);
  }
  PyObject* key = py::ascii_text(Bytes(s, n));
  if (key == nullptr) return nullptr;
  (void)PyObject_Hash(key);  // a str's hash never fails; kept in the str from now on
  PyObject* old = slot;
  slot = Py_NewRef(key);
  Py_XDECREF(old);
  return key;
}

UnpackStatus unpack(std::span<const uint8_t> data, const UnpackHooks& hooks,
                    const CodecClasses& classes, PyObject** out, Malformed* why,
                    KeyCache* keys) {
  const CacheClaim claim(keys);
  Decoder decoder(data, hooks, classes, claim.get());
  return decoder.run(out, why);
}

}  // namespace vornel::engine
