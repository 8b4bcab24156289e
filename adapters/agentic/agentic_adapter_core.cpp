// The agentic adapter's state vector, its five channels, regime test and summary.
#include "adapters/agentic/agentic_adapter_core.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ruvo {
namespace {

// State positions.
constexpr std::size_t kSpend = 0;
constexpr std::size_t kRate = 2;
constexpr std::size_t kScope = 4;
constexpr std::size_t kReversibility = 5;
constexpr std::size_t kSensitivity = 6;

constexpr double kTightHeadroom = 0.1;

double clamp_unit(double x) {
  // NaN fails both tests and is kept.
  if (x < 0.0) return 0.0;
  if (x > 1.0) return 1.0;
  return x;
}

// Reads v[p] as usage and v[p + 1] as its limit; a missing limit counts as 1.0.
class UsageChannel final : public ConstraintChannelContract {
 public:
  UsageChannel(std::string_view name, std::size_t position, std::string_view used_dimension,
               std::string_view limit_dimension)
      : name_(name),
        position_(position),
        used_dimension_(used_dimension),
        limit_dimension_(limit_dimension) {}

  std::string_view name() const override { return name_; }

  Result<double> evaluate(std::span<const double> state) const override {
    const std::size_t n = state.size();
    const double used = position_ < n ? state[position_] : 0.0;
    double limit = 1.0;
    if (position_ + 1 < n) {
      limit = state[position_ + 1];
      // A NaN limit is not caught here and makes the margin NaN below.
      if (limit <= 0.0) return 0.0;
    }
    return clamp_unit(1.0 - used / limit);
  }

  std::vector<std::string> dimension_names() const override {
    return {std::string(used_dimension_), std::string(limit_dimension_)};
  }

 private:
  std::string_view name_;
  std::size_t position_;
  std::string_view used_dimension_;
  std::string_view limit_dimension_;
};

// Reads a risk score in [0, 1] at v[p]; a missing score counts as 1.0.
class ScoreChannel final : public ConstraintChannelContract {
 public:
  ScoreChannel(std::string_view name, std::size_t position, std::string_view dimension)
      : name_(name), position_(position), dimension_(dimension) {}

  std::string_view name() const override { return name_; }

  Result<double> evaluate(std::span<const double> state) const override {
    return clamp_unit(position_ < state.size() ? state[position_] : 1.0);
  }

  std::vector<std::string> dimension_names() const override { return {std::string(dimension_)}; }

 private:
  std::string_view name_;
  std::size_t position_;
  std::string_view dimension_;
};

// The channels are stateless, so every certification shares the same five.
const UsageChannel kBudget("budget", kSpend, "current_spend", "budget_limit");
const UsageChannel kRateLimit("rate_limit", kRate, "current_rate", "max_rate");
const ScoreChannel kScopeChannel("scope", kScope, "scope_score");
const ScoreChannel kReversibilityChannel("reversibility", kReversibility, "reversibility_score");
const ScoreChannel kSensitivityChannel("data_sensitivity", kSensitivity, "sensitivity_score");

// A limit that is zero, negative or NaN leaves no headroom at all.
bool is_tight(double used, double limit) {
  if (!(limit > 0.0)) return true;
  return 1.0 - used / limit < kTightHeadroom;
}

}  // namespace

double AgenticAdapterCore::budget_utilization() const {
  if (budget_limit_ <= 0.0) return 1.0;
  const double q = current_spend_ / budget_limit_;
  return q < 1.0 ? q : 1.0;
}

Status AgenticAdapterCore::constraint_channels(ChannelList& out) const {
  out.reserve(5);
  out.add(kBudget);
  out.add(kRateLimit);
  out.add(kScopeChannel);
  out.add(kReversibilityChannel);
  out.add(kSensitivityChannel);
  return std::nullopt;
}

Status AgenticAdapterCore::map_action_to_state(const ProposedAction& action,
                                               StateVector& out) const {
  double scope = 1.0;
  double reversibility = 1.0;
  double sensitivity = 1.0;
  for (const StateDelta& delta : action.state_deltas()) {
    const std::string_view dimension = delta.dimension;
    if (dimension == "scope_score") {
      scope = delta.to_value;
    } else if (dimension == "reversibility_score") {
      reversibility = delta.to_value;
    } else if (dimension == "sensitivity_score") {
      sensitivity = delta.to_value;
    }
  }
  out.assign({current_spend_, budget_limit_, current_rate_, rate_limit_, scope, reversibility,
              sensitivity});
  return std::nullopt;
}

Status AgenticAdapterCore::current_state(StateVector& out) const {
  out.assign({current_spend_, budget_limit_, current_rate_, rate_limit_, 1.0, 1.0, 1.0});
  return std::nullopt;
}

Result<bool> AgenticAdapterCore::detect_regime_change(std::span<const double> /*current*/,
                                                      std::span<const double> proposed) const {
  // The limits are the core's own, not positions 1 and 3 of the vector.
  const std::size_t n = proposed.size();
  const bool budget_tight = is_tight(n > kSpend ? proposed[kSpend] : 0.0, budget_limit_);
  const bool rate_tight = is_tight(n > kRate ? proposed[kRate] : 0.0, rate_limit_);
  return budget_tight || rate_tight;
}

std::optional<JsonValue> AgenticAdapterCore::domain_summary(const MarginMap& margins) const {
  JsonValue::Object channel_margins;
  channel_margins.reserve(margins.size());
  for (const auto& [name, margin] : margins) {
    channel_margins.emplace(name, JsonValue::number(margin));
  }
  // Members added in byte order, so each one lands at the end.
  JsonValue::Object summary;
  summary.reserve(4);
  summary.emplace("budget_utilization", JsonValue::number(budget_utilization()));
  summary.emplace("channel_margins", JsonValue::object(std::move(channel_margins)));
  summary.emplace("domain", JsonValue::string("agentic"));
  summary.emplace("rate_count", JsonValue::number(current_rate_));
  return JsonValue::object(std::move(summary));
}

}  // namespace ruvo
