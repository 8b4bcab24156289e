// The Python base class DomainAdapter: documented defaults that raise NotImplementedError.
#include <vector>

#include "src/base_classes.h"

namespace ruvo::py {
namespace {

TypeCell cell;

constexpr Signature kNew = signature("DomainAdapter.__new__()");

constexpr Param kMapParams[] = {{"_action", Default::Required}};
constexpr Signature kMap = signature("DomainAdapter.map_action_to_state()", kMapParams);

constexpr Param kRegimeParams[] = {{"_current", Default::Required},
                                   {"_proposed", Default::Required}};
constexpr Signature kRegime = signature("DomainAdapter.detect_regime_change()", kRegimeParams);

PyObject* domain_adapter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return bound(kNew, args, kwargs, [&](const Args&) { return new_instance(type, NoFields{}); });
}

PyObject* domain_name(PyObject*, PyObject*) {
  return raise_not_implemented("Subclasses must implement domain_name()");
}

PyObject* constraint_channels(PyObject*, PyObject*) {
  return raise_not_implemented("Subclasses must implement constraint_channels()");
}

PyObject* map_action_to_state(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return bound(kMap, args, nargs, kwnames, [](const Args&) {
    return raise_not_implemented("Subclasses must implement map_action_to_state(action)");
  });
}

PyObject* detect_regime_change(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return bound(kRegime, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::vector<double> current;
    std::vector<double> proposed;
    if (!a.convert(0, [&](PyObject* v) { return to_real_vector(v, current); }) ||
        !a.convert(1, [&](PyObject* v) { return to_real_vector(v, proposed); })) {
      return nullptr;
    }
    return raise_not_implemented(
        "Subclasses must implement detect_regime_change(current, proposed)");
  });
}

PyMethodDef kMethods[] = {
    {"domain_name", domain_name, METH_NOARGS,
     "domain_name($self)\n--\n\n"
     "Name of the domain (e.g., \"finance\", \"agentic\", \"robotics\")."},
    {"constraint_channels", constraint_channels, METH_NOARGS,
     "constraint_channels($self)\n--\n\nProvide the constraint channels for this domain."},
    {"map_action_to_state", as_method(map_action_to_state), METH_FASTCALL | METH_KEYWORDS,
     "map_action_to_state($self, _action)\n--\n\n"
     "Map a proposed action's state deltas into a state vector."},
    {"detect_regime_change", as_method(detect_regime_change), METH_FASTCALL | METH_KEYWORDS,
     "detect_regime_change($self, _current, _proposed)\n--\n\n"
     "Detect whether the proposed state change represents a regime change."},
    {nullptr, nullptr, 0, nullptr},
};

const TypeDef kType{
    .name = "builtins.DomainAdapter",
    .doc =
        "DomainAdapter()\n--\n\n"
        "Base class for domain adapters.\n"
        "\n"
        "Subclass this to create custom domain adapters that plug domain-specific\n"
        "logic into the safety certification kernel:\n"
        "\n"
        "```python\n"
        "class MyAdapter(DomainAdapter):\n"
        "    def domain_name(self) -> str:\n"
        "        return \"my_domain\"\n"
        "    def constraint_channels(self) -> list[ConstraintChannel]:\n"
        "        return [MyChannel()]\n"
        "    def map_action_to_state(self, action) -> list[float]:\n"
        "        return [1.0]\n"
        "    def detect_regime_change(self, current, proposed) -> bool:\n"
        "        return False\n"
        "```",
    .basicsize = sizeof(Object<NoFields>),
    .extra_flags = Py_TPFLAGS_BASETYPE,
    .tp_new = domain_adapter_new,
    .dealloc = dealloc_instance<NoFields>,
    .methods = kMethods,
};

}  // namespace

PyTypeObject* domain_adapter_type() {
  return cell.get_or_create(kType);
}

}  // namespace ruvo::py
