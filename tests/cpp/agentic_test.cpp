// The agentic adapter: state vector, channel rules, regime test, utilization and summary.
#include "adapters/agentic/agentic_adapter_core.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kernel/pipeline.h"

namespace ruvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Equal, or both NaN.
::testing::AssertionResult same(double got, double want) {
  if ((std::isnan(got) && std::isnan(want)) || got == want) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

StateVector state_of(const AgenticAdapterCore& core, std::vector<StateDelta> deltas = {}) {
  StateVector state;
  EXPECT_FALSE(core.map_action_to_state(SimpleAction("a", "g", std::move(deltas)), state));
  return state;
}

StateVector current_of(const AgenticAdapterCore& core) {
  StateVector state;
  EXPECT_FALSE(core.current_state(state));
  return state;
}

ChannelList channels_of(const AgenticAdapterCore& core) {
  ChannelList channels;
  EXPECT_FALSE(core.constraint_channels(channels));
  return channels;
}

std::vector<double> margins_of(const AgenticAdapterCore& core, const StateVector& state) {
  std::vector<double> margins;
  for (const auto* channel : channels_of(core)) {
    Result<double> margin = channel->evaluate(state);
    EXPECT_TRUE(margin.ok());
    margins.push_back(margin.value());
  }
  return margins;
}

bool regime_of(const AgenticAdapterCore& core, const StateVector& proposed) {
  // The current vector must not matter.
  const StateVector current{kNaN, -1.0, kNaN};
  Result<bool> regime = core.detect_regime_change(current, proposed);
  EXPECT_TRUE(regime.ok());
  return regime.value();
}

TEST(AgenticAdapter, FreshCore) {
  AgenticAdapterCore core;
  EXPECT_EQ(core.domain_name(), "agentic");
  const StateVector expected{0.0, 100.0, 0.0, 50.0, 1.0, 1.0, 1.0};
  EXPECT_EQ(state_of(core), expected);
  EXPECT_EQ(current_of(core), expected);
  EXPECT_EQ(margins_of(core, expected), std::vector<double>(5, 1.0));
  EXPECT_FALSE(regime_of(core, expected));
  EXPECT_EQ(core.budget_utilization(), 0.0);
}

TEST(AgenticAdapter, Channels) {
  struct Want {
    std::string name;
    std::vector<std::string> dimensions;
  };
  const Want wants[] = {
      {"budget", {"current_spend", "budget_limit"}},
      {"rate_limit", {"current_rate", "max_rate"}},
      {"scope", {"scope_score"}},
      {"reversibility", {"reversibility_score"}},
      {"data_sensitivity", {"sensitivity_score"}},
  };
  AgenticAdapterCore core;
  const ChannelList channels = channels_of(core);
  ASSERT_EQ(channels.size(), std::size(wants));
  for (std::size_t i = 0; i < std::size(wants); ++i) {
    EXPECT_EQ(channels[i]->name(), wants[i].name);
    EXPECT_EQ(channels[i]->dimension_names(), wants[i].dimensions);
  }
}

TEST(AgenticAdapter, ChannelRules) {
  enum Channel { kBudget, kRate, kScope, kReversibility, kSensitivity };
  struct Case {
    Channel channel;
    StateVector state;
    double margin;
  };
  const Case cases[] = {
      {kBudget, {50.0, 100.0}, 0.5},
      {kBudget, {95.0, 100.0}, 1.0 - 0.95},
      {kBudget, {150.0, 100.0}, 0.0},
      {kBudget, {-10.0, 100.0}, 1.0},
      {kBudget, {10.0, 0.0}, 0.0},
      {kBudget, {10.0, -0.0}, 0.0},
      {kBudget, {10.0, -5.0}, 0.0},
      {kBudget, {0.0, 0.0}, 0.0},
      {kBudget, {10.0, kNaN}, kNaN},
      {kBudget, {kNaN, 100.0}, kNaN},
      {kBudget, {10.0, kInf}, 1.0},
      {kBudget, {kInf, kInf}, kNaN},
      // Without a limit position the limit is 1.0; without a usage position usage is 0.0.
      {kBudget, {0.25}, 0.75},
      {kBudget, {2.0}, 0.0},
      {kBudget, {}, 1.0},
      {kRate, {0.0, 100.0, 25.0, 50.0, 1.0, 1.0, 1.0}, 0.5},
      {kRate, {0.0, 100.0, 45.0, 50.0}, 0.09999999999999998},
      {kRate, {0.0, 100.0, 5.0, 0.0}, 0.0},
      {kRate, {0.0, 100.0, 5.0, kNaN}, kNaN},
      {kRate, {0.0, 100.0, 0.4}, 0.6},
      {kRate, {0.0, 100.0}, 1.0},
      {kScope, {0.0, 100.0, 0.0, 50.0, 0.4}, 0.4},
      {kScope, {0.0, 100.0, 0.0, 50.0, 1.4}, 1.0},
      {kScope, {0.0, 100.0, 0.0, 50.0, -0.3}, 0.0},
      {kScope, {0.0, 100.0, 0.0, 50.0, kNaN}, kNaN},
      {kScope, {0.0, 100.0, 0.0, 50.0}, 1.0},
      {kReversibility, {0, 0, 0, 0, 0.9, 0.2, 0.9}, 0.2},
      {kReversibility, {0, 0, 0, 0, 0.9}, 1.0},
      {kSensitivity, {0, 0, 0, 0, 0.9, 0.9, 0.3}, 0.3},
      {kSensitivity, {0, 0, 0, 0, 0.9, 0.9, -kInf}, 0.0},
      {kSensitivity, {0, 0, 0, 0, 0.9, 0.9}, 1.0},
  };
  AgenticAdapterCore core;
  const ChannelList channels = channels_of(core);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    Result<double> margin = channels[c.channel]->evaluate(c.state);
    ASSERT_TRUE(margin.ok());
    EXPECT_TRUE(same(margin.value(), c.margin));
  }
}

TEST(AgenticAdapter, Deltas) {
  struct Case {
    const char* label;
    std::vector<StateDelta> deltas;
    double scope, reversibility, sensitivity;
  };
  const Case cases[] = {
      {"none", {}, 1.0, 1.0, 1.0},
      {"each score",
       {{"sensitivity_score", 9.0, 0.3},
        {"scope_score", 9.0, 0.4},
        {"reversibility_score", 9.0, 0.5}},
       0.4,
       0.5,
       0.3},
      {"later overrides",
       {{"reversibility_score", 0.0, 0.2}, {"reversibility_score", 0.0, 0.7}},
       1.0,
       0.7,
       1.0},
      {"out of range kept",
       {{"scope_score", 0.0, 1.4}, {"sensitivity_score", 0.0, -0.3}},
       1.4,
       1.0,
       -0.3},
      {"from_value ignored", {{"scope_score", kNaN, 0.6}}, 0.6, 1.0, 1.0},
      {"case and spacing matter",
       {{"Scope_score", 0.0, 0.1}, {"scope_score ", 0.0, 0.1}, {"SENSITIVITY_SCORE", 0.0, 0.1}},
       1.0,
       1.0,
       1.0},
      {"other dimensions ignored",
       {{"budget", 0.0, 500.0},
        {"rate_limit", 0.0, 500.0},
        {"current_spend", 0.0, 500.0},
        {"", 0.0, 0.0}},
       1.0,
       1.0,
       1.0},
  };
  AgenticAdapterCore core;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const StateVector state = state_of(core, c.deltas);
    ASSERT_EQ(state.size(), 7u);
    EXPECT_EQ(StateVector(state.begin(), state.begin() + 4), (StateVector{0.0, 100.0, 0.0, 50.0}));
    EXPECT_TRUE(same(state[4], c.scope));
    EXPECT_TRUE(same(state[5], c.reversibility));
    EXPECT_TRUE(same(state[6], c.sensitivity));
  }

  const std::vector<double> clamped = margins_of(
      core, state_of(core, {{"scope_score", 0.0, 1.4}, {"reversibility_score", 0.0, -0.3}}));
  EXPECT_EQ(clamped, (std::vector<double>{1.0, 1.0, 1.0, 0.0, 1.0}));
}

TEST(AgenticAdapter, Counters) {
  AgenticAdapterCore core(200.0, 10.0);
  EXPECT_EQ(core.budget_limit(), 200.0);
  EXPECT_EQ(core.rate_limit(), 10.0);
  core.record_spend(30.0);
  core.record_spend(-10.0);
  for (int i = 0; i < 3; ++i) core.record_action();
  EXPECT_EQ(state_of(core), (StateVector{20.0, 200.0, 3.0, 10.0, 1.0, 1.0, 1.0}));
  EXPECT_EQ(current_of(core), state_of(core));
  core.reset_rate_window();
  EXPECT_EQ(core.current_rate(), 0.0);
  EXPECT_EQ(core.current_spend(), 20.0);
}

TEST(AgenticAdapter, RegimeChangeFromCounters) {
  struct Case {
    const char* label;
    double budget_limit, rate_limit, spend;
    int actions;
    bool regime;
  };
  const Case cases[] = {
      {"fresh", 100.0, 50.0, 0.0, 0, false},
      {"95 spent", 100.0, 50.0, 95.0, 0, true},
      {"90 spent, headroom 0.09999999999999998", 100.0, 50.0, 90.0, 0, true},
      {"89 spent", 100.0, 50.0, 89.0, 0, false},
      {"45 actions", 100.0, 50.0, 0.0, 45, true},
      {"44 actions", 100.0, 50.0, 0.0, 44, false},
      {"overspent", 100.0, 50.0, 250.0, 0, true},
      {"negative spend", 100.0, 50.0, -10.0, 0, false},
      {"zero budget limit", 0.0, 50.0, 0.0, 0, true},
      {"negative budget limit", -5.0, 50.0, 0.0, 0, true},
      {"NaN budget limit", kNaN, 50.0, 0.0, 0, true},
      {"zero rate limit", 100.0, 0.0, 0.0, 0, true},
      {"NaN rate limit", 100.0, kNaN, 0.0, 0, true},
      {"NaN spend leaves NaN headroom", 100.0, 50.0, kNaN, 0, false},
      {"infinite limit", kInf, 50.0, 1e300, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    AgenticAdapterCore core(c.budget_limit, c.rate_limit);
    core.record_spend(c.spend);
    for (int i = 0; i < c.actions; ++i) core.record_action();
    EXPECT_EQ(regime_of(core, state_of(core)), c.regime);
  }
}

TEST(AgenticAdapter, RegimeChangeFromVector) {
  struct Case {
    const char* label;
    StateVector proposed;
    bool regime;
  };
  const Case cases[] = {
      {"empty", {}, false},
      {"spend only", {95.0}, true},
      // Limits come from the core (100 and 50), never from positions 1 and 3.
      {"vector limits ignored", {95.0, 1e9, 0.0, 1e9}, true},
      {"zero vector limits ignored", {0.0, 0.0, 0.0, 0.0}, false},
      {"rate needs three positions", {0.0, 0.0}, false},
      {"rate at position 2", {0.0, 0.0, 49.0}, true},
  };
  AgenticAdapterCore core;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(regime_of(core, c.proposed), c.regime);
  }

  // Positions past the end are never read, even when memory follows them.
  const StateVector backing{95.0, 0.0, 49.0};
  const StateVector none;
  EXPECT_FALSE(core.detect_regime_change(none, std::span(backing).first(0)).value());
  EXPECT_TRUE(core.detect_regime_change(none, std::span(backing).first(1)).value());
  const StateVector rate_behind{0.0, 0.0, 49.0};
  EXPECT_FALSE(core.detect_regime_change(none, std::span(rate_behind).first(2)).value());

  // Headroom 1 - q is exact for q in [0.5, 1], so it can never equal the double 0.1; the
  // boundary is probed on both sides with limit 1.
  const double just_above = std::nextafter(0.9, 0.0);
  AgenticAdapterCore unit(1.0, 50.0);
  EXPECT_FALSE(regime_of(unit, {just_above}));
  EXPECT_TRUE(regime_of(unit, {0.9}));
}

TEST(AgenticAdapter, BudgetUtilization) {
  struct Case {
    double limit, spend, utilization;
  };
  const Case cases[] = {
      {100.0, 0.0, 0.0},   {100.0, 50.0, 0.5}, {100.0, -10.0, -0.1},  {100.0, 250.0, 1.0},
      {100.0, 100.0, 1.0}, {0.0, 0.0, 1.0},    {-5.0, 1.0, 1.0},      {kNaN, 1.0, 1.0},
      {100.0, kNaN, 1.0},  {kInf, 5.0, 0.0},   {100.0, -kInf, -kInf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.limit << " " << c.spend);
    AgenticAdapterCore core(c.limit);
    core.record_spend(c.spend);
    EXPECT_TRUE(same(core.budget_utilization(), c.utilization));
  }
}

TEST(AgenticAdapter, Summary) {
  struct Case {
    const char* label;
    double limit, spend;
    int actions;
    std::string json;
  };
  const Case cases[] = {
      {"fresh", 100.0, 0.0, 0,
       R"({"budget_utilization":0,"channel_margins":{"Z":1,"a":null,"b":0.5},"domain":"agentic","rate_count":0})"},
      {"counters", 100.0, 25.0, 3,
       R"({"budget_utilization":0.25,"channel_margins":{"Z":1,"a":null,"b":0.5},"domain":"agentic","rate_count":3})"},
      {"non-finite utilization", 100.0, -kInf, 0,
       R"({"budget_utilization":null,"channel_margins":{"Z":1,"a":null,"b":0.5},"domain":"agentic","rate_count":0})"},
  };
  MarginMap margins;
  margins.insert("b", 0.5);
  margins.insert("a", kNaN);
  margins.insert("Z", 1.0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    AgenticAdapterCore core(c.limit);
    core.record_spend(c.spend);
    for (int i = 0; i < c.actions; ++i) core.record_action();
    const std::optional<JsonValue> summary = core.domain_summary(margins);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->dump(), c.json);
  }

  AgenticAdapterCore core;
  const JsonValue summary = *core.domain_summary(MarginMap());
  ASSERT_TRUE(summary.is_object());
  EXPECT_TRUE(summary.as_object().at("channel_margins").as_object().empty());
  EXPECT_EQ(summary.as_object().at("domain").as_string(), "agentic");
}

TEST(AgenticAdapter, CertifiesThroughThePipeline) {
  AgenticAdapterCore core;
  core.record_spend(95.0);
  const SimpleAction action("act-1", "agent-1");
  Result<Certificate> result = certify(CertifierConfig{}, core, action);
  ASSERT_TRUE(result.ok());
  const Certificate& cert = result.value();
  EXPECT_EQ(cert.binding_constraint(), "budget");
  EXPECT_EQ(*cert.margins().find("budget"), 1.0 - 0.95);
  EXPECT_EQ(cert.decision().kind(), Decision::Kind::EscalateToHuman);
  EXPECT_EQ(cert.zone(), Zone::Danger);
  EXPECT_EQ(cert.decision().reason(),
            "Regime change detected (binding constraint: budget, margin: 0.0500)");
  // The certification only read the core.
  EXPECT_EQ(core.current_spend(), 95.0);
  EXPECT_EQ(core.current_rate(), 0.0);
}

}  // namespace
}  // namespace ruvo
