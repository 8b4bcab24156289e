// The Python base class ConstraintChannel: documented defaults that raise NotImplementedError.
#include <vector>

#include "src/base_classes.h"

namespace ruvo::py {
namespace {

TypeCell cell;

constexpr Signature kNew = signature("ConstraintChannel.__new__()");

constexpr Param kEvaluateParams[] = {{"_state", Default::Required}};
constexpr Signature kEvaluate = signature("ConstraintChannel.evaluate()", kEvaluateParams);

PyObject* constraint_channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return bound(kNew, args, kwargs, [&](const Args&) { return new_instance(type, NoFields{}); });
}

PyObject* name(PyObject*, PyObject*) {
  return raise_not_implemented("Subclasses must implement name()");
}

PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound(kEvaluate, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::vector<double> state;
    if (!a.convert(0, [&](PyObject* v) { return to_real_vector(v, state); })) {
      return nullptr;
    }
    return raise_not_implemented("Subclasses must implement evaluate(state)");
  });
}

PyObject* dimension_names(PyObject*, PyObject*) {
  return raise_not_implemented("Subclasses must implement dimension_names()");
}

PyMethodDef kMethods[] = {
    {"name", name, METH_NOARGS,
     "name($self)\n--\n\nHuman-readable name of this constraint channel."},
    {"evaluate", as_method(evaluate), METH_FASTCALL | METH_KEYWORDS,
     "evaluate($self, _state)\n--\n\n"
     "Evaluate this constraint against the state vector.\n"
     "Must return a margin in [0, 1]."},
    {"dimension_names", dimension_names, METH_NOARGS,
     "dimension_names($self)\n--\n\nNames of state dimensions this channel operates on."},
    {nullptr, nullptr, 0, nullptr},
};

const TypeDef kType{
    .name = "builtins.ConstraintChannel",
    .doc =
        "ConstraintChannel()\n--\n\n"
        "Base class for constraint channels.\n"
        "\n"
        "Subclass this to create custom constraint channels:\n"
        "\n"
        "```python\n"
        "class MyChannel(ConstraintChannel):\n"
        "    def name(self) -> str:\n"
        "        return \"my_channel\"\n"
        "    def evaluate(self, state: list[float]) -> float:\n"
        "        return 0.8  # margin in [0, 1]\n"
        "    def dimension_names(self) -> list[str]:\n"
        "        return [\"dim1\"]\n"
        "```",
    .basicsize = sizeof(Object<NoFields>),
    .extra_flags = Py_TPFLAGS_BASETYPE,
    .tp_new = constraint_channel_new,
    .dealloc = dealloc_instance<NoFields>,
    .methods = kMethods,
};

}  // namespace

PyTypeObject* constraint_channel_type() {
  return cell.get_or_create(kType);
}

}  // namespace ruvo::py
