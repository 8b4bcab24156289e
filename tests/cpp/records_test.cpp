// Tests for the core records: decision debug form, margin map order, error and zone texts.
#include "kernel/records.h"

#include <gtest/gtest.h>

#include "case_names.h"

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace ruvo {
namespace {

struct DebugFormCase {
  const char* label;
  Decision decision;
  std::string expected;
};

void PrintTo(const DebugFormCase& c, std::ostream* os) {
  *os << c.label;
}

class DecisionDebugFormTest : public ::testing::TestWithParam<DebugFormCase> {};

TEST_P(DecisionDebugFormTest, Renders) {
  const DebugFormCase& c = GetParam();
  EXPECT_EQ(c.decision.debug_form(), c.expected) << c.label;
  std::string out = "decision:";
  c.decision.append_debug_form(out);
  EXPECT_EQ(out, "decision:" + c.expected) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, DecisionDebugFormTest,
    ::testing::Values(
        DebugFormCase{"certified", Decision::certified(), "Certified"},
        DebugFormCase{"two warnings", Decision::certified_with_warning({"a", "b"}),
                      R"(CertifiedWithWarning { warnings: ["a", "b"] })"},
        DebugFormCase{"one warning", Decision::certified_with_warning({"only"}),
                      R"(CertifiedWithWarning { warnings: ["only"] })"},
        DebugFormCase{"no warnings", Decision::certified_with_warning({}),
                      "CertifiedWithWarning { warnings: [] }"},
        DebugFormCase{"empty warning text", Decision::certified_with_warning({""}),
                      R"(CertifiedWithWarning { warnings: [""] })"},
        DebugFormCase{"escalate", Decision::escalate_to_human("review"),
                      R"(EscalateToHuman { reason: "review" })"},
        DebugFormCase{"blocked", Decision::blocked("x"), R"(Blocked { reason: "x" })"},
        DebugFormCase{"blocked empty reason", Decision::blocked(""), R"(Blocked { reason: "" })"},
        DebugFormCase{"reason with quotes and backslash", Decision::blocked("say \"no\" \\ now"),
                      R"(Blocked { reason: "say \"no\" \\ now" })"},
        DebugFormCase{
            "reason with single quotes",
            Decision::blocked("Margin 0.0000 on 'budget' is at or below block threshold 0.10"),
            R"(Blocked { reason: "Margin 0.0000 on 'budget' is at or below block )"
            R"(threshold 0.10" })"},
        DebugFormCase{"reason with newline and tab", Decision::escalate_to_human("a\nb\tc"),
                      R"(EscalateToHuman { reason: "a\nb\tc" })"},
        DebugFormCase{"warnings are each escaped",
                      Decision::certified_with_warning({"Channel 'x\"' margin", "e\u0301"}),
                      R"(CertifiedWithWarning { warnings: ["Channel 'x\"' margin", "e\u{301}"] })"},
        DebugFormCase{"comma inside a warning", Decision::certified_with_warning({"a, b", "c"}),
                      R"(CertifiedWithWarning { warnings: ["a, b", "c"] })"}),
    testing_support::NamedByPrintTo());

TEST(Decision, PayloadAccessors) {
  const Decision w = Decision::certified_with_warning({"a", "b"});
  EXPECT_EQ(w.kind(), Decision::Kind::CertifiedWithWarning);
  EXPECT_EQ(w.warnings().texts(), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(w.reason().empty());

  const Decision b = Decision::blocked("why");
  EXPECT_EQ(b.kind(), Decision::Kind::Blocked);
  EXPECT_EQ(b.reason(), "why");
  EXPECT_TRUE(b.warnings().empty());

  EXPECT_EQ(Decision::escalate_to_human("r").kind(), Decision::Kind::EscalateToHuman);
  EXPECT_EQ(Decision::certified().kind(), Decision::Kind::Certified);
}

std::vector<std::pair<std::string, double>> entries(const MarginMap& m) {
  return {m.begin(), m.end()};
}

TEST(MarginMap, InsertReplacesAndKeepsOneEntry) {
  MarginMap m;
  m.insert("b", 0.4);
  m.insert("a", 0.9);
  m.insert("b", 0.2);
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(entries(m), (std::vector<std::pair<std::string, double>>{{"a", 0.9}, {"b", 0.2}}));
  EXPECT_EQ(m.first().first, "a");
  ASSERT_NE(m.find("b"), nullptr);
  EXPECT_EQ(*m.find("b"), 0.2);
  EXPECT_EQ(m.find("c"), nullptr);
}

TEST(MarginMap, EmptyMap) {
  MarginMap m;
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.size(), 0u);
  EXPECT_EQ(m.begin(), m.end());
  EXPECT_EQ(m.find(""), nullptr);
}

struct OrderCase {
  const char* label;
  std::vector<std::string> inserted;
  std::vector<std::string> expected;
};

void PrintTo(const OrderCase& c, std::ostream* os) {
  *os << c.label;
}

class MarginMapOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(MarginMapOrderTest, IteratesByBytes) {
  const OrderCase& c = GetParam();
  MarginMap m;
  for (const auto& name : c.inserted) m.insert(name, 0.5);
  std::vector<std::string> names;
  for (const auto& [name, margin] : m) names.push_back(name);
  EXPECT_EQ(names, c.expected) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, MarginMapOrderTest,
    ::testing::Values(
        OrderCase{"case sensitive", {"alpha", "Zeta"}, {"Zeta", "alpha"}},
        OrderCase{"prefix first",
                  {"rate", "budget_2", "budget", "Rate"},
                  {"Rate", "budget", "budget_2", "rate"}},
        OrderCase{"empty name first", {"a", ""}, {"", "a"}},
        // Bytes at or above 0x80 compare as unsigned, so every non-ASCII name follows ASCII.
        OrderCase{"non-ASCII after ASCII",
                  {"\u00E9t\u00E9", "zeta", "\u4E2D", "~"},
                  {"zeta", "~", "\u00E9t\u00E9", "\u4E2D"}},
        OrderCase{
            "byte order, not code point order", {"\U0001F600", "\uFFFD"}, {"\uFFFD", "\U0001F600"}},
        OrderCase{"embedded NUL", {std::string("a\0b", 3), "a"}, {"a", std::string("a\0b", 3)}}),
    testing_support::NamedByPrintTo());

TEST(ByteOrder, UnsignedComparison) {
  const ByteOrder less;
  EXPECT_TRUE(less("~", "\x80"));
  EXPECT_FALSE(less("\x80", "~"));
  EXPECT_TRUE(less("budget", "budget_2"));
  EXPECT_FALSE(less("budget", "budget"));
}

struct ErrorCase {
  KernelError::Kind kind;
  std::string message;
  std::string expected;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.expected;
}

class KernelErrorDisplayTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(KernelErrorDisplayTest, Display) {
  const ErrorCase& c = GetParam();
  const KernelError error(c.kind, c.message);
  EXPECT_EQ(error.kind(), c.kind);
  EXPECT_EQ(error.message(), c.message);
  EXPECT_EQ(error.display(), c.expected);
}

using K = KernelError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Kinds, KernelErrorDisplayTest,
    ::testing::Values(ErrorCase{K::ChannelEvaluationFailed, "ValueError: bad",
                                "Constraint channel evaluation failed: ValueError: bad"},
                      ErrorCase{K::DomainAdapterFailed, "current_state not implemented",
                                "Domain adapter error: current_state not implemented"},
                      ErrorCase{K::DomainAdapterFailed, "", "Domain adapter error: "},
                      ErrorCase{K::PipelineFailed, "m", "Certification pipeline error: m"},
                      ErrorCase{K::RegistryFailed, "m", "Registry error: m"},
                      ErrorCase{K::DeclarativeConstraintFailed, "m",
                                "Declarative constraint error: m"},
                      ErrorCase{K::SerializationFailed, "m", "Serialization error: m"},
                      ErrorCase{K::SerializationFailed, "\"q\"\n", "Serialization error: \"q\"\n"}),
    testing_support::NamedByPrintTo());

TEST(Result, HoldsValueOrError) {
  Result<int> ok = 3;
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), 3);
  Result<int> bad = KernelError(K::RegistryFailed, "x");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().display(), "Registry error: x");
}

TEST(Zone, Texts) {
  EXPECT_EQ(zone_text(Zone::Safe), "Safe");
  EXPECT_EQ(zone_text(Zone::Caution), "Caution");
  EXPECT_EQ(zone_text(Zone::Danger), "Danger");
}

TEST(CertifierConfig, Defaults) {
  const CertifierConfig config;
  EXPECT_EQ(config.safe_threshold, 0.6);
  EXPECT_EQ(config.caution_threshold, 0.3);
  EXPECT_EQ(config.block_threshold, 0.1);
  EXPECT_EQ(config.warning_margin_threshold, 0.5);
}

TEST(SimpleAction, ReadsThroughTheInterface) {
  const SimpleAction action("act-1", "agent-1", {{"spend", 1.0, 2.0}, {"spend", 3.0, 4.0}});
  const ProposedAction& view = action;
  EXPECT_EQ(view.action_id(), "act-1");
  EXPECT_EQ(view.agent_id(), "agent-1");
  ASSERT_EQ(view.state_deltas().size(), 2u);
  EXPECT_EQ(view.state_deltas()[1].dimension, "spend");
  EXPECT_EQ(view.state_deltas()[1].to_value, 4.0);
}

}  // namespace
}  // namespace ruvo
