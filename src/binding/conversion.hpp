// Conversions that both modules make in the same way: the key of a lookup from a str or
// a bytes object, the texts of a type mismatch, and new result objects.
#pragma once

#include <cstdint>
#include <string_view>

#include "format.hpp"
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

// Whether every byte is below 0x80.
bool is_ascii(Bytes b);

// New result objects; a null from the interpreter throws NullResult.
PyObject* new_text(std::string_view utf8);
// Key bytes as text: UTF-8 with one U+FFFD per maximal ill-formed subsequence. Only
// for memory the caller owns, never a mapping: the copy is not guarded.
PyObject* key_text(Bytes key);
PyObject* new_uint(uint64_t v);

}  // namespace vornel::py
