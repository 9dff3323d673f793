// The module _vornel: multi-phase initialisation, classes and attributes.
#include "pyref.hpp"
#include "types.hpp"

namespace vornel::py {
namespace {

// Appends `name` to the module's __all__ (created when missing), then sets the attribute.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'list'",
                 Py_TYPE(all.get())->tp_name);
    return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  PyTypeObject* writer = writer_type();
  if (writer == nullptr ||
      add_attribute(module, "_VornWriter", reinterpret_cast<PyObject*>(writer)) < 0) {
    return -1;
  }
  PyTypeObject* reader = reader_type();
  if (reader == nullptr ||
      add_attribute(module, "_VornReader", reinterpret_cast<PyObject*>(reader)) < 0) {
    return -1;
  }
  PyRef version = PyRef::steal(PyUnicode_FromString(VORNEL_VERSION));
  if (!version || add_attribute(module, "__version__", version.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Instances guard themselves with their access counters and readers are immutable,
    // so nothing here relies on the interpreter lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The classes are process-wide objects; sharing them between interpreters is unsound.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_vornel",
    .m_doc = "vornel._vornel — native extension module entry-point",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vornel::py

PyMODINIT_FUNC PyInit__vornel(void) { return PyModuleDef_Init(&vornel::py::module_def); }
