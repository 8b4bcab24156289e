// The Python class SafetyCertificate: nine read-only properties, repr and JSON text.
#include "src/safety_certificate.h"

#include "kernel/text.h"

#include <cstdio>

namespace ruvo::py {
namespace {

TypeCell cell;

// The object holds the sealed kernel certificate itself, sealed in place; the decision
// text is rendered when read, which Python code does far less often than it certifies.
// The slot is empty only between the object's allocation and the seal.
using Held = std::optional<Certificate>;
using View = Certificate;

template <class F>
PyObject* read_certificate(PyObject* self, F&& f) noexcept {
  return read<Held>(self, [&](const Held& held) -> PyObject* { return f(*held); });
}

PyObject* certificate_repr(PyObject* self) {
  return read_certificate(self, [](const View& c) {
    std::string out = "SafetyCertificate(id=";
    out += c.certificate_id();
    out += ", decision=";
    c.decision().append_debug_form(out);
    out += ", zone=";
    out += zone_text(c.zone());
    out += ')';
    return new_text(out);
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return read_certificate(self, [](const View& c) {
    const std::string decision = c.decision().debug_form();
    // Members in byte order of their names.
    const std::pair<std::string_view, std::string_view> members[] = {
        {"action_id", c.action_id()},
        {"agent_id", c.agent_id()},
        {"certificate_id", c.certificate_id()},
        {"decision", decision},
        {"deterministic_hash", c.deterministic_hash()},
        {"zone", zone_text(c.zone())},
    };
    std::string out = "{\n";
    bool first = true;
    for (const auto& [name, value] : members) {
      if (!first) out += ",\n";
      first = false;
      out += "  ";
      text::append_json_string(out, name);
      out += ": ";
      text::append_json_string(out, value);
    }
    out += "\n}";
    return new_text(out);
  });
}

template <auto Field>
PyObject* get_text(PyObject* self, void*) {
  return read_certificate(self, [](const View& c) { return new_text((c.*Field)()); });
}

PyObject* get_decision(PyObject* self, void*) {
  return read_certificate(self, [](const View& c) { return new_text(c.decision().debug_form()); });
}

PyObject* get_zone(PyObject* self, void*) {
  return read_certificate(self, [](const View& c) { return new_text(zone_text(c.zone())); });
}

PyObject* get_margins(PyObject* self, void*) {
  return read_certificate(self, [](const View& c) -> PyObject* {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, margin] : c.margins()) {
      Ref key = Ref::steal(new_text(name));
      Ref value = Ref::steal(PyFloat_FromDouble(margin));
      if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* get_binding_constraint(PyObject* self, void*) {
  return read_certificate(self, [](const View& c) -> PyObject* {
    if (!c.binding_constraint()) Py_RETURN_NONE;
    return new_text(*c.binding_constraint());
  });
}

PyObject* get_drift_budget(PyObject* self, void*) {
  return read_certificate(self, [](const View& c) -> PyObject* {
    if (!c.drift_budget()) Py_RETURN_NONE;
    return PyFloat_FromDouble(*c.drift_budget());
  });
}

PyGetSetDef kGetSet[] = {
    {"certificate_id", get_text<&View::certificate_id>, nullptr, "", nullptr},
    {"action_id", get_text<&View::action_id>, nullptr, "", nullptr},
    {"agent_id", get_text<&View::agent_id>, nullptr, "", nullptr},
    {"decision", get_decision, nullptr, "", nullptr},
    {"zone", get_zone, nullptr, "", nullptr},
    {"margins", get_margins, nullptr, "", nullptr},
    {"binding_constraint", get_binding_constraint, nullptr, "", nullptr},
    {"drift_budget", get_drift_budget, nullptr, "", nullptr},
    {"deterministic_hash", get_text<&View::deterministic_hash>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"to_json", to_json, METH_NOARGS, "to_json($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const TypeDef kType{
    .name = "builtins.SafetyCertificate",
    .doc = "Python-visible safety certificate.",
    .basicsize = sizeof(Object<Held>),
    .extra_flags = 0,
    .tp_new = nullptr,
    .dealloc = dealloc_instance<Held>,
    .repr = certificate_repr,
    .getset = kGetSet,
    .methods = kMethods,
};

}  // namespace

PyTypeObject* safety_certificate_type() {
  return cell.get_or_create(kType);
}

PyObject* new_unsealed_certificate() {
  return new_instance(cell.get(), Held());
}

std::optional<Certificate>& certificate_slot(PyObject* unsealed) {
  return object_of<Held>(unsealed)->value;
}

}  // namespace ruvo::py
