// Views: a bytes value's data where it lies in the store's mapping, as a read-only
// memoryview, without a copy. The memoryview's exporter holds a claim on its reader, so
// that close() leaves the mapping in place until the last view of it is released (the
// reader refuses every other use at once, as after any close()).
#include "classes.hpp"
#include "errors.hpp"
#include "keys.hpp"
#include "store.hpp"

namespace vornel::engine {
namespace {

// The exporter behind a view: the reader, a claim on it, and the bytes it exports.
struct MappedValue {
  PyObject_HEAD
  PyObject* reader;  // strong reference
  const uint8_t* data;
  Py_ssize_t size;
};

ReaderInstance& reader_instance(PyObject* reader) {
  return *reinterpret_cast<ReaderInstance*>(reader);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  auto* v = reinterpret_cast<MappedValue*>(self);
  return PyBuffer_FillInfo(view, self, const_cast<uint8_t*>(v->data), v->size, 1, flags);
}

void dealloc(PyObject* self) {
  auto* v = reinterpret_cast<MappedValue*>(self);
  PyTypeObject* type = Py_TYPE(self);
  // The claim goes first: when the reader was closed meanwhile, the last claim to end
  // unmaps the file, and no memoryview reads it any more.
  ReaderInstance& inst = reader_instance(v->reader);
  if (inst.access.release_shared()) py::release_native(&inst);
  Py_DECREF(v->reader);
  type->tp_free(self);
  Py_DECREF(type);
}

PyBufferProcs buffer_procs = {get_buffer, nullptr};

PyType_Slot mapped_value_slots[] = {
    {Py_tp_doc, const_cast<char*>("The bytes of a value in a store's mapping, which a "
                                  "memoryview from view() exports.")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_procs.bf_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// What a MessagePack value is, by its first byte, for the error of a value that is not
// bytes.
const char* family_of(uint8_t first) {
  if (first <= 0x7f || first >= 0xe0 || (first >= 0xcc && first <= 0xd3)) return "an int";
  if (first <= 0x8f || first == 0xde || first == 0xdf) return "a map";
  if (first <= 0x9f || first == 0xdc || first == 0xdd) return "an array";
  if (first <= 0xbf || (first >= 0xd9 && first <= 0xdb)) return "a str";
  switch (first) {
    case 0xc0:
      return "None";
    case 0xc2:
    case 0xc3:
      return "a bool";
    case 0xca:
    case 0xcb:
      return "a float";
  }
  return "an extension type";
}

// The data of a MessagePack bin value that fills `payload` exactly, or false.
bool bin_data(Bytes payload, Bytes* data) {
  if (payload.empty()) return false;
  size_t head = 0;
  uint64_t len = 0;
  switch (payload[0]) {
    case 0xc4:
      head = 2;
      if (payload.size() >= head) len = payload[1];
      break;
    case 0xc5:
      head = 3;
      if (payload.size() >= head) len = load_be16(payload.data() + 1);
      break;
    case 0xc6:
      head = 5;
      if (payload.size() >= head) len = load_be32(payload.data() + 1);
      break;
    default:
      return false;
  }
  if (payload.size() < head || len != payload.size() - head) return false;
  *data = payload.subspan(head);
  return true;
}

}  // namespace

PyType_Spec mapped_value_spec = {
    .name = "vornel._engine.MappedValue",
    .basicsize = sizeof(MappedValue),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = mapped_value_slots,
};

PyObject* new_view(const ModuleState& state, PyObject* reader, const Store& store,
                   PyObject* key) {
  Bytes bytes;
  std::optional<Bytes> payload;
  if (py::view_key(key, bytes) == py::KeyView::Ok) {
    auto got = store.core->get(bytes);
    if (!got) return raise_value_error(state, got.error(), path_of(store), key);
    payload = *got;
  }
  if (!payload) {
    return py::raise_key_error(key);
  }
  Bytes data;
  if (!bin_data(*payload, &data)) {
    if (ValueCodec::compressed(*payload) && (store.codec || store.codec_fault)) {
      PyErr_Format(PyExc_TypeError,
                   "the value of key %R is stored compressed: view() shows only values "
                   "stored as they are",
                   key);
    } else if (payload->empty() || (*payload)[0] < 0xc4 || (*payload)[0] > 0xc6) {
      PyErr_Format(PyExc_TypeError, "the value of key %R is %s, not bytes: view() shows "
                   "only bytes values", key, payload->empty() ? "empty" : family_of((*payload)[0]));
    } else {
      return decode_payload(state, store, *payload, key);  // raises its decode error
    }
    return nullptr;
  }
  ReaderInstance& inst = reader_instance(reader);
  py::Refusal why;
  if (!inst.access.try_shared(why)) return kFailures.refused(Py_TYPE(reader), py::Access::Shared, why);
  auto* exporter = PyObject_New(MappedValue, reinterpret_cast<PyTypeObject*>(state.mapped_value_type));
  if (exporter == nullptr) {
    if (inst.access.release_shared()) py::release_native(&inst);
    return nullptr;
  }
  exporter->reader = Py_NewRef(reader);
  exporter->data = data.data();
  exporter->size = static_cast<Py_ssize_t>(data.size());
  py::PyRef owner = py::PyRef::steal(reinterpret_cast<PyObject*>(exporter));
  return PyMemoryView_FromObject(owner.get());
}

}  // namespace vornel::engine
