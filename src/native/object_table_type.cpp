#include "object_table_type.hpp"

namespace vornel::native {
namespace {

void table_dealloc(PyObject* self) {
  auto* inst = reinterpret_cast<ObjectTableInstance*>(self);
  delete inst->native;
  inst->native = nullptr;
  Py_CLEAR(inst->writer);
  inst->access.~AccessCounter();
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 1 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "ObjectTable() takes exactly one argument (the writer)");
    return nullptr;
  }
  PyObject* writer = PyTuple_GET_ITEM(args, 0);
  PyTypeObject* writer_type = writer_class(PyType_GetModule(type));
  if (writer_type == nullptr) return nullptr;
  if (Py_TYPE(writer) != writer_type) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '_VornWriter'",
                 Py_TYPE(writer)->tp_name);
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    auto table = std::make_unique<ObjectTable>();
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* inst = reinterpret_cast<ObjectTableInstance*>(obj);
    new (&inst->access) py::AccessCounter();
    inst->native = table.release();
    inst->writer = Py_NewRef(writer);
    return obj;
  });
}

// Runs body(table, writer) with shared access to both.
template <class Body>
PyObject* reading(PyObject* self, Body&& body) {
  auto* inst = reinterpret_cast<ObjectTableInstance*>(self);
  PyObject* module = PyType_GetModule(Py_TYPE(self));
  return with_writer<py::Access::Shared>(module, inst->writer, [&](const Writer& w) {
    return with_object_table<py::Access::Shared>(
        module, self, inst->writer, [&](const ObjectTable& t) { return body(t, w); });
  });
}

PyObject* table_find(PyObject* self, PyObject* data) {
  if (!PyBytes_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "data must be bytes");
    return nullptr;
  }
  const Bytes bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                    static_cast<size_t>(PyBytes_GET_SIZE(data)));
  return reading(self, [&](const ObjectTable& t, const Writer& w) -> PyObject* {
    const auto found = t.find(w, bytes, t.hash(bytes));
    if (!found) Py_RETURN_NONE;
    return py::checked(PyLong_FromUnsignedLongLong(*found));
  });
}

PyObject* table_memory(PyObject* self, PyObject*) {
  return reading(self, [](const ObjectTable& t, const Writer&) {
    return py::checked(PyLong_FromUnsignedLongLong(t.memory_bytes() + sizeof(t)));
  });
}

Py_ssize_t table_len(PyObject* self) {
  PyObject* n = reading(self, [](const ObjectTable& t, const Writer&) {
    return py::checked(PyLong_FromUnsignedLongLong(t.size()));
  });
  if (n == nullptr) return -1;
  const Py_ssize_t size = PyLong_AsSsize_t(n);
  Py_DECREF(n);
  return size;
}

PyMethodDef table_methods[] = {
    {"find", table_find, METH_O,
     "find($self, data, /)\n--\n\nThe ID of the staged object holding *data*, or None."},
    {"memory_bytes", table_memory, METH_NOARGS,
     "memory_bytes($self, /)\n--\n\nBytes of memory the table holds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ObjectTable(writer, /)\n--\n\n"
                    "The object ID of each distinct encoding staged in *writer*.")},
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_mp_length, reinterpret_cast<void*>(table_len)},
    {0, nullptr},
};

}  // namespace

// Immutable and final, like _vornel's classes: the layout is private.
PyType_Spec object_table_spec = {
    .name = "vornel._native.ObjectTable",
    .basicsize = sizeof(ObjectTableInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = table_slots,
};

}  // namespace vornel::native
