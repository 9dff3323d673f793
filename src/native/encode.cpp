#include "encode.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vornel::native {
namespace {

// Big-endian, as MessagePack stores every multi-byte number.
template <class T>
void put_be(std::string& out, uint8_t marker, T v) {
  char bytes[1 + sizeof(T)];
  bytes[0] = static_cast<char>(marker);
  for (size_t i = 0; i < sizeof(T); ++i) {
    bytes[1 + i] = static_cast<char>(static_cast<uint64_t>(v) >> (8 * (sizeof(T) - 1 - i)));
  }
  out.append(bytes, sizeof bytes);
}

void put_uint(std::string& out, uint64_t v) {
  if (v < 0x80) {
    out.push_back(static_cast<char>(v));  // positive fixint
  } else if (v <= UINT8_MAX) {
    put_be(out, 0xcc, static_cast<uint8_t>(v));
  } else if (v <= UINT16_MAX) {
    put_be(out, 0xcd, static_cast<uint16_t>(v));
  } else if (v <= UINT32_MAX) {
    put_be(out, 0xce, static_cast<uint32_t>(v));
  } else {
    put_be(out, 0xcf, v);
  }
}

void put_int(std::string& out, int64_t v) {
  if (v >= 0) return put_uint(out, static_cast<uint64_t>(v));
  if (v >= -32) {
    out.push_back(static_cast<char>(v));  // negative fixint
  } else if (v >= INT8_MIN) {
    put_be(out, 0xd0, static_cast<uint8_t>(v));
  } else if (v >= INT16_MIN) {
    put_be(out, 0xd1, static_cast<uint16_t>(v));
  } else if (v >= INT32_MIN) {
    put_be(out, 0xd2, static_cast<uint32_t>(v));
  } else {
    put_be(out, 0xd3, static_cast<uint64_t>(v));
  }
}

// A length-prefixed body; the three markers are those of the 8-, 16- and 32-bit
// lengths. Lengths of 2^32 and over are the packer's to reject.
bool put_sized(std::string& out, const char* body, size_t n, uint8_t m8, uint8_t m16,
               uint8_t m32) {
  if (n <= UINT8_MAX) {
    put_be(out, m8, static_cast<uint8_t>(n));
  } else if (n <= UINT16_MAX) {
    put_be(out, m16, static_cast<uint16_t>(n));
  } else if (n <= UINT32_MAX) {
    put_be(out, m32, static_cast<uint32_t>(n));
  } else {
    return false;
  }
  out.append(body, n);
  return true;
}

bool encode_int(PyObject* value, std::string& out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    put_int(out, v);
    return true;
  }
  if (overflow < 0) return false;  // below -2^63: the packer's OverflowError
  const unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // 2^64 and over
    return false;
  }
  put_uint(out, u);
  return true;
}

bool encode_str(PyObject* value, std::string& out) {
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(value, &n);
  if (s == nullptr) {
    PyErr_Clear();  // a lone surrogate: the packer raises for it
    return false;
  }
  const auto len = static_cast<size_t>(n);
  if (len < 32) {
    out.push_back(static_cast<char>(0xa0 | len));  // fixstr
    out.append(s, len);
    return true;
  }
  return put_sized(out, s, len, 0xd9, 0xda, 0xdb);
}

}  // namespace

bool encode_scalar(PyObject* value, std::string& out) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyBytes_Type) {
    return put_sized(out, PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)),
                     0xc4, 0xc5, 0xc6);
  }
  if (type == &PyUnicode_Type) return encode_str(value, out);
  if (type == &PyLong_Type) return encode_int(value, out);
  if (type == &PyFloat_Type) {
    put_be(out, 0xcb, std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(value)));
    return true;
  }
  if (value == Py_None) {
    out.push_back(static_cast<char>(0xc0));
    return true;
  }
  if (value == Py_False || value == Py_True) {
    out.push_back(static_cast<char>(value == Py_True ? 0xc3 : 0xc2));
    return true;
  }
  return false;
}

}  // namespace vornel::native
