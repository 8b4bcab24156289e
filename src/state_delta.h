// The Python class StateDelta.
#pragma once

#include "kernel/records.h"
#include "src/binding.h"

namespace ruvo::py {

PyTypeObject* state_delta_type();
// Copies the fields of a StateDelta instance; TypeError "... 'StateDelta'" otherwise.
bool to_state_delta(PyObject* obj, StateDelta& out);
PyObject* new_state_delta(const StateDelta& delta);

}  // namespace ruvo::py
