// MessagePack encoding of Python values (provisional interface).
#pragma once

#include <string>

#include "msgpack_limits.hpp"

namespace vornel::engine {

bool pack(PyObject* value, PyObject* default_fn, const CodecClasses& classes, std::string& out);

}  // namespace vornel::engine
