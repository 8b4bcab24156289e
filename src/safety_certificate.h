// The Python class SafetyCertificate, the read-only view of a sealed certificate.
#pragma once

#include <optional>

#include "kernel/certificate/certificate.h"
#include "src/binding.h"

namespace ruvo::py {

PyTypeObject* safety_certificate_type();
// A new certificate object with an empty slot, and that slot: the kernel seals the
// certificate straight into it. Only a sealed object may reach Python code.
PyObject* new_unsealed_certificate();
std::optional<Certificate>& certificate_slot(PyObject* unsealed);

}  // namespace ruvo::py
