// Staging a key with its encoded value in one call: the dedup lookup, the object and
// the binding, under the writer's exclusive access.
#include "staging.hpp"

#include <string>

#include "format.hpp"
#include "object_table_type.hpp"

namespace vornel::native {
namespace {

using TableInstance = py::Instance<DigestTable>;

void table_dealloc(PyObject* self) {
  auto* inst = reinterpret_cast<TableInstance*>(self);
  delete inst->native;
  inst->native = nullptr;
  inst->access.~AccessCounter();
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "DigestTable() takes no arguments");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    auto table = std::make_unique<DigestTable>();
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* inst = reinterpret_cast<TableInstance*>(obj);
    new (&inst->access) py::AccessCounter();
    inst->native = table.release();
    return obj;
  });
}

bool convert_digest(PyObject* obj, Digest& out) {
  if (!PyBytes_Check(obj) || PyBytes_GET_SIZE(obj) != static_cast<Py_ssize_t>(kDigestSize)) {
    PyErr_Format(PyExc_TypeError, "digest must be %zu bytes", kDigestSize);
    return false;
  }
  std::memcpy(out.data(), PyBytes_AS_STRING(obj), kDigestSize);
  return true;
}

// Runs body(table) with access A to the table behind `obj`.
template <py::Access A, class Body>
PyObject* with_table(PyObject* module, PyObject* obj, Body&& body) {
  PyTypeObject* type = digest_table_class(module);
  if (type == nullptr) return nullptr;
  if (Py_TYPE(obj) != type) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'DigestTable'",
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  auto* inst = reinterpret_cast<TableInstance*>(obj);
  py::Claim<A> claim(inst->access);
  if (!py::claim_or_raise(claim)) return nullptr;
  return body(*inst->native);
}

PyObject* table_find(PyObject* self, PyObject* digest) {
  return guarded([&]() -> PyObject* {
    Digest d;
    if (!convert_digest(digest, d)) return nullptr;
    return with_table<py::Access::Shared>(PyType_GetModule(Py_TYPE(self)), self,
                                          [&](const DigestTable& t) -> PyObject* {
                                            const auto found = t.find(d);
                                            if (!found) Py_RETURN_NONE;
                                            return py::checked(PyLong_FromUnsignedLongLong(*found));
                                          });
  });
}

PyObject* table_memory(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return with_table<py::Access::Shared>(
        PyType_GetModule(Py_TYPE(self)), self, [](const DigestTable& t) {
          return py::checked(PyLong_FromUnsignedLongLong(t.memory_bytes() + sizeof(t)));
        });
  });
}

Py_ssize_t table_len(PyObject* self) {
  PyObject* n = with_table<py::Access::Shared>(
      PyType_GetModule(Py_TYPE(self)), self,
      [](const DigestTable& t) { return PyLong_FromUnsignedLongLong(t.size()); });
  if (n == nullptr) return -1;
  const Py_ssize_t size = PyLong_AsSsize_t(n);
  Py_DECREF(n);
  return size;
}

PyMethodDef table_methods[] = {
    {"find", table_find, METH_O,
     "find($self, digest, /)\n--\n\nThe object ID recorded for *digest*, or None."},
    {"memory_bytes", table_memory, METH_NOARGS,
     "memory_bytes($self, /)\n--\n\nBytes of memory the table holds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "DigestTable()\n--\n\n"
                    "The object ID of each distinct encoding staged, by its 16-byte digest.")},
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_mp_length, reinterpret_cast<void*>(table_len)},
    {0, nullptr},
};

}  // namespace

// Immutable and final, like _vornel's classes: the layout is private.
PyType_Spec digest_table_spec = {
    .name = "vornel._native.DigestTable",
    .basicsize = sizeof(TableInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = table_slots,
};

PyObject* stage(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_Format(PyExc_TypeError, "stage() takes exactly 5 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* const table = args[1];
  PyObject* const key_obj = args[2];
  PyObject* const data = args[3];
  return with_writer<py::Access::Exclusive>(module, args[0], [&](Writer& w) -> PyObject* {
    Bytes key;
    if (PyUnicode_Check(key_obj)) {
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(key_obj, &n);
      if (s == nullptr) {
        PyErr_Clear();  // a lone surrogate: the message _vornel gives for it
        PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
        return nullptr;
      }
      key = Bytes(reinterpret_cast<const uint8_t*>(s), static_cast<size_t>(n));
    } else if (PyBytes_Check(key_obj)) {
      key = Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(key_obj)),
                  static_cast<size_t>(PyBytes_GET_SIZE(key_obj)));
    } else {
      PyErr_Format(PyExc_TypeError, "key must be str or bytes, not %s",
                   Py_TYPE(key_obj)->tp_name);
      return nullptr;
    }
    // The key's own check first, so that a failing key stages no object.
    if (key.size() > kMaxKeyLen) {
      return py::raise_store_error(StoreError::invalid(
          "key is " + std::to_string(key.size()) + " bytes, format maximum is " +
          std::to_string(kMaxKeyLen)));
    }
    if (!PyBytes_Check(data)) {
      PyErr_SetString(PyExc_TypeError, "data must be bytes");
      return nullptr;
    }
    const Bytes raw(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                    static_cast<size_t>(PyBytes_GET_SIZE(data)));

    auto bind = [&](uint64_t obj_id) -> PyObject* {
      if (Status s = w.add_key(key, obj_id); !s) return py::raise_store_error(s.error());
      return py::checked(PyLong_FromUnsignedLongLong(obj_id));
    };
    if (table == Py_None) return bind(w.add_object(raw));
    if (is_object_table(module, table)) {
      return with_object_table<py::Access::Exclusive>(
          module, table, args[0], [&](ObjectTable& t) { return bind(t.intern(w, raw)); });
    }
    Digest d;
    if (!convert_digest(args[4], d)) return nullptr;
    return with_table<py::Access::Exclusive>(module, table, [&](DigestTable& t) -> PyObject* {
      if (const auto found = t.find(d)) return bind(*found);
      const uint64_t obj_id = w.add_object(raw);
      t.insert(d, obj_id);
      return bind(obj_id);
    });
  });
}

}  // namespace vornel::native
