// Certification pipeline: call order, clamping, binding search, classification, failures.
#include "kernel/pipeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace ruvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr DecisionTime kPinned{1772355907, 250000000};

// Every call the pipeline makes on the fakes and the clock, in order.
std::vector<std::string>& calls() {
  static std::vector<std::string> log;
  return log;
}

DecisionTime pinned_clock() {
  calls().push_back("clock");
  return kPinned;
}

struct ChannelPlan {
  std::string name;
  std::variant<double, KernelError> result;
};

class FakeChannel final : public ConstraintChannelContract {
 public:
  FakeChannel(ChannelPlan plan, std::vector<std::size_t>* seen_sizes)
      : plan_(std::move(plan)), seen_sizes_(seen_sizes) {}

  std::string_view name() const override {
    calls().push_back("name:" + plan_.name);
    return plan_.name;
  }
  Result<double> evaluate(std::span<const double> state) const override {
    calls().push_back("evaluate:" + plan_.name);
    seen_sizes_->push_back(state.size());
    if (const auto* error = std::get_if<KernelError>(&plan_.result)) return *error;
    return std::get<double>(plan_.result);
  }
  std::vector<std::string> dimension_names() const override {
    calls().push_back("dimension_names");
    return {};
  }

 private:
  ChannelPlan plan_;
  std::vector<std::size_t>* seen_sizes_;
};

class FakeAdapter final : public DomainAdapterContract {
 public:
  StateVector proposed{0.25, 0.5, 0.75};
  std::vector<ChannelPlan> channels;
  bool regime = false;
  std::optional<JsonValue> summary;
  bool null_channel = false;
  std::optional<KernelError> map_error, channels_error, current_error, regime_error;

  mutable const ProposedAction* seen_action = nullptr;
  mutable std::vector<double> seen_current, seen_proposed;
  mutable std::vector<std::size_t> seen_sizes;
  mutable std::vector<std::pair<std::string, double>> seen_summary_margins;

  std::string_view domain_name() const override {
    calls().push_back("domain_name");
    return "fake";
  }
  Status constraint_channels(ChannelList& out) const override {
    calls().push_back("constraint_channels");
    if (channels_error) return channels_error;
    for (const auto& plan : channels) out.add(std::make_unique<FakeChannel>(plan, &seen_sizes));
    if (null_channel) out.add(std::unique_ptr<ConstraintChannelContract>());
    return std::nullopt;
  }
  Status map_action_to_state(const ProposedAction& action, StateVector& out) const override {
    calls().push_back("map_action_to_state");
    seen_action = &action;
    if (map_error) return map_error;
    out = proposed;
    return std::nullopt;
  }
  Status current_state(StateVector& out) const override {
    calls().push_back("current_state");
    // A failure after writing part of the vector must not leak into the certification.
    out = {9.0, 9.0};
    if (current_error) return current_error;
    out.push_back(9.0);
    return std::nullopt;
  }
  Result<bool> detect_regime_change(std::span<const double> current,
                                    std::span<const double> proposed_state) const override {
    calls().push_back("detect_regime_change");
    seen_current.assign(current.begin(), current.end());
    seen_proposed.assign(proposed_state.begin(), proposed_state.end());
    if (regime_error) return *regime_error;
    return regime;
  }
  std::optional<JsonValue> domain_summary(const MarginMap& margins) const override {
    calls().push_back("domain_summary");
    seen_summary_margins.assign(margins.begin(), margins.end());
    return summary;
  }
};

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { calls().clear(); }

  Result<Certificate> run(const FakeAdapter& adapter, const CertifierConfig& config = {}) {
    return certify(config, adapter, action_, pinned_clock);
  }

  Certificate run_ok(const FakeAdapter& adapter, const CertifierConfig& config = {}) {
    Result<Certificate> result = run(adapter, config);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().display());
    return std::move(result).value();
  }

  static FakeAdapter with_margins(std::vector<std::pair<std::string, double>> margins) {
    FakeAdapter adapter;
    for (auto& [name, margin] : margins) adapter.channels.push_back({std::move(name), margin});
    return adapter;
  }

  SimpleAction action_{"act-1", "agent-1", {{"scope_score", 1.0, 0.4}}};
};

void expect_error(const Result<Certificate>& result, KernelError::Kind kind,
                  const std::string& message) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().message(), message);
}

TEST_F(PipelineTest, CallsEverythingOnceInOrder) {
  FakeAdapter adapter = with_margins({{"b", 0.9}, {"a", 0.8}});
  Certificate cert = run_ok(adapter);
  EXPECT_EQ(calls(),
            (std::vector<std::string>{"clock", "map_action_to_state", "constraint_channels",
                                      "evaluate:b", "name:b", "evaluate:a", "name:a",
                                      "current_state", "detect_regime_change", "domain_summary"}));
  EXPECT_EQ(adapter.seen_action, &action_);
  EXPECT_EQ(adapter.seen_current, (std::vector<double>{9.0, 9.0, 9.0}));
  EXPECT_EQ(adapter.seen_proposed, adapter.proposed);
  EXPECT_EQ(adapter.seen_sizes, (std::vector<std::size_t>{3, 3}));
  EXPECT_EQ(adapter.seen_summary_margins,
            (std::vector<std::pair<std::string, double>>{{"a", 0.8}, {"b", 0.9}}));
}

TEST_F(PipelineTest, CopiesIdentifiersTimeAndSummary) {
  FakeAdapter adapter = with_margins({{"x", 0.9}});
  JsonValue::Object object;
  object.emplace("k", JsonValue::string("v"));
  adapter.summary = JsonValue::object(std::move(object));
  Certificate cert = run_ok(adapter);
  EXPECT_EQ(cert.action_id(), "act-1");
  EXPECT_EQ(cert.agent_id(), "agent-1");
  EXPECT_EQ(cert.decided_at().seconds, kPinned.seconds);
  EXPECT_EQ(cert.decided_at().nanos, kPinned.nanos);
  ASSERT_TRUE(cert.domain_summary().has_value());
  EXPECT_EQ(cert.domain_summary()->dump(), R"({"k":"v"})");

  adapter.summary.reset();
  EXPECT_FALSE(run_ok(adapter).domain_summary().has_value());
}

TEST_F(PipelineTest, ClampsMargins) {
  struct Case {
    double raw;
    double stored;
  };
  const Case cases[] = {{1.7, 1.0}, {-0.2, 0.0}, {kInf, 1.0}, {-kInf, 0.0},
                        {0.5, 0.5}, {1.0, 1.0},  {0.0, 0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    Certificate cert = run_ok(with_margins({{"x", c.raw}}));
    ASSERT_NE(cert.margins().find("x"), nullptr);
    EXPECT_EQ(*cert.margins().find("x"), c.stored);
    EXPECT_FALSE(std::signbit(*cert.margins().find("x")));
  }

  Certificate nan = run_ok(with_margins({{"x", kNaN}}));
  EXPECT_TRUE(std::isnan(*nan.margins().find("x")));

  Certificate negative_zero = run_ok(with_margins({{"x", -0.0}}));
  EXPECT_TRUE(std::signbit(*negative_zero.margins().find("x")));
  EXPECT_EQ(negative_zero.decision().reason(),
            "Margin -0.0000 on 'x' is at or below block threshold 0.10");
}

TEST_F(PipelineTest, DuplicateNamesKeepTheLaterMargin) {
  Certificate cert = run_ok(with_margins({{"x", 0.05}, {"y", 0.95}, {"x", 0.9}}));
  EXPECT_EQ(cert.margins().size(), 2u);
  EXPECT_EQ(*cert.margins().find("x"), 0.9);
  EXPECT_EQ(cert.binding_constraint(), "x");
  EXPECT_EQ(cert.decision().kind(), Decision::Kind::Certified);
}

// Whatever the count and order of the channels, the certificate's margins are those of
// inserting each channel's margin in turn, repeated names included.
TEST_F(PipelineTest, ManyChannelsMatchInsertionInTurn) {
  std::mt19937 rng(5);
  for (std::size_t count : {2u, 15u, 16u, 17u, 40u}) {
    std::vector<std::pair<std::string, double>> margins;
    MarginMap expected;
    for (std::size_t i = 0; i < count; ++i) {
      std::string name = "c" + std::to_string(rng() % (count / 2 + 1));
      const double margin = static_cast<double>(rng() % 1000) / 1000.0;
      expected.insert(name, margin);
      margins.emplace_back(std::move(name), margin);
    }
    SCOPED_TRACE(count);
    const Certificate cert = run_ok(with_margins(margins));
    EXPECT_EQ(std::vector<MarginMap::value_type>(cert.margins().begin(), cert.margins().end()),
              std::vector<MarginMap::value_type>(expected.begin(), expected.end()));
  }
}

TEST_F(PipelineTest, BindingSearch) {
  struct Case {
    std::vector<std::pair<std::string, double>> margins;
    std::string binding;
  };
  const Case cases[] = {
      {{{"rate", 0.4}, {"budget", 0.4}}, "budget"},
      {{{"alpha", 0.4}, {"Zeta", 0.4}}, "Zeta"},
      {{{"budget_2", 0.4}, {"budget", 0.4}}, "budget"},
      {{{"a", 0.9}, {"b", 0.7}, {"c", 0.8}}, "b"},
      {{{"c", 0.7}, {"a", 0.9}, {"b", 0.7}}, "b"},
      // A margin that cannot be read binds ahead of every number.
      {{{"a", 0.0}, {"b", kNaN}}, "b"},
      {{{"a", kNaN}, {"b", 0.0}}, "a"},
      {{{"c", kNaN}, {"b", 0.5}, {"a", kNaN}}, "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.binding);
    EXPECT_EQ(run_ok(with_margins(c.margins)).binding_constraint(), c.binding);
  }
}

TEST_F(PipelineTest, NoChannels) {
  Certificate cert = run_ok(FakeAdapter{});
  EXPECT_TRUE(cert.margins().empty());
  EXPECT_EQ(cert.binding_constraint(), "none");
  EXPECT_EQ(cert.decision().kind(), Decision::Kind::Certified);
  EXPECT_EQ(cert.zone(), Zone::Safe);
  EXPECT_EQ(cert.drift_budget(), 1.0 - 0.6);
}

struct Outcome {
  Decision::Kind kind;
  Zone zone;
  double drift;
  std::string reason;                 // for reason-carrying kinds
  std::vector<std::string> warnings;  // for CertifiedWithWarning
};

void expect_outcome(const Certificate& cert, const Outcome& want) {
  EXPECT_EQ(cert.decision().kind(), want.kind);
  EXPECT_EQ(cert.zone(), want.zone);
  ASSERT_TRUE(cert.drift_budget().has_value());
  EXPECT_EQ(*cert.drift_budget(), want.drift);
  EXPECT_EQ(cert.decision().reason(), want.reason);
  EXPECT_EQ(cert.decision().warnings().texts(), want.warnings);
}

TEST_F(PipelineTest, ClassifiesSingleMarginWithDefaultThresholds) {
  using K = Decision::Kind;
  const double above_safe = std::nextafter(0.6, 1.0);
  struct Case {
    double margin;
    Outcome want;
  };
  const Case cases[] = {
      {0.0,
       {K::Blocked,
        Zone::Danger,
        0.0,
        "Margin 0.0000 on 'x' is at or below block threshold 0.10",
        {}}},
      {0.1,
       {K::Blocked,
        Zone::Danger,
        0.0,
        "Margin 0.1000 on 'x' is at or below block threshold 0.10",
        {}}},
      {0.2,
       {K::EscalateToHuman,
        Zone::Danger,
        0.2 - 0.1,
        "Margin 0.2000 on 'x' requires human review (threshold: 0.30)",
        {}}},
      {0.3,
       {K::EscalateToHuman,
        Zone::Danger,
        0.3 - 0.1,
        "Margin 0.3000 on 'x' requires human review (threshold: 0.30)",
        {}}},
      {0.5,
       {K::CertifiedWithWarning,
        Zone::Caution,
        0.5 - 0.3,
        "",
        {"Channel 'x' margin 0.5000 below warning threshold"}}},
      {0.6,
       {K::CertifiedWithWarning,
        Zone::Caution,
        0.6 - 0.3,
        "",
        {"Minimum margin 0.6000 in caution zone"}}},
      {above_safe, {K::Certified, Zone::Safe, above_safe - 0.6, "", {}}},
      {1.0, {K::Certified, Zone::Safe, 1.0 - 0.6, "", {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.margin);
    expect_outcome(run_ok(with_margins({{"x", c.margin}})), c.want);
  }
}

TEST_F(PipelineTest, CautionWarnings) {
  struct Case {
    std::vector<std::pair<std::string, double>> margins;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {{{"budget", 0.45}, {"rate", 0.55}},
       {"Channel 'budget' margin 0.4500 below warning threshold"}},
      {{{"a", 0.55}, {"b", 0.58}}, {"Minimum margin 0.5500 in caution zone"}},
      // Walks the whole map in name order, not the listing order.
      {{{"c", 0.4}, {"a", 0.5}, {"d", 0.9}, {"b", 0.45}},
       {"Channel 'a' margin 0.5000 below warning threshold",
        "Channel 'b' margin 0.4500 below warning threshold",
        "Channel 'c' margin 0.4000 below warning threshold"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.warnings.front());
    Certificate cert = run_ok(with_margins(c.margins));
    EXPECT_EQ(cert.zone(), Zone::Caution);
    EXPECT_EQ(cert.decision().kind(), Decision::Kind::CertifiedWithWarning);
    EXPECT_EQ(cert.decision().warnings().texts(), c.warnings);
  }
  EXPECT_EQ(run_ok(with_margins({{"budget", 0.45}, {"rate", 0.55}})).binding_constraint(),
            "budget");
}

TEST_F(PipelineTest, RegimeChangeAlwaysEscalates) {
  using K = Decision::Kind;
  struct Case {
    double margin;
    Outcome want;
  };
  const Case cases[] = {
      {0.9,
       {K::EscalateToHuman,
        Zone::Caution,
        0.30000000000000004,
        "Regime change detected (binding constraint: x, margin: 0.9000)",
        {}}},
      {0.31,
       {K::EscalateToHuman,
        Zone::Caution,
        0.31 - 0.3,
        "Regime change detected (binding constraint: x, margin: 0.3100)",
        {}}},
      {0.3,
       {K::EscalateToHuman,
        Zone::Danger,
        0.3 - 0.1,
        "Regime change detected (binding constraint: x, margin: 0.3000)",
        {}}},
      {0.05,
       {K::EscalateToHuman,
        Zone::Danger,
        0.0,
        "Regime change detected (binding constraint: x, margin: 0.0500)",
        {}}},
      {kNaN,
       {K::EscalateToHuman,
        Zone::Danger,
        0.0,
        "Regime change detected (binding constraint: x, margin: NaN)",
        {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.margin);
    FakeAdapter adapter = with_margins({{"x", c.margin}});
    adapter.regime = true;
    expect_outcome(run_ok(adapter), c.want);
  }

  FakeAdapter no_channels;
  no_channels.regime = true;
  expect_outcome(run_ok(no_channels),
                 {K::EscalateToHuman,
                  Zone::Caution,
                  1.0 - 0.6,
                  "Regime change detected (binding constraint: none, margin: 1.0000)",
                  {}});
}

TEST_F(PipelineTest, NaNMarginBlocks) {
  const Outcome blocked_a{Decision::Kind::Blocked,
                          Zone::Danger,
                          0.0,
                          "Margin NaN on 'a' is at or below block threshold 0.10",
                          {}};
  Certificate with_zero = run_ok(with_margins({{"a", kNaN}, {"b", 0.0}}));
  expect_outcome(with_zero, blocked_a);
  EXPECT_TRUE(std::isnan(*with_zero.margins().find("a")));
  EXPECT_EQ(*with_zero.margins().find("b"), 0.0);

  expect_outcome(run_ok(with_margins({{"a", kNaN}})), blocked_a);
  // Healthy margins elsewhere do not outweigh the unreadable one.
  expect_outcome(run_ok(with_margins({{"b", 1.0}, {"a", kNaN}, {"c", 0.9}})), blocked_a);
}

TEST_F(PipelineTest, ThresholdsAreCarriedUnchecked) {
  CertifierConfig inverted;
  inverted.block_threshold = 0.9;
  Certificate blocked = run_ok(with_margins({{"x", 0.7}}), inverted);
  EXPECT_EQ(blocked.decision().kind(), Decision::Kind::Blocked);
  EXPECT_EQ(blocked.decision().reason(),
            "Margin 0.7000 on 'x' is at or below block threshold 0.90");
  EXPECT_EQ(blocked.drift_budget(), 0.7 - 0.6);

  // Every comparison with a NaN threshold is false, so that rule never applies.
  CertifierConfig nan_block;
  nan_block.block_threshold = kNaN;
  Certificate review = run_ok(with_margins({{"x", 0.05}}), nan_block);
  EXPECT_EQ(review.decision().kind(), Decision::Kind::EscalateToHuman);
  EXPECT_EQ(review.decision().reason(),
            "Margin 0.0500 on 'x' requires human review (threshold: 0.30)");
  EXPECT_EQ(review.drift_budget(), 0.0);

  CertifierConfig nan_warning;
  nan_warning.warning_margin_threshold = kNaN;
  EXPECT_EQ(run_ok(with_margins({{"x", 0.4}}), nan_warning).decision().warnings().texts(),
            (std::vector<std::string>{"Minimum margin 0.4000 in caution zone"}));
}

TEST_F(PipelineTest, MapFailureStopsBeforeChannels) {
  FakeAdapter adapter = with_margins({{"x", 0.9}});
  adapter.map_error = KernelError(KernelError::Kind::DomainAdapterFailed, "no map");
  expect_error(run(adapter), KernelError::Kind::DomainAdapterFailed, "no map");
  EXPECT_EQ(calls(), (std::vector<std::string>{"clock", "map_action_to_state"}));
}

TEST_F(PipelineTest, ChannelListFailureIsReturned) {
  FakeAdapter adapter = with_margins({{"x", 0.9}});
  adapter.channels_error = KernelError(KernelError::Kind::DomainAdapterFailed, "no list");
  expect_error(run(adapter), KernelError::Kind::DomainAdapterFailed, "no list");
  EXPECT_EQ(calls(),
            (std::vector<std::string>{"clock", "map_action_to_state", "constraint_channels"}));
}

TEST_F(PipelineTest, EvaluationFailureStopsTheWalk) {
  FakeAdapter adapter;
  adapter.channels = {
      {"a", 0.9},
      {"b", KernelError(KernelError::Kind::ChannelEvaluationFailed, "ValueError: bad")},
      {"c", 0.9}};
  expect_error(run(adapter), KernelError::Kind::ChannelEvaluationFailed, "ValueError: bad");
  EXPECT_EQ(calls(),
            (std::vector<std::string>{"clock", "map_action_to_state", "constraint_channels",
                                      "evaluate:a", "name:a", "evaluate:b"}));
}

TEST_F(PipelineTest, RegimeFailureIsReturned) {
  FakeAdapter adapter = with_margins({{"x", 0.9}});
  adapter.regime_error = KernelError(KernelError::Kind::DomainAdapterFailed, "no regime");
  expect_error(run(adapter), KernelError::Kind::DomainAdapterFailed, "no regime");
  EXPECT_EQ(calls().back(), "detect_regime_change");
}

TEST_F(PipelineTest, EmptyChannelSlotIsRefused) {
  FakeAdapter adapter = with_margins({{"x", 0.9}});
  adapter.null_channel = true;
  Result<Certificate> result = run(adapter);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), KernelError::Kind::PipelineFailed);
  EXPECT_EQ(calls().back(), "name:x");
}

TEST_F(PipelineTest, CurrentStateFailureBecomesZeros) {
  struct Case {
    StateVector proposed;
  };
  const Case cases[] = {{{0.25, 0.5, 0.75}}, {{}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proposed.size());
    calls().clear();
    FakeAdapter adapter = with_margins({{"x", 0.9}});
    adapter.proposed = c.proposed;
    adapter.current_error =
        KernelError(KernelError::Kind::DomainAdapterFailed, "current_state not implemented");
    Certificate cert = run_ok(adapter);
    EXPECT_EQ(adapter.seen_current, StateVector(c.proposed.size(), 0.0));
    EXPECT_EQ(adapter.seen_proposed, c.proposed);
    EXPECT_EQ(adapter.seen_sizes, (std::vector<std::size_t>{c.proposed.size()}));
    EXPECT_EQ(cert.decision().kind(), Decision::Kind::Certified);
    EXPECT_EQ(calls().back(), "domain_summary");
  }
}

TEST(UtcNow, ReadsTheWallClock) {
  const DecisionTime t = utc_now();
  EXPECT_LT(t.nanos, 1000000000u);
  // Later than 2024-01-01 and earlier than 2200-01-01.
  EXPECT_GT(t.seconds, 1704067200);
  EXPECT_LT(t.seconds, 7258118400);
}

}  // namespace
}  // namespace ruvo
