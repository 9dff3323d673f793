// Argument binding for every fast-call method and both constructors: positional
// and keyword arguments onto positional-or-keyword parameters, with fixed messages.
#pragma once

#include "pyref.hpp"

namespace vornel::py {

inline constexpr int kMaxParams = 3;

// The parameters of a callable in order, the required ones first.
struct Params {
  const char* names[kMaxParams] = {};
  int required = 0;
  // Defaults as the text signature shows them; nullptr where there is none. Binding
  // leaves an omitted parameter empty and its conversion supplies the value.
  const char* defaults[kMaxParams] = {};

  constexpr int count() const {
    int n = 0;
    while (n < kMaxParams && names[n] != nullptr) ++n;
    return n;
  }
};

// A callable as binding sees it; its argument errors name it "{cls}.{method}()".
struct Callee {
  const char* cls;
  const char* method;  // "__new__" for a constructor
  const char* const* names;
  int count;
  int required;

  static constexpr Callee of(const char* cls, const char* method, const Params& params) {
    return {cls, method, params.names, params.count(), params.required};
  }
};

// The arguments of a fast-call method, and of a constructor (a tuple and a dict).
struct FastArgs {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};
struct TupleArgs {
  PyObject* args;
  PyObject* kwargs;
};

// Bound arguments: borrowed references, nullptr where a parameter got no value.
struct BoundArgs {
  PyObject* value[kMaxParams] = {};
  PyObject* operator[](int i) const { return value[i]; }
};

// Each returns false with TypeError set.
bool bind(const Callee& callee, const FastArgs& in, BoundArgs& out);
bool bind(const Callee& callee, const TupleArgs& in, BoundArgs& out);

}  // namespace vornel::py
