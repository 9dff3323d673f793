// vornel._native: the package's own native helpers over _vornel's writer.
#include <string_view>

#include "bulk.hpp"
#include "object_table_type.hpp"
#include "staging.hpp"

namespace vornel::native {
namespace {

struct ModuleState {
  PyObject* writer_class;        // strong reference to _vornel._VornWriter
  PyObject* digest_table_class;  // this module's DigestTable
  PyObject* object_table_class;  // this module's ObjectTable
};

ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// A path as _VornWriter.build converts it: a str, taken as its UTF-8 encoding.
bool convert_path(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    if (obj == Py_None) {
      PyErr_SetString(PyExc_TypeError, "argument 'path': 'None' is not an instance of 'str'");
    } else {
      py::PyRef name = py::PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
      if (name) {
        PyErr_Format(PyExc_TypeError, "argument 'path': '%U' object is not an instance of 'str'",
                     name.get());
      }
    }
    return false;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) return false;  // UnicodeEncodeError passes through, as in _vornel
  out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

bool check_nargs(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want,
               nargs);
  return false;
}

// build(writer, path, /) -> str: publishes the writer's store exactly as
// _VornWriter.build does, under the same shared access, but returns the summary line
// instead of writing it to descriptor 1.
PyObject* build(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_nargs("build", nargs, 2)) return nullptr;
  return with_writer<py::Access::Shared>(module, args[0], [&](const Writer& w) -> PyObject* {
    std::string_view path;
    if (!convert_path(args[1], path)) return nullptr;
    Result<BuildReport> report = w.build(path);
    if (!report) return py::raise_store_error(report.error());
    const std::string line = summary_line(path, *report);
    return py::checked(
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "strict"));
  });
}

// staged_counts(writer, /) -> (objects, keys): the counts the writer's repr shows.
PyObject* staged_counts(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!check_nargs("staged_counts", nargs, 1)) return nullptr;
  return with_writer<py::Access::Shared>(module, args[0], [](const Writer& w) {
    return py::checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(w.num_objects()),
                                     static_cast<unsigned long long>(w.num_keys())));
  });
}

PyMethodDef module_methods[] = {
    {"build", as_method(build), METH_FASTCALL,
     "build($module, writer, path, /)\n--\n\n"
     "Publish *writer*'s store at *path* as `_VornWriter.build` does, without printing.\n"
     "Returns the summary line that `_VornWriter.build` would have printed."},
    {"stage", as_method(stage), METH_FASTCALL,
     "stage($module, writer, table, key, data, digest, /)\n--\n\n"
     "Bind *key* to the object holding *data*, staged once per *digest* when *table* is a\n"
     "DigestTable, or anew when it is None. Returns the object ID."},
    {"stage_pairs", as_method(stage_pairs), METH_FASTCALL,
     "stage_pairs($module, writer, table, pairs, pack, /)\n--\n\n"
     "Stage the (key, value) pairs of the iterator *pairs*, each value encoded as *pack*\n"
     "encodes it, once per distinct encoding when *table* is the writer's ObjectTable.\n"
     "Returns the first item it cannot stage itself, every item before it staged, or\n"
     "None when *pairs* is exhausted."},
    {"staged_counts", as_method(staged_counts), METH_FASTCALL,
     "staged_counts($module, writer, /)\n--\n\n"
     "Return `(objects, keys)`: the writer's object count and distinct key count."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  py::PyRef vornel = py::PyRef::steal(PyImport_ImportModule("_vornel"));
  if (!vornel) return -1;
  py::PyRef cls = py::PyRef::steal(PyObject_GetAttrString(vornel.get(), "_VornWriter"));
  if (!cls) return -1;
  if (!PyType_Check(cls.get())) {
    PyErr_SetString(PyExc_ImportError, "_vornel._VornWriter is not a class");
    return -1;
  }
  // Instances are read through this module's view of their layout: a _vornel from
  // another build would not match it.
  if (reinterpret_cast<PyTypeObject*>(cls.get())->tp_basicsize !=
      static_cast<Py_ssize_t>(sizeof(WriterInstance))) {
    PyErr_SetString(PyExc_ImportError,
                    "_vornel does not match vornel._native (built from other sources)");
    return -1;
  }
  state_of(module)->writer_class = cls.release();
  PyObject* table = PyType_FromModuleAndSpec(module, &digest_table_spec, nullptr);
  if (table == nullptr) return -1;
  state_of(module)->digest_table_class = table;
  if (PyModule_AddObjectRef(module, "DigestTable", table) < 0) return -1;
  PyObject* objects = PyType_FromModuleAndSpec(module, &object_table_spec, nullptr);
  if (objects == nullptr) return -1;
  state_of(module)->object_table_class = objects;
  return PyModule_AddObjectRef(module, "ObjectTable", objects);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (state != nullptr) {
    Py_VISIT(state->writer_class);
    Py_VISIT(state->digest_table_class);
    Py_VISIT(state->object_table_class);
  }
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state != nullptr) {
    Py_CLEAR(state->writer_class);
    Py_CLEAR(state->digest_table_class);
    Py_CLEAR(state->object_table_class);
  }
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The writer guards itself with its access counter, as in _vornel.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // _vornel's classes are process-wide and cannot be shared between interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vornel._native",
    .m_doc = "Native helpers of the vornel package over _vornel's writer.",
    .m_size = sizeof(ModuleState),
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

PyTypeObject* digest_table_class(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr || state->digest_table_class == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "vornel._native is not initialised");
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(state->digest_table_class);
}

PyTypeObject* object_table_class(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr || state->object_table_class == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "vornel._native is not initialised");
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(state->object_table_class);
}

PyTypeObject* writer_class(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr || state->writer_class == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "vornel._native is not initialised");
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(state->writer_class);
}

}  // namespace vornel::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vornel::native::module_def); }
