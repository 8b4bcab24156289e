// The Python class CertifierConfig.
#pragma once

#include "kernel/records.h"
#include "src/binding.h"

namespace ruvo::py {

PyTypeObject* certifier_config_type();
bool to_certifier_config(PyObject* obj, CertifierConfig& out);
PyObject* new_certifier_config(const CertifierConfig& config);
// "CertifierConfig(safe=..., caution=..., block=..., warning=...)"
void append_config_repr(std::string& out, const CertifierConfig& config);

}  // namespace ruvo::py
