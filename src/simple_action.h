// The Python class SimpleAction.
#pragma once

#include "kernel/records.h"
#include "src/binding.h"

namespace ruvo::py {

PyTypeObject* simple_action_type();
// The instance behind a SimpleAction object, or null with the conversion TypeError set.
Object<SimpleAction>* as_simple_action(PyObject* obj);
// Copies identifiers and deltas of a SimpleAction instance into a fresh kernel action.
bool to_simple_action(PyObject* obj, SimpleAction& out);
// A new Python SimpleAction holding copies of the action's three fields.
PyObject* new_simple_action(const ProposedAction& action);

}  // namespace ruvo::py
