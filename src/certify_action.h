// The module function certify_action.
#pragma once

#include "src/binding.h"

namespace ruvo::py {

// Creates the builtin function object bound to `module`.
PyObject* new_certify_action_function(PyObject* module);

}  // namespace ruvo::py
