// One certification from Python: adapter resolution, the pipeline, the result object.
#pragma once

#include "kernel/records.h"
#include "src/py_ref.h"

namespace ruvo::py {

// Resolves `adapter`, runs the pipeline and returns a new SafetyCertificate, or null with
// TypeError (unusable adapter) or RuntimeError (kernel error) set.
PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       const SimpleAction& action);

}  // namespace ruvo::py
