// The two contracts through which the domain-free kernel reaches domain logic.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/json_value.h"
#include "kernel/records.h"

namespace ruvo {

using StateVector = std::vector<double>;

class ConstraintChannelContract {
 public:
  virtual ~ConstraintChannelContract() = default;
  // Keys the margin map; valid while the channel lives.
  virtual std::string_view name() const = 0;
  virtual Result<double> evaluate(std::span<const double> state) const = 0;
  virtual std::vector<std::string> dimension_names() const = 0;
};

using ChannelList = std::vector<std::unique_ptr<ConstraintChannelContract>>;

// Every operation is const: the pipeline only reads an adapter. Domain code written by
// users may fail anywhere, so channel listing and regime detection are fallible too.
class DomainAdapterContract {
 public:
  virtual ~DomainAdapterContract() = default;
  virtual std::string_view domain_name() const = 0;
  virtual Result<ChannelList> constraint_channels() const = 0;
  virtual Result<StateVector> map_action_to_state(const ProposedAction& action) const = 0;
  virtual Result<StateVector> current_state() const = 0;
  virtual Result<bool> detect_regime_change(std::span<const double> current,
                                            std::span<const double> proposed) const = 0;
  virtual std::optional<JsonValue> domain_summary(const MarginMap& margins) const = 0;
};

}  // namespace ruvo
