// _VornWriter. Staging takes exclusive access; build and the representation only read
// the staged state and share it. The table below describes each method once.
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "method.hpp"
#include "summary.hpp"
#include "types.hpp"
#include "write/writer.hpp"

namespace vornel::py {
namespace {

constexpr ClassInfo<Writer> kClass = {"_VornWriter", writer_type, &kFailures};

std::unique_ptr<Writer> make_writer(PyTypeObject*, const BoundArgs&) {
  return std::make_unique<Writer>();
}

PyObject* add_object_raw(Writer& w, const BoundArgs& a, PyObject*) {
  Bytes raw;
  if (!convert_raw_bytes(a[0], raw)) return nullptr;
  return new_uint(w.add_object(raw));
}

PyObject* add_key(Writer& w, const BoundArgs& a, PyObject*) {
  // obj_id first: a call that is wrong in both reports the obj_id error.
  uint64_t obj_id;
  if (!convert_obj_id(a[1], obj_id)) return nullptr;
  KeyArg key;
  if (!convert_key(a[0], key)) return nullptr;
  if (Status s = w.add_key(key.bytes(), obj_id); !s) return raise_store_error(s.error());
  Py_RETURN_NONE;
}

PyObject* build(Writer& w, const BoundArgs& a, PyObject*) {
  std::string_view path;
  if (!convert_path(a[0], path)) return nullptr;
  Result<BuildReport> report = w.build(path);
  if (!report) return raise_store_error(report.error());
  // The store is published; a failure to announce it does not undo that.
  if (Status printed = print_stdout_line(fixed_summary_line(path, *report)); !printed) {
    return raise_panic("failed printing to stdout: " + printed.error().message());
  }
  Py_RETURN_NONE;
}

PyObject* repr(Writer& w, const BoundArgs&, PyObject*) {
  return checked(PyUnicode_FromFormat("_VornWriter(objects=%llu, keys=%llu)",
                                      static_cast<unsigned long long>(w.num_objects()),
                                      static_cast<unsigned long long>(w.num_keys())));
}

constexpr auto kMethods = std::to_array<Method<Writer>>({
    // name, parameters (names, required count), access, implementation, documentation
    {"add_object_raw", {{"raw_bytes"}, 1}, Access::Exclusive, add_object_raw,
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", {{"key", "obj_id"}, 2}, Access::Exclusive, add_key,
     "Map *key* (str or bytes) to *obj_id*."},
    {"build", {{"path"}, 1}, Access::Shared, build,
     "Atomically write the `.vrnl` file: tmp → fsync → rename."},
});

constexpr Constructor<Writer> kNew = {
    {},
    make_writer,
    "Low-level writer — accepts pre-serialised msgpack bytes per object.\n"
    "**Use `vornel.VornWriter` (Python wrapper) instead of this directly.**",
};

constexpr Method<Writer> kRepr = {"__repr__", {}, Access::Shared, repr, ""};

auto writer_methods = method_table<kClass, kMethods>();

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>(docstring<kClass, kNew>.data())},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, writer_methods.data()},
    {Py_tp_new, slot(new_entry<kClass, kNew>)},
    {Py_tp_repr, slot(repr_entry<kClass, kRepr>)},
    {Py_tp_dealloc, slot(dealloc_instance<Writer>)},
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
