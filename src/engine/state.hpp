// The state of one vornel._engine module object: its classes, the package's exception
// classes it raises, and the MessagePack classes values may hold. Each interpreter that
// imports the module has its own.
#pragma once

#include "msgpack_decode.hpp"
#include "msgpack_limits.hpp"
#include "pyref.hpp"

namespace vornel::engine {

struct ModuleState {
  PyObject* writer_type;
  PyObject* reader_type;
  PyObject* cursor_type;
  PyObject* merge_type;
  PyObject* shard_set_type;
  PyObject* mapped_value_type;  // the exporter behind view()'s memoryviews
  // vornel.errors
  PyObject* corrupt_error;
  PyObject* version_error;
  PyObject* io_error;  // the function io_error(errno, strerror, filename)
  PyObject* io_error_type;
  PyObject* limit_error;
  PyObject* decode_error;
  // The decode errors that also derive from msgpack's classes for the same fault.
  PyObject* format_error;
  PyObject* stack_error;
  PyObject* extra_data_error;
  PyObject* unicode_decode_error;
  PyObject* unhashable_key_error;  // also a TypeError, as msgpack raises for such a key
  PyObject* busy_error;
  PyObject* duplicate_error;
  PyObject* panic;
  // msgpack's classes, and vornel.errors.VornLimitError (borrowed from limit_error)
  CodecClasses codec;
  // Map keys that decoding builds again and again, shared by the module's readers.
  KeyCache* keys;
};

// The state of the module that defined `type` (or a base of it); null with an exception
// set for a class that no engine module defined.
ModuleState* state_of(PyTypeObject* type);

// A reference to each object of the state, in turn, for traversal and clearing.
template <class F>
void for_each_object(ModuleState& s, F&& f) {
  f(s.writer_type);
  f(s.reader_type);
  f(s.cursor_type);
  f(s.merge_type);
  f(s.shard_set_type);
  f(s.mapped_value_type);
  f(s.corrupt_error);
  f(s.version_error);
  f(s.io_error);
  f(s.io_error_type);
  f(s.limit_error);
  f(s.decode_error);
  f(s.format_error);
  f(s.stack_error);
  f(s.extra_data_error);
  f(s.unicode_decode_error);
  f(s.unhashable_key_error);
  f(s.busy_error);
  f(s.duplicate_error);
  f(s.panic);
  f(s.codec.ext_type);
  f(s.codec.timestamp);
}

}  // namespace vornel::engine
