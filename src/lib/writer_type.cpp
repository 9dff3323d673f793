// _VornWriter: staging objects and keys, and publishing the store.
#include "binder.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "types.hpp"
#include "writer.hpp"

namespace vornel::py {
namespace {

constexpr Signature kNew = {"_VornWriter.__new__()", {}, 0, 0};
constexpr Signature kAddObjectRaw = {"_VornWriter.add_object_raw()", {"raw_bytes"}, 1, 1};
constexpr Signature kAddKey = {"_VornWriter.add_key()", {"key", "obj_id"}, 2, 2};
constexpr Signature kBuild = {"_VornWriter.build()", {"path"}, 1, 1};

// Runs `body(writer, bound arguments)` as a method of _VornWriter with access A.
template <Access A, class Body>
PyObject* writer_method(const Signature* sig, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return call_method<Writer, A>(sig, self, writer_type, "_VornWriter", args, nargs, kwnames,
                                std::forward<Body>(body));
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs a;
    if (!bind(kNew, args, kwargs, a)) return nullptr;
    return new_instance(type, std::make_unique<Writer>());
  });
}

PyObject* add_object_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return writer_method<Access::Exclusive>(
      &kAddObjectRaw, self, args, nargs, kwnames, [](Writer& w, const BoundArgs& a) {
        Bytes raw;
        if (!convert_raw_bytes(a[0], raw)) return static_cast<PyObject*>(nullptr);
        return new_uint(w.add_object(raw));
      });
}

PyObject* add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return writer_method<Access::Exclusive>(
      &kAddKey, self, args, nargs, kwnames, [](Writer& w, const BoundArgs& a) -> PyObject* {
        // obj_id first: a call that is wrong in both reports the obj_id error.
        uint64_t obj_id;
        if (!convert_obj_id(a[1], obj_id)) return nullptr;
        KeyArg key;
        if (!convert_key(a[0], key)) return nullptr;
        if (Status s = w.add_key(key.bytes(), obj_id); !s) return raise_store_error(s.error());
        Py_RETURN_NONE;
      });
}

PyObject* build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return writer_method<Access::Shared>(
      &kBuild, self, args, nargs, kwnames, [](Writer& w, const BoundArgs& a) -> PyObject* {
        std::string_view path;
        if (!convert_path(a[0], path)) return nullptr;
        Result<BuildReport> report = w.build(path);
        if (!report) return raise_store_error(report.error());
        // The store is published; a failure to announce it does not undo that.
        if (auto err = write_stdout_line(summary_line(path, *report))) {
          return raise_panic("failed printing to stdout: " + *err);
        }
        Py_RETURN_NONE;
      });
}

PyObject* writer_repr(PyObject* self) {
  return writer_method<Access::Shared>(
      nullptr, self, nullptr, 0, nullptr, [](Writer& w, const BoundArgs&) {
        return checked(PyUnicode_FromFormat("_VornWriter(objects=%llu, keys=%llu)",
                                            static_cast<unsigned long long>(w.num_objects()),
                                            static_cast<unsigned long long>(w.num_keys())));
      });
}

PyMethodDef writer_methods[] = {
    {"add_object_raw", method(add_object_raw), kFastKw,
     "add_object_raw($self, raw_bytes)\n--\n\n"
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", method(add_key), kFastKw,
     "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."},
    {"build", method(build), kFastKw,
     "build($self, path)\n--\n\nAtomically write the `.vrnl` file: tmp → fsync → rename."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "_VornWriter()\n--\n\n"
                    "Low-level writer — accepts pre-serialised msgpack bytes per object.\n"
                    "**Use `vornel.VornWriter` (Python wrapper) instead of this directly.**")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, writer_methods},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_repr, reinterpret_cast<void*>(writer_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Writer>)},
    {0, nullptr},
};

// Default flags only: no subclassing (the state layout is private), no __dict__, no
// weak references, no GC (instances hold no Python objects).
PyType_Spec writer_spec = {
    .name = "builtins._VornWriter",
    .basicsize = sizeof(Instance<Writer>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = writer_slots,
};

std::atomic<PyObject*> writer_class{nullptr};

}  // namespace

PyTypeObject* writer_type() { return get_or_create_type(writer_class, &writer_spec); }

}  // namespace vornel::py
