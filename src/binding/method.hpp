// Each callable of a class is one table row: its method-table entry, its docstring
// with the text signature, and its binding all come from that row. Every method,
// constructor, slot and representation of both modules runs through call(), the one
// call wrapper.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "access.hpp"
#include "binder.hpp"
#include "conversion.hpp"
#include "failure.hpp"
#include "instance.hpp"

namespace vornel::py {

// What the wrapper needs of a class: its name (for messages and the `self` check), its
// type object, and how its module raises failures. Instances hold a `Native`.
template <class Native>
struct ClassInfo {
  using State = Native;
  const char* name;
  // The class, for the check of `self`; null where the interpreter's method
  // descriptors have already checked it.
  PyTypeObject* (*type)();
  const Failures* failures;
};

// A method. `Self` is the native state as the method sees it: const for a reader.
template <class Self>
struct Method {
  const char* name;
  // No parameters means the interpreter rejects any argument itself (METH_NOARGS).
  Params params;
  Access access;
  // Converts its arguments and does the work: a new reference, or nullptr with an
  // exception set. `self` is the instance object.
  PyObject* (*run)(Self& native, const BoundArgs& args, PyObject* self);
  const char* doc;  // the docstring after its text signature; "" for none
};

// A constructor: makes the native state for an instance of `type` (the class or a
// subclass), or returns null with an exception set; the wrapper then allocates the
// object around it.
template <class Native>
struct Constructor {
  Params params;
  std::unique_ptr<Native> (*make)(PyTypeObject* type, const BoundArgs& args);
  const char* doc;  // the class docstring after its text signature
};

namespace detail {

template <class Row>
inline constexpr bool is_constructor = false;
template <class Native>
inline constexpr bool is_constructor<Constructor<Native>> = true;

template <const auto& Row>
constexpr bool constructs() {
  return is_constructor<std::remove_cvref_t<decltype(Row)>>;
}

// The method name that argument errors show.
template <const auto& Row>
constexpr const char* method_name() {
  if constexpr (constructs<Row>()) {
    return "__new__";
  } else {
    return Row.name;
  }
}

// Methods without parameters and the representation: nothing to bind.
struct NoArgs {};
inline bool bind(const Callee&, const NoArgs&, BoundArgs&) { return true; }

// Appends text to `out`, or only counts it when `out` is null.
struct TextOut {
  char* out;
  size_t size = 0;
  constexpr void put(std::string_view text) {
    for (char c : text) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
  }
};

// "{name}($self, a, b=default)\n--\n\n{doc}"; a constructor shows the class name and
// no $self. Returns the length.
template <const auto& Class, const auto& Row>
constexpr size_t write_docstring(char* out) {
  TextOut text{out};
  std::string_view separator;
  if constexpr (constructs<Row>()) {
    text.put(Class.name);
    text.put("(");
  } else {
    text.put(Row.name);
    text.put("($self");
    separator = ", ";
  }
  for (int i = 0; i < Row.params.count(); ++i) {
    text.put(separator);
    separator = ", ";
    if (i == Row.params.keyword_only) text.put("*, ");
    text.put(Row.params.names[i]);
    if (Row.params.defaults[i] != nullptr) {
      text.put("=");
      text.put(Row.params.defaults[i]);
    }
  }
  text.put(")\n--\n\n");
  text.put(Row.doc);
  return text.size;
}

}  // namespace detail

// The docstring of a row, NUL-terminated, made at compile time.
template <const auto& Class, const auto& Row>
inline constexpr auto docstring = [] {
  std::array<char, detail::write_docstring<Class, Row>(nullptr) + 1> text{};
  detail::write_docstring<Class, Row>(text.data());
  return text;
}();

namespace detail {

// `self` as an instance of the class (or a subclass); otherwise TypeError, unwrapped.
template <const auto& Class>
auto* instance_of(PyObject* self) {
  using Native = typename std::remove_cvref_t<decltype(Class)>::State;
  using Inst = Instance<std::remove_const_t<Native>>;
  if constexpr (Class.type != nullptr) {
    PyTypeObject* type = Class.type();
    if (type == nullptr) return static_cast<Inst*>(nullptr);
    if (!PyObject_TypeCheck(self, type)) {
      set_type_mismatch(self, Class.name);
      return static_cast<Inst*>(nullptr);
    }
  }
  return reinterpret_cast<Inst*>(self);
}

}  // namespace detail

// Runs body(native) for the instance `self` under a claim of access A, turning a
// refused claim and any C++ exception into the class's exceptions. Returns body's
// result, or `error` (nullptr, -1) with an exception set. Slots whose signatures the
// method rows do not cover (lengths, containment, iteration) come through here.
template <const auto& Class, Access A, class R, class Body>
[[gnu::always_inline]] inline R with_instance(PyObject* self, R error, Body&& body) noexcept {
  const Failures& failures = *Class.failures;
  try {
    auto* inst = detail::instance_of<Class>(self);
    if (inst == nullptr) return error;
    Claim<A, std::remove_pointer_t<decltype(inst->native)>> claim(*inst);
    if (!claim.ok()) {
      failures.refused(Py_TYPE(self), A, claim.refusal());
      return error;
    }
    return body(*inst->native);
  } catch (...) {
    raise_caught(failures, Py_TYPE(self));
    return error;
  }
}

// The one call wrapper. In order: bind the arguments; then for a constructor make the
// native state and the object around it, for a method check `self`, claim access and
// run. A claim is released on every way out, and no C++ exception leaves.
// Flattened so that each entry point is one function with its implementation inlined:
// the binding costs a lookup no more instructions than a hand-written method would.
template <const auto& Class, const auto& Row, class Args>
[[gnu::flatten]] PyObject* call(PyObject* self, const Args& args) noexcept {
  using Native = std::remove_const_t<typename std::remove_cvref_t<decltype(Class)>::State>;
  PyTypeObject* const type = detail::constructs<Row>() ? reinterpret_cast<PyTypeObject*>(self)
                                                       : Py_TYPE(self);
  try {
    BoundArgs bound;
    static constexpr Callee callee =
        Callee::of(Class.name, detail::method_name<Row>(), Row.params);
    if (!bind(callee, args, bound)) return nullptr;
    if constexpr (detail::constructs<Row>()) {
      constexpr auto make = Row.make;
      std::unique_ptr<Native> state = make(type, bound);
      if (!state) return nullptr;
      return new_instance(type, std::move(state));
    } else {
      return with_instance<Class, Row.access>(self, static_cast<PyObject*>(nullptr),
                                              [&](auto& native) -> PyObject* {
                                                constexpr auto run = Row.run;
                                                return run(native, bound, self);
                                              });
    }
  } catch (...) {
    return raise_caught(*Class.failures, type);
  }
}

// The interpreter's entry points, one instantiation per row.
template <const auto& Class, const auto& Row>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return call<Class, Row>(self, FastArgs{args, nargs, kwnames});
}

template <const auto& Class, const auto& Row>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  return call<Class, Row>(self, detail::NoArgs{});
}

template <const auto& Class, const auto& Row>
PyObject* repr_entry(PyObject* self) {
  return call<Class, Row>(self, detail::NoArgs{});
}

template <const auto& Class, const auto& Row>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call<Class, Row>(reinterpret_cast<PyObject*>(type), TupleArgs{args, kwargs});
}

namespace detail {

template <const auto& Class, const auto& Row>
PyMethodDef method_def() {
  if constexpr (Row.params.count() == 0) {
    return {Row.name, noargs_entry<Class, Row>, METH_NOARGS, docstring<Class, Row>.data()};
  } else {
    // The fast-call signature differs from PyCFunction; METH_FASTCALL tells the
    // interpreter which one it is.
    auto entry = reinterpret_cast<void (*)()>(fast_entry<Class, Row>);
    return {Row.name, reinterpret_cast<PyCFunction>(entry), METH_FASTCALL | METH_KEYWORDS,
            docstring<Class, Row>.data()};
  }
}

template <const auto& Class, const auto& Rows, size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_defs(std::index_sequence<I...>) {
  return {method_def<Class, Rows[I]>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

}  // namespace detail

// The method table of `Rows`, in their order, closed by the sentinel entry.
template <const auto& Class, const auto& Rows>
auto method_table() {
  return detail::method_defs<Class, Rows>(std::make_index_sequence<Rows.size()>());
}

// A function as a type slot's value.
template <class F>
void* slot(F* f) {
  return reinterpret_cast<void*>(f);
}

}  // namespace vornel::py
