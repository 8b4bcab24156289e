// One certification from Python: adapter resolution, the pipeline, the result object.
#pragma once

#include "kernel/records.h"
#include "src/binding.h"

namespace ruvo::py {

// Resolves `adapter`, runs the pipeline and returns a new SafetyCertificate, or null with
// TypeError (unusable adapter) or RuntimeError (kernel error) set.
PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       const ProposedAction& action);
// The same for a SimpleAction object. The built-in adapter runs no Python code, so it reads
// the object in place; a Python adapter gets a copy taken before its first callback.
PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       Object<SimpleAction>* action);

}  // namespace ruvo::py
