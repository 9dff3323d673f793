// vornel._engine: the package's own module over the core. Its classes live in the
// module state, one set per module object, so that each interpreter has its own.
#include <string_view>

#include "classes.hpp"
#include "errors.hpp"
#include "shard_route.hpp"
#include "state.hpp"
#include "summary.hpp"

namespace vornel::engine {

PyObject* packb(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* unpackb(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* is_plain_json(PyObject*, PyObject*);

namespace {

PyObject* shard_of_stored(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "shard_of() takes 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  const Py_ssize_t count = PyLong_AsSsize_t(args[1]);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  if (count < 1) return raise_text(PyExc_ValueError, "a set has at least one shard");
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  const size_t index =
      shard_of(Bytes(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)),
               static_cast<size_t>(count));
  PyBuffer_Release(&view);
  return PyLong_FromSize_t(index);
}

PyObject* size_text_of(PyObject*, PyObject* arg) {
  const unsigned long long bytes = PyLong_AsUnsignedLongLong(arg);
  if (bytes == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  const std::string text = size_text(bytes);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

extern PyModuleDef module_def;

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Stores a new reference to attribute `name` of `owner` in `slot`.
bool take(PyObject* owner, const char* name, PyObject*& slot) {
  slot = PyObject_GetAttrString(owner, name);
  return slot != nullptr;
}

bool add_type(PyObject* module, PyType_Spec* spec, PyObject* base, PyObject*& slot) {
  slot = PyType_FromModuleAndSpec(module, spec, base);
  if (slot == nullptr) return false;
  const char* dot = std::string_view(spec->name).find_last_of('.') == std::string_view::npos
                        ? spec->name
                        : spec->name + std::string_view(spec->name).find_last_of('.') + 1;
  return PyModule_AddObjectRef(module, dot, slot) == 0;
}

int exec_module(PyObject* module) {
  ModuleState* state = module_state(module);
  // The package's exceptions, raised as its callers catch them.
  py::PyRef errors = py::PyRef::steal(PyImport_ImportModule("vornel.errors"));
  if (!errors || !take(errors.get(), "VornCorruptError", state->corrupt_error) ||
      !take(errors.get(), "VornVersionError", state->version_error) ||
      !take(errors.get(), "io_error", state->io_error) ||
      !take(errors.get(), "VornIOError", state->io_error_type) ||
      !take(errors.get(), "VornLimitError", state->limit_error) ||
      !take(errors.get(), "VornDecodeError", state->decode_error) ||
      !take(errors.get(), "VornFormatError", state->format_error) ||
      !take(errors.get(), "VornStackError", state->stack_error) ||
      !take(errors.get(), "VornExtraDataError", state->extra_data_error) ||
      !take(errors.get(), "VornUnicodeDecodeError", state->unicode_decode_error) ||
      !take(errors.get(), "VornUnhashableKeyError", state->unhashable_key_error) ||
      !take(errors.get(), "WriterBusyError", state->busy_error) ||
      !take(errors.get(), "DuplicateKeyError", state->duplicate_error) ||
      !take(errors.get(), "PanicException", state->panic)) {
    return -1;
  }
  py::PyRef msgpack = py::PyRef::steal(PyImport_ImportModule("msgpack"));
  if (!msgpack || !take(msgpack.get(), "ExtType", state->codec.ext_type) ||
      !take(msgpack.get(), "Timestamp", state->codec.timestamp)) {
    return -1;
  }
  state->codec.limit_error = state->limit_error;
  state->keys = new KeyCache();
  if (!add_type(module, &writer_spec, nullptr, state->writer_type) ||
      !add_type(module, &reader_spec, nullptr, state->reader_type) ||
      !add_type(module, &cursor_spec, nullptr, state->cursor_type) ||
      !add_type(module, &merge_spec, nullptr, state->merge_type) ||
      !add_type(module, &shard_set_spec, nullptr, state->shard_set_type) ||
      !add_type(module, &mapped_value_spec, nullptr, state->mapped_value_type)) {
    return -1;
  }
  return PyModule_AddStringConstant(module, "__version__", VORNEL_VERSION);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  if (ModuleState* state = module_state(module)) {
    int result = 0;
    for_each_object(*state, [&](PyObject*& o) {
      if (result == 0 && o != nullptr) result = visit(o, arg);
    });
    return result;
  }
  return 0;
}

int clear_module(PyObject* module) {
  if (ModuleState* state = module_state(module)) {
    for_each_object(*state, [](PyObject*& o) { Py_CLEAR(o); });
    state->codec.limit_error = nullptr;
    if (state->keys != nullptr) state->keys->clear();
  }
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
  if (ModuleState* state = module_state(static_cast<PyObject*>(module))) {
    delete state->keys;
    state->keys = nullptr;
  }
}

PyMethodDef module_methods[] = {
    {"packb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packb)),
     METH_FASTCALL | METH_KEYWORDS,
     "packb(value, default=None)\n--\n\n"
     "The MessagePack encoding of *value* that the writer stores."},
    {"unpackb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpackb)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpackb(data, ext_hook=None, object_hook=None)\n--\n\n"
     "The value that the reader decodes from *data*."},
    {"is_plain_json", is_plain_json, METH_O,
     "is_plain_json(value, /)\n--\n\n"
     "Whether json.dumps writes *value* as the tagged JSON form would: plain JSON types "
     "only, no non-finite float, no map with names that are not str, none that looks "
     "like a tag."},
    {"shard_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shard_of_stored)),
     METH_FASTCALL,
     "shard_of(stored, count, /)\n--\n\n"
     "The shard among *count* of the key whose stored bytes are *stored*: their CRC-32 "
     "modulo *count*, as a sharded reader routes its lookups."},
    {"size_text", size_text_of, METH_O,
     "size_text(bytes, /)\n--\n\n"
     "A size as the package shows it: \"40 B\", \"1.2 KiB\", \"50.3 MiB\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Every instance guards itself with its claims; nothing here needs the interpreter
    // lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The classes and everything else live in the module state: each interpreter gets
    // its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vornel._engine",
    .m_doc = "The vornel package's native engine over the core: writer, reader, cursors and "
             "their merges, and the routing of a sharded reader.",
    .m_size = sizeof(ModuleState),
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

ModuleState* state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  return module == nullptr ? nullptr : module_state(module);
}

}  // namespace vornel::engine

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&vornel::engine::module_def); }
