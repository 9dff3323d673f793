#include "binder.hpp"

#include <string>

namespace vornel::py {
namespace {

int find_param(const Callee& c, PyObject* keyword) {
  for (int i = 0; i < c.count; ++i) {
    if (PyUnicode_EqualToUTF8(keyword, c.names[i])) return i;
  }
  return -1;
}

bool too_many_positional(const Callee& c, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (c.required == c.positional) {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %d positional arguments but %zd %s given", c.cls,
                 c.method, c.positional, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s.%s() takes from %d to %d positional arguments but %zd %s given", c.cls,
                 c.method, c.required, c.positional, given, verb);
  }
  return false;
}

bool place_keyword(const Callee& c, PyObject* keyword, PyObject* value, BoundArgs& out) {
  const int i = find_param(c, keyword);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", c.cls,
                 c.method, keyword);
    return false;
  }
  if (out.value[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%U'", c.cls,
                 c.method, keyword);
    return false;
  }
  out.value[i] = value;
  return true;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const Callee& c, const int* missing, int count) {
  std::string text;
  for (int k = 0; k < count; ++k) {
    if (k > 0) text += count == 2 ? " and " : (k == count - 1 ? ", and " : ", ");
    text += '\'';
    text += c.names[missing[k]];
    text += '\'';
  }
  return text;
}

bool check_required(const Callee& c, const BoundArgs& out) {
  int missing[kMaxParams];
  int count = 0;
  for (int i = 0; i < c.required; ++i) {
    if (out.value[i] == nullptr) missing[count++] = i;
  }
  if (count == 0) return true;
  const std::string names = join_names(c, missing, count);
  PyErr_Format(PyExc_TypeError, "%s.%s() missing %d required positional %s: %s", c.cls, c.method,
               count, count == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool bind(const Callee& c, const FastArgs& in, BoundArgs& out) {
  if (in.nargs > c.positional) return too_many_positional(c, in.nargs);
  for (Py_ssize_t i = 0; i < in.nargs; ++i) out.value[i] = in.args[i];
  if (in.kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(in.kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(c, PyTuple_GET_ITEM(in.kwnames, k), in.args[in.nargs + k], out)) {
        return false;
      }
    }
  }
  return check_required(c, out);
}

bool bind(const Callee& c, const TupleArgs& in, BoundArgs& out) {
  const Py_ssize_t nargs = in.args != nullptr ? PyTuple_GET_SIZE(in.args) : 0;
  if (nargs > c.positional) return too_many_positional(c, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.value[i] = PyTuple_GET_ITEM(in.args, i);
  if (in.kwargs != nullptr) {
    // Dictionaries keep insertion order, which is the caller's keyword order.
    Py_ssize_t pos = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(in.kwargs, &pos, &keyword, &value)) {
      if (!place_keyword(c, keyword, value, out)) return false;
    }
  }
  return check_required(c, out);
}

}  // namespace vornel::py
