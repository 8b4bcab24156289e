// Module entry point: single-phase initialisation and registration in a fixed order.
#include <atomic>
#include <cstdint>

#include "src/agentic_adapter.h"
#include "src/base_classes.h"
#include "src/binding.h"
#include "src/certifier_config.h"
#include "src/certify_action.h"
#include "src/method_names.h"
#include "src/safety_certificate.h"
#include "src/safety_certifier.h"
#include "src/simple_action.h"
#include "src/state_delta.h"

namespace ruvo::py {
namespace {

std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* module_cell = nullptr;  // the built module, kept for the life of the process

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ruvo_safety",
    "RUVO Safety Kernel -- Python bindings",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

// Registration order is part of the interface: it is the order of __all__.
constexpr ClassEntry kClasses[] = {
    {"SafetyCertificate", safety_certificate_type}, {"SafetyCertifier", safety_certifier_type},
    {"SimpleAction", simple_action_type},           {"StateDelta", state_delta_type},
    {"CertifierConfig", certifier_config_type},     {"AgenticAdapter", agentic_adapter_type},
    {"DomainAdapter", domain_adapter_type},         {"ConstraintChannel", constraint_channel_type},
};

bool add_public(PyObject* module, PyObject* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool register_class(PyObject* module, const ClassEntry& entry) {
  PyTypeObject* type = entry.type();
  if (type == nullptr) return false;
  Ref name = Ref::steal(PyUnicode_FromString(entry.name));
  return name && add_public(module, name.get(), reinterpret_cast<PyObject*>(type));
}

bool register_function(PyObject* module) {
  Ref function = Ref::steal(new_certify_action_function(module));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  return name && add_public(module, name.get(), function.get());
}

PyObject* init_module() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "ruvo_safety does not yet support sub-interpreters: it can only be imported "
                    "in the first interpreter that imported it");
    return nullptr;
  }
  if (module_cell != nullptr) return Py_NewRef(module_cell);

  if (!intern_method_names()) return nullptr;
  Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (!register_class(module.get(), entry)) return nullptr;
  }
  if (!register_function(module.get())) return nullptr;
  module_cell = module.release();
  return Py_NewRef(module_cell);
}

}  // namespace
}  // namespace ruvo::py

PyMODINIT_FUNC PyInit_ruvo_safety() {
  return ruvo::py::guard([] { return ruvo::py::init_module(); });
}
