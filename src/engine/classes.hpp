// The type specifications of vornel._engine's classes; module.cpp creates one class of
// each per module object and keeps it in the module state.
#pragma once

#include "pyref.hpp"

namespace vornel::engine {

extern PyType_Spec writer_spec;
extern PyType_Spec reader_spec;
extern PyType_Spec cursor_spec;
extern PyType_Spec merge_spec;
extern PyType_Spec shard_set_spec;
extern PyType_Spec mapped_value_spec;

}  // namespace vornel::engine
