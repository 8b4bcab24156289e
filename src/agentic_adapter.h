// The Python class AgenticAdapter, owner of one AgenticAdapterCore.
#pragma once

#include "adapters/agentic/agentic_adapter_core.h"
#include "src/binding.h"

namespace ruvo::py {

PyTypeObject* agentic_adapter_type();
// The object's core when it is an AgenticAdapter, else null.
Object<AgenticAdapterCore>* as_agentic_adapter(PyObject* obj);

}  // namespace ruvo::py
