// MessagePack decoding into Python values (provisional interface).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "msgpack_limits.hpp"

namespace vornel::engine {

struct UnpackHooks {
  PyObject* ext_hook;
  PyObject* object_hook;
};
enum class UnpackStatus { Ok, Malformed, Raised };

UnpackStatus unpack(std::span<const uint8_t> data, const UnpackHooks& hooks,
                    const CodecClasses& classes, PyObject** out, std::string* reason);

}  // namespace vornel::engine
