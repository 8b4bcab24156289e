// The Python class SafetyCertifier: an adapter and a configuration, certified on demand.
#include "src/safety_certifier.h"

#include "src/certification.h"
#include "src/certifier_config.h"
#include "src/simple_action.h"

namespace ruvo::py {
namespace {

TypeCell cell;

struct Certifier {
  Ref adapter;
  CertifierConfig config;
};

constexpr Param kNewParams[] = {
    {"adapter", Default::Required},
    {"config", Default::None},
};
constexpr Signature kNew = signature("SafetyCertifier.__new__()", kNewParams);

constexpr Param kCertifyParams[] = {{"action", Default::Required}};
constexpr Signature kCertify = signature("SafetyCertifier.certify()", kCertifyParams);

PyObject* certifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return bound(kNew, args, kwargs, [&](const Args& a) -> PyObject* {
    Certifier c;
    if (!a.convert(1, [&](PyObject* v) { return to_certifier_config(v, c.config); })) {
      return nullptr;
    }
    c.adapter = Ref::borrow(a[0]);
    return new_instance(type, std::move(c));
  });
}

PyObject* certify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound(kCertify, args, nargs, kwnames, [&](const Args& a) -> PyObject* {
    Object<SimpleAction>* action = nullptr;
    if (!a.convert(0, [&](PyObject* v) { return (action = as_simple_action(v)) != nullptr; })) {
      return nullptr;
    }
    return read<Certifier>(self, [&](const Certifier& c) -> PyObject* {
      // The adapter may drop its last other reference during the call.
      Ref adapter = Ref::borrow(c.adapter ? c.adapter.get() : Py_None);
      return certify_with(adapter.get(), c.config, action);
    });
  });
}

PyObject* certifier_repr(PyObject* self) {
  return read<Certifier>(self, [](const Certifier& c) {
    std::string out = "SafetyCertifier(config=";
    append_config_repr(out, c.config);
    out += ')';
    return new_text(out);
  });
}

PyObject* get_config(PyObject* self, void*) {
  return read<Certifier>(self, [](const Certifier& c) { return new_certifier_config(c.config); });
}

int certifier_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(object_of<Certifier>(self)->value.adapter.get());
  return 0;
}

int certifier_clear(PyObject* self) {
  object_of<Certifier>(self)->value.adapter.reset();
  return 0;
}

PyGetSetDef kGetSet[] = {
    {"config", get_config, nullptr, "Get the current configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"certify", as_method(certify), METH_FASTCALL | METH_KEYWORDS,
     "certify($self, action)\n--\n\n"
     "Certify a proposed action.\n"
     "\n"
     "Args:\n"
     "    action: A SimpleAction instance describing the proposed action.\n"
     "\n"
     "Returns:\n"
     "    SafetyCertificate with the certification decision."},
    {nullptr, nullptr, 0, nullptr},
};

const TypeDef kType{
    .name = "builtins.SafetyCertifier",
    .doc =
        "SafetyCertifier(adapter, config=None)\n--\n\n"
        "A stateful safety certifier that holds a domain adapter and configuration.\n"
        "\n"
        "Create once, then call `certify()` repeatedly:\n"
        "\n"
        "```python\n"
        "from ruvo_safety import SafetyCertifier, AgenticAdapter, SimpleAction, StateDelta\n"
        "\n"
        "adapter = AgenticAdapter(budget_limit=100.0, rate_limit=50.0)\n"
        "certifier = SafetyCertifier(adapter)\n"
        "\n"
        "action = SimpleAction(\"act-1\", \"agent-1\", [StateDelta(\"budget\", 0.0, 50.0)])\n"
        "cert = certifier.certify(action)\n"
        "print(cert.decision)\n"
        "```",
    .basicsize = sizeof(Object<Certifier>),
    // Tracked so that an adapter referring back to its certifier can be reclaimed.
    .extra_flags = Py_TPFLAGS_HAVE_GC,
    .tp_new = certifier_new,
    .dealloc = dealloc_instance<Certifier>,
    .repr = certifier_repr,
    .getset = kGetSet,
    .methods = kMethods,
    .traverse = certifier_traverse,
    .clear = certifier_clear,
};

}  // namespace

PyTypeObject* safety_certifier_type() {
  return cell.get_or_create(kType);
}

}  // namespace ruvo::py
