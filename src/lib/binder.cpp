#include "binder.hpp"

#include <string>

namespace vornel::py {
namespace {

int find_param(const Signature& sig, PyObject* keyword) {
  for (int i = 0; i < sig.nparams; ++i) {
    if (PyUnicode_EqualToUTF8(keyword, sig.names[i])) return i;
  }
  return -1;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.nparams) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                 sig.display, sig.nparams, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 sig.display, sig.required, sig.nparams, given, verb);
  }
  return false;
}

bool place_keyword(const Signature& sig, PyObject* keyword, PyObject* value, BoundArgs& out) {
  const int i = find_param(sig, keyword);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display,
                 keyword);
    return false;
  }
  if (out.value[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.display,
                 keyword);
    return false;
  }
  out.value[i] = value;
  return true;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const Signature& sig, const int* missing, int count) {
  std::string text;
  for (int k = 0; k < count; ++k) {
    if (k > 0) text += count == 2 ? " and " : (k == count - 1 ? ", and " : ", ");
    text += '\'';
    text += sig.names[missing[k]];
    text += '\'';
  }
  return text;
}

bool check_required(const Signature& sig, const BoundArgs& out) {
  int missing[kMaxParams];
  int count = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (out.value[i] == nullptr) missing[count++] = i;
  }
  if (count == 0) return true;
  const std::string names = join_names(sig, missing, count);
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", sig.display, count,
               count == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          BoundArgs& out) {
  if (nargs > sig.nparams) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.value[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (nargs > sig.nparams) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.value[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    // Dictionaries keep insertion order, which is the caller's keyword order.
    Py_ssize_t pos = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
      if (!place_keyword(sig, keyword, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

}  // namespace vornel::py
