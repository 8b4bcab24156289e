// Interned names of the methods the kernel calls on Python adapters and channels.
#pragma once

#include "src/py_ref.h"

namespace ruvo::py {

struct MethodNames {
  PyObject* domain_name;
  PyObject* constraint_channels;
  PyObject* map_action_to_state;
  PyObject* detect_regime_change;
  PyObject* name;
  PyObject* evaluate;
  PyObject* dimension_names;
};

// Creates the names once per process; false with an exception set on failure.
bool intern_method_names();
const MethodNames& method_names() noexcept;

}  // namespace ruvo::py
