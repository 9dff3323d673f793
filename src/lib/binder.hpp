// Argument binding for every fast-call method and both constructors: positional
// and keyword arguments onto positional-or-keyword parameters, with fixed messages.
#pragma once

#include "pyref.hpp"

namespace vornel::py {

inline constexpr int kMaxParams = 3;

// A callable as binding sees it. Required parameters come first.
struct Signature {
  const char* display;  // "{class}.{method}()", e.g. "_VornReader.get_raw()"
  const char* names[kMaxParams];
  int nparams;
  int required;
};

// Bound arguments: borrowed references, nullptr where a parameter got no value.
struct BoundArgs {
  PyObject* value[kMaxParams] = {};
  PyObject* operator[](int i) const { return value[i]; }
};

// Fast-call form. Returns false with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs& out);
// Tuple-and-dict form used by constructors.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace vornel::py
