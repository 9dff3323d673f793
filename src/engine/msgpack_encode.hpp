// MessagePack encoding of Python values, natively and with the packer's rules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "msgpack_limits.hpp"

namespace vornel::engine {

// Appends the encoding of `value` to `out`, byte for byte what
// msgpack.Packer(use_bin_type=True, default=default_fn) writes (default_fn may be null):
// the packer's type rules with strict_types=False, subclasses included, and `default`
// called once for a value of no known type or an int beyond 64 bits, its result then
// encoded without it.
// Returns false with a Python exception set, of the class and text the packer raises:
// TypeError for a type it cannot serialise, OverflowError for an int outside 64 bits,
// ValueError for an object too large, UnicodeEncodeError for a str with a lone
// surrogate, and classes.limit_error (ValueError when null) "value nested deeper than
// 1024 levels" for more than kMaxDepth nested containers. A dict or list that `default`
// changes in size while it is being encoded raises RuntimeError (the packer would write
// a header that disagrees with its items). `out` may then hold a partial encoding; the
// caller truncates.
bool pack(PyObject* value, PyObject* default_fn, const CodecClasses& classes, std::string& out);

}  // namespace vornel::engine
