// Conversion of arguments to native values and of native results to new objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "conversion.hpp"
#include "format/format.hpp"
#include "pyref.hpp"

namespace vornel::py {

// Key bytes: borrowed from a str's cached UTF-8 form or a bytes object, which cannot
// change while the caller holds them; owned when copied from a bytearray or gathered
// from a sequence of integers.
class KeyArg {
 public:
  Bytes bytes() const { return view_; }

 private:
  friend bool convert_key(PyObject* obj, KeyArg& out);
  std::string owned_;
  Bytes view_;
};

// Each returns false with an exception set. Errors are already in their final form:
// a conversion's exact TypeError is wrapped as "argument '{param}': {text}".
bool convert_key(PyObject* obj, KeyArg& out);  // ValueError "key must be str or bytes"
bool convert_raw_bytes(PyObject* obj, Bytes& out);
bool convert_obj_id(PyObject* obj, uint64_t& out);
bool convert_path(PyObject* obj, std::string_view& out);
bool convert_verify(PyObject* obj, bool& out);  // nullptr (absent) means true

// New result objects; a null from the interpreter becomes an internal failure.
// A copy of bytes that may lie in a reader's mapping, guarded.
PyObject* new_bytes(Bytes b);
// Key bytes as bytes. Only for memory the caller owns (an index key), never a mapping:
// the copy is not guarded.
PyObject* key_bytes(Bytes key);

}  // namespace vornel::py
