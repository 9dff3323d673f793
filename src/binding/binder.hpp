// Argument binding for every fast-call method and constructor of both modules:
// positional and keyword arguments onto positional-or-keyword parameters, then
// keyword-only ones, with the interpreter's own messages.
#pragma once

#include "pyref.hpp"

namespace vornel::py {

inline constexpr int kMaxParams = 8;

// The parameters of a callable in order, the required ones first.
struct Params {
  const char* names[kMaxParams] = {};
  int required = 0;
  // Defaults as the text signature shows them; nullptr where there is none. Binding
  // leaves an omitted parameter empty and its conversion supplies the value.
  const char* defaults[kMaxParams] = {};
  // Parameters from this index on are keyword-only, and have defaults; -1 for none.
  int keyword_only = -1;

  constexpr int count() const {
    int n = 0;
    while (n < kMaxParams && names[n] != nullptr) ++n;
    return n;
  }
  // How many parameters a positional argument can fill.
  constexpr int positional() const { return keyword_only < 0 ? count() : keyword_only; }
};

// A callable as binding sees it; its argument errors name it "{cls}.{method}()".
struct Callee {
  const char* cls;
  const char* method;  // "__new__" for a constructor
  const char* const* names;
  int count;
  int positional;
  int required;

  static constexpr Callee of(const char* cls, const char* method, const Params& params) {
    return {cls, method, params.names, params.count(), params.positional(), params.required};
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
