// The Python class SafetyCertifier.
#pragma once

#include "src/binding.h"

namespace ruvo::py {

PyTypeObject* safety_certifier_type();

}  // namespace ruvo::py
