// The Python class AgenticAdapter: counters moved from Python, read by certification.
#include "src/agentic_adapter.h"

namespace ruvo::py {
namespace {

TypeCell cell;
using Core = AgenticAdapterCore;

constexpr Param kNewParams[] = {
    {"budget_limit", Default::Value},
    {"rate_limit", Default::Value},
};
constexpr Signature kNew = signature("AgenticAdapter.__new__()", kNewParams);

constexpr Param kSpendParams[] = {{"amount", Default::Required}};
constexpr Signature kRecordSpend = signature("AgenticAdapter.record_spend()", kSpendParams);

PyObject* agentic_adapter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return bound(kNew, args, kwargs, [&](const Args& a) -> PyObject* {
    double budget_limit = 100.0;
    double rate_limit = 50.0;
    if (!a.real(0, budget_limit) || !a.real(1, rate_limit)) return nullptr;
    return new_instance(type, Core(budget_limit, rate_limit));
  });
}

PyObject* record_spend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound(kRecordSpend, args, nargs, kwnames, [&](const Args& a) -> PyObject* {
    // `__float__` may be Python code: it runs before the adapter is taken.
    double amount = 0.0;
    if (!a.real(0, amount)) return nullptr;
    return mutate<Core>(self, [&](Core& core) -> PyObject* {
      core.record_spend(amount);
      Py_RETURN_NONE;
    });
  });
}

PyObject* record_action(PyObject* self, PyObject*) {
  return mutate<Core>(self, [](Core& core) -> PyObject* {
    core.record_action();
    Py_RETURN_NONE;
  });
}

PyObject* reset_rate_window(PyObject* self, PyObject*) {
  return mutate<Core>(self, [](Core& core) -> PyObject* {
    core.reset_rate_window();
    Py_RETURN_NONE;
  });
}

PyObject* budget_utilization(PyObject* self, PyObject*) {
  return read<Core>(self,
                    [](const Core& core) { return PyFloat_FromDouble(core.budget_utilization()); });
}

PyMethodDef kMethods[] = {
    {"record_spend", as_method(record_spend), METH_FASTCALL | METH_KEYWORDS,
     "record_spend($self, amount)\n--\n\nRecord spending against the budget."},
    {"record_action", record_action, METH_NOARGS,
     "record_action($self)\n--\n\nRecord an action against the rate limit."},
    {"reset_rate_window", reset_rate_window, METH_NOARGS,
     "reset_rate_window($self)\n--\n\nReset the rate window counter."},
    {"budget_utilization", budget_utilization, METH_NOARGS,
     "budget_utilization($self)\n--\n\nGet current budget utilization (0.0 to 1.0)."},
    {nullptr, nullptr, 0, nullptr},
};

const TypeDef kType{
    .name = "builtins.AgenticAdapter",
    .doc =
        "AgenticAdapter(budget_limit=100.0, rate_limit=50.0)\n--\n\n"
        "Python-visible agentic adapter.\n"
        "\n"
        "A convenience wrapper around the built-in agentic domain adapter,\n"
        "pre-configured with budget and rate constraint channels.",
    .basicsize = sizeof(Object<Core>),
    .extra_flags = 0,
    .tp_new = agentic_adapter_new,
    .dealloc = dealloc_instance<Core>,
    .methods = kMethods,
};

}  // namespace

PyTypeObject* agentic_adapter_type() {
  return cell.get_or_create(kType);
}

Object<AgenticAdapterCore>* as_agentic_adapter(PyObject* obj) {
  return PyObject_TypeCheck(obj, cell.get()) ? object_of<Core>(obj) : nullptr;
}

}  // namespace ruvo::py
