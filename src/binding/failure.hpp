// The failures that any call of either module can end in, whatever the module's own
// exception classes: a claim refused, an object the interpreter could not create, a C++
// exception. Each module says how it raises them; the call wrapper does the rest.
#pragma once

#include <string_view>
#include <type_traits>

#include "access.hpp"
#include "pyref.hpp"

namespace vornel::py {

// How a module raises the failures every call can end in. Each sets the pending
// exception and returns nullptr. `type` is the class called: the instance's type, or
// the type being constructed, so that a module can find its own state.
struct Failures {
  PyObject* (*refused)(PyTypeObject* type, Access requested, Refusal why);
  PyObject* (*panic)(PyTypeObject* type, std::string_view text);
};

// Sets `type(text)` as the pending exception, the text decoded from UTF-8 (any byte that
// is not, replaced), and returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view text);

// Sets KeyError(key) as the pending exception, and returns nullptr. `key` is the one
// argument whatever it is: None or a tuple too, as dict's KeyError gives it.
PyObject* raise_key_error(PyObject* key);

// Thrown inside a binding when the interpreter fails to create a result object; the
// call wrapper turns it into an internal failure.
struct NullResult {};

inline PyObject* checked(PyObject* o) {
  if (o == nullptr) throw NullResult{};
  return o;
}

// Call only inside a catch block: raises the C++ exception being handled as a Python
// one. bad_alloc becomes MemoryError; NullResult (after reporting the interpreter's own
// pending error as unraisable) and anything else an internal failure.
PyObject* raise_caught(const Failures& failures, PyTypeObject* type) noexcept;

// Runs body(), a new reference or nullptr with an exception set, letting no C++
// exception out.
template <class F>
PyObject* catching(const Failures& failures, PyTypeObject* type, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_caught(failures, type);
  }
}

}  // namespace vornel::py

namespace vornel::py {

// Runs f() without the interpreter lock (detached from the interpreter, where it has no
// lock), and takes it back before returning or letting an exception out: f must touch no
// Python object.
template <class F>
decltype(auto) without_interpreter(F&& f) {
  PyThreadState* saved = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<decltype(f())>) {
      f();
      PyEval_RestoreThread(saved);
    } else {
      decltype(auto) result = f();
      PyEval_RestoreThread(saved);
      return result;
    }
  } catch (...) {
    PyEval_RestoreThread(saved);
    throw;
  }
}

}  // namespace vornel::py
