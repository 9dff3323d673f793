// Conversions that both modules make in the same way: the key of a lookup from a str or
// a bytes object, the texts of a type mismatch, and new result objects.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "format/format.hpp"
#include "pyref.hpp"

namespace vornel::py {

// What a key argument turned out to be.
enum class KeyView : uint8_t {
  Ok,            // a str (its UTF-8 form) or a bytes object: `out` holds its bytes
  NotKey,        // neither
  NotEncodable,  // a str holding a lone surrogate, which has no UTF-8 form
};

// The bytes of `obj` as a key, borrowed from the str's cached UTF-8 form or from the
// bytes object, both immutable: valid while the caller holds `obj`. Subclasses of str
// and bytes count as themselves. Sets no exception.
KeyView view_key(PyObject* obj, Bytes& out);

// "'{type}' object is not an instance of '{expected}'" as TypeError; for None,
// "'None' is not an instance of '{expected}'".
void set_type_mismatch(PyObject* obj, const char* expected);

// Whether every byte is below 0x80. Inline: the decoders ask it of every short str.
inline bool is_ascii(Bytes b) {
  const uint8_t* p = b.data();
  size_t n = b.size();
  uint64_t high = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    high |= w;
  }
  for (; n > 0; ++p, --n) high |= *p;
  return (high & 0x8080808080808080u) == 0;
}

// A new str of ASCII bytes, which are its text as they stand: made without the UTF-8
// decoder. Null with the interpreter's exception set when it cannot be made.
inline PyObject* ascii_text(Bytes ascii) {
  PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
  if (out != nullptr && !ascii.empty()) {
    std::memcpy(PyUnicode_1BYTE_DATA(out), ascii.data(), ascii.size());
  }
  return out;
}

// New result objects; a null from the interpreter throws NullResult.
PyObject* new_text(std::string_view utf8);
// Key bytes as text: UTF-8 with one U+FFFD per maximal ill-formed subsequence. Only
// for memory the caller owns, never a mapping: the copy is not guarded.
PyObject* key_text(Bytes key);
PyObject* new_uint(uint64_t v);

}  // namespace vornel::py
