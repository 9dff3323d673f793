// MessagePack encodings of the common scalar values, written here rather than by the
// packer: byte for byte what msgpack.Packer(use_bin_type=True) writes for them.
#pragma once

#include <Python.h>

#include <string>

namespace vornel::native {

// Appends the encoding of `value` to `out` and returns true when `value` is exactly
// None, a bool, an int within 64 bits, a float, bytes or a str that encodes to UTF-8.
// Returns false with `out` and the error indicator as they were otherwise: the packer
// then decides, so that subclasses, `default` and the packer's errors stay its own.
bool encode_scalar(PyObject* value, std::string& out);

}  // namespace vornel::native
