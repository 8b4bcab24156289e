// One certification from Python: adapter resolution, the pipeline, the result object.
#include "src/certification.h"

#include "kernel/pipeline.h"
#include "src/agentic_adapter.h"
#include "src/binding.h"
#include "src/errors.h"
#include "src/python_adapter.h"
#include "src/safety_certificate.h"

namespace ruvo::py {

namespace {

// Runs `certify_into_slot(slot)` against the slot of a new certificate object, so the
// certificate is sealed where Python will read it. An exception the domain code raised
// that must propagate wins over the kernel's verdict; a kernel error is raised as such.
template <class Certify>
PyObject* certificate_from(Certify&& certify_into_slot, Failures* failures = nullptr) {
  Ref object = Ref::steal(new_unsealed_certificate());
  if (!object) return nullptr;
  Status error = certify_into_slot(certificate_slot(object.get()));
  if (failures != nullptr && failures->propagating()) return failures->raise_kept();
  if (error) {
    raise_kernel_error(*error);
    return nullptr;
  }
  return object.release();
}

PyObject* certify_python_adapter(PyObject* object, const CertifierConfig& config,
                                 const ProposedAction& action) {
  Failures failures;
  std::string domain;
  if (!call_domain_name(object, domain)) {
    std::string text = failures.take();
    if (failures.propagating()) return failures.raise_kept();
    raise_adapter_error(text);
    return nullptr;
  }
  PythonDomainAdapter adapter(std::move(domain), Ref::borrow(object), failures);
  return certificate_from(
      [&](std::optional<Certificate>& slot) {
        return certify_into(slot, config, adapter, action, utc_now, Summary::Skip);
      },
      &failures);
}

PyObject* certify_agentic(Object<AgenticAdapterCore>* agentic, const CertifierConfig& config,
                          const ProposedAction& action) {
  return certificate_from([&](std::optional<Certificate>& slot) {
    return certify_into(slot, config, agentic->value, action, utc_now, Summary::Skip);
  });
}

}  // namespace

PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       const ProposedAction& action) {
  if (auto* agentic = as_agentic_adapter(adapter)) {
    SharedBorrow borrow(agentic->borrow);
    if (!borrow) return nullptr;
    return certify_agentic(agentic, config, action);
  }
  return certify_python_adapter(adapter, config, action);
}

PyObject* certify_with(PyObject* adapter, const CertifierConfig& config,
                       Object<SimpleAction>* action) {
  if (auto* agentic = as_agentic_adapter(adapter)) {
    SharedBorrow adapter_borrow(agentic->borrow);
    if (!adapter_borrow) return nullptr;
    SharedBorrow action_borrow(action->borrow);
    if (!action_borrow) return nullptr;
    return certify_agentic(agentic, config, action->value);
  }
  SimpleAction copy;
  {
    SharedBorrow borrow(action->borrow);
    if (!borrow) return nullptr;
    copy = action->value;
  }
  return certify_python_adapter(adapter, config, copy);
}

}  // namespace ruvo::py
