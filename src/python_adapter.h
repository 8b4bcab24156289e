// The kernel adapter and channel that forward every operation to Python objects.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "kernel/contracts.h"
#include "src/errors.h"
#include "src/py_ref.h"

namespace ruvo::py {

// The float objects of the last state turned into a list. Each callback gets a list of its
// own, which it may change, but the floats in them are immutable, so they are made once.
class StateFloats {
 public:
  // A new list of floats, one per position; null with an exception set on failure.
  Ref list(std::span<const double> state);

 private:
  Ref kept_;  // never handed out: its items stay those it was made with
};

class PythonDomainAdapter final : public DomainAdapterContract {
 public:
  // `failures` collects what the Python code raised; it outlives the adapter.
  PythonDomainAdapter(std::string domain_name, Ref object, Failures& failures)
      : domain_name_(std::move(domain_name)), object_(std::move(object)), failures_(failures) {}
  ~PythonDomainAdapter() override;

  std::string_view domain_name() const override { return domain_name_; }
  Status constraint_channels(ChannelList& out) const override;
  Status map_action_to_state(const ProposedAction& action, StateVector& out) const override;
  Status current_state(StateVector& out) const override;
  Result<bool> detect_regime_change(std::span<const double> current,
                                    std::span<const double> proposed) const override;
  std::optional<JsonValue> domain_summary(const MarginMap& margins) const override;

 private:
  std::string domain_name_;
  mutable Ref object_;
  Failures& failures_;
  mutable StateFloats floats_;
};

class PythonConstraintChannel final : public ConstraintChannelContract {
 public:
  PythonConstraintChannel(std::string name, std::vector<std::string> dimension_names, Ref object,
                          Failures& failures, StateFloats& floats)
      : name_(std::move(name)),
        dimension_names_(std::move(dimension_names)),
        object_(std::move(object)),
        failures_(failures),
        floats_(floats) {}
  ~PythonConstraintChannel() override;

  std::string_view name() const override { return name_; }
  Result<double> evaluate(std::span<const double> state) const override;
  std::vector<std::string> dimension_names() const override { return dimension_names_; }

 private:
  std::string name_;
  std::vector<std::string> dimension_names_;
  mutable Ref object_;
  Failures& failures_;
  StateFloats& floats_;
};

// Calls `domain_name()` on the object; on success the text is stored in `out`.
bool call_domain_name(PyObject* object, std::string& out);

}  // namespace ruvo::py
