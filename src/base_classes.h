// The Python base classes DomainAdapter and ConstraintChannel.
#pragma once

#include "src/binding.h"

namespace ruvo::py {

// Instances of the base classes carry no data of their own.
struct NoFields {};

// NotImplementedError with `message` as its only argument; returns null.
inline PyObject* raise_not_implemented(const char* message) {
  PyErr_SetString(PyExc_NotImplementedError, message);
  return nullptr;
}

PyTypeObject* domain_adapter_type();
PyTypeObject* constraint_channel_type();

}  // namespace ruvo::py
