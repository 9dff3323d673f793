// What the writer's encoder and the reader's decoder agree on.
#pragma once

#include "pyref.hpp"

namespace vornel::engine {

// Containers nested deeper than this are refused when writing and when reading, so that
// every value the writer stores can be read back (msgpack-python reads up to 1024).
inline constexpr int kMaxDepth = 1024;

// msgpack.ExtType and msgpack.Timestamp, borrowed from the module state.
struct CodecClasses {
  PyObject* ext_type;
  PyObject* timestamp;
};

}  // namespace vornel::engine
