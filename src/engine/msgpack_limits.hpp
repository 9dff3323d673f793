// What the MessagePack encoder and decoder share: the nesting limit and the classes
// that stand for extension values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vornel::engine {

// Containers nested deeper than this are refused when writing and when reading, so that
// every value the writer stores can be read back (msgpack-python reads up to 1024).
inline constexpr int kMaxDepth = 1024;

// msgpack.ExtType and msgpack.Timestamp, borrowed from the module state.
struct CodecClasses {
  PyObject* ext_type;
  PyObject* timestamp;
  // The class the encoder raises for a value nested deeper than kMaxDepth (the package
  // passes vornel.errors.VornLimitError, a ValueError); null means ValueError.
  PyObject* limit_error = nullptr;
};

}  // namespace vornel::engine
