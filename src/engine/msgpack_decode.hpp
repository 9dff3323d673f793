// MessagePack decoding into Python values, natively and with msgpack-python's results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "msgpack_limits.hpp"
#include "pyref.hpp"

namespace vornel::engine {

// The caller's hooks, as msgpack.unpackb takes them; each may be null.
struct UnpackHooks {
  PyObject* ext_hook;
  PyObject* object_hook;
};

enum class UnpackStatus { Ok, Malformed, Raised };

// What is wrong with malformed data, told apart as msgpack's own exceptions tell it.
enum class Fault : uint8_t {
  Other,   // cut short, a reserved ext type, a bad timestamp
  Format,  // a byte that begins no value (0xc1)
  Depth,   // containers nested past kMaxDepth
  Extra,   // bytes after one whole value
  Utf8,    // a str whose bytes are not UTF-8
  Unhashable,  // a map key that is an array, or a map no hook replaced (TypeError)
};

// Why unpack() found the data malformed.
struct Malformed {
  Fault fault = Fault::Other;
  std::string reason;  // in plain words, with the byte offset
  // Extra: the value decoded, and where the bytes after it begin.
  py::PyRef unpacked;
  size_t extra_at = 0;
  // Utf8: the UnicodeDecodeError about the str's own bytes.
  py::PyRef unicode_error;
};

// Short ASCII map keys decoded before, kept across calls so that decoding records of
// one shape builds each key once: the same str, its hash already computed, comes back.
// Owned by the caller (a reader, or the module state), within one interpreter. One call
// uses it at a time; a call that finds it in use (another thread, or a hook that decodes
// again) decodes without it. It holds references: clear or destroy it with the
// interpreter attached, while no call uses it.
class KeyCache {
 public:
  KeyCache() = default;
  ~KeyCache() { clear(); }
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;

  // Drops every key held.
  void clear();

  // Keys of at most this many bytes are kept.
  static constexpr size_t kLongest = 24;

  // For the decoder. Claims the cache for one call; false when it is in use.
  bool try_claim() { return !busy_.exchange(true, std::memory_order_acquire); }
  void release() { busy_.store(false, std::memory_order_release); }
  // The str of the `n` ASCII bytes at `s` (0 < n <= kLongest), a new reference; null
  // with an exception set when the interpreter has no memory.
  PyObject* get(const uint8_t* s, size_t n);

 private:
  static constexpr size_t kSlots = 512;  // direct-mapped: a slot keeps the last key seen
  std::atomic<bool> busy_{false};
  PyObject* slots_[kSlots] = {};
};

// Decodes `data`, which must hold exactly one value, as
// msgpack.unpackb(data, strict_map_key=False, ext_hook=..., object_hook=...) does
// (raw=False, use_list=True, timestamp=0: ext -1 gives msgpack.Timestamp without
// calling ext_hook; other ext types go to ext_hook, or msgpack.ExtType without one).
// object_hook gets each map once its items are in, innermost first; map keys may be of
// any hashable type. Containers nest at most kMaxDepth deep. Nothing is allocated
// beyond what the data can hold: a count that the remaining bytes cannot hold fails at
// once.
// Ok: *out is a new reference. Malformed: *why says what is wrong and where, in
// plain words ("data ends inside a str at byte 5", "byte 0xc1 at 3 begins no value",
// "3 bytes after the value", "value nested deeper than 1024 levels", "invalid UTF-8 in a
// str at byte 2", "map key of unhashable type 'list' at byte 9"), and no Python exception
// is set; its fault says which of msgpack's errors it is. Raised: a hook (or the interpreter, e.g. MemoryError) raised; the exception is
// set and the caller lets it propagate unchanged.
// Hooks run Python code in the middle of decoding: `data` must stay readable until the
// call returns, whatever the hooks do. `keys`, when given, serves short map keys.
UnpackStatus unpack(std::span<const uint8_t> data, const UnpackHooks& hooks,
                    const CodecClasses& classes, PyObject** out, Malformed* why,
                    KeyCache* keys = nullptr);

}  // namespace vornel::engine
