// The built-in agentic adapter: spend and rate counters plus three risk scores per action.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "kernel/contracts.h"
#include "kernel/json_value.h"
#include "kernel/records.h"

namespace ruvo {

// Kernel side of the Python AgenticAdapter. Certification only reads it; the counters move
// through record_spend, record_action and reset_rate_window alone.
class AgenticAdapterCore final : public DomainAdapterContract {
 public:
  explicit AgenticAdapterCore(double budget_limit = 100.0, double rate_limit = 50.0)
      : budget_limit_(budget_limit), rate_limit_(rate_limit) {}

  double current_spend() const { return current_spend_; }
  double budget_limit() const { return budget_limit_; }
  double current_rate() const { return current_rate_; }
  double rate_limit() const { return rate_limit_; }

  void record_spend(double amount) { current_spend_ += amount; }
  void record_action() { current_rate_ += 1.0; }
  void reset_rate_window() { current_rate_ = 0.0; }
  // Spend over limit, capped at 1.0 but not floored; 1.0 for a limit that is not positive.
  double budget_utilization() const;

  std::string_view domain_name() const override { return "agentic"; }
  Status constraint_channels(ChannelList& out) const override;
  Status map_action_to_state(const ProposedAction& action, StateVector& out) const override;
  Status current_state(StateVector& out) const override;
  Result<bool> detect_regime_change(std::span<const double> current,
                                    std::span<const double> proposed) const override;
  std::optional<JsonValue> domain_summary(const MarginMap& margins) const override;

 private:
  double current_spend_ = 0.0;
  double budget_limit_;
  double current_rate_ = 0.0;
  double rate_limit_;
};

}  // namespace ruvo
