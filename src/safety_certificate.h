// The Python class SafetyCertificate, the read-only view of a sealed certificate.
#pragma once

#include "kernel/certificate/certificate.h"
#include "src/binding.h"

namespace ruvo::py {

PyTypeObject* safety_certificate_type();
// A new certificate object that takes over the sealed certificate.
PyObject* new_safety_certificate(Certificate&& certificate);

}  // namespace ruvo::py
