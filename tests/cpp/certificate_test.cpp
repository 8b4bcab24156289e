// Canonical text, SHA-256 hash and identifier of sealed certificates.
#include "kernel/certificate/certificate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <string>
#include <utility>

#include "adapters/agentic/agentic_adapter_core.h"
#include "kernel/pipeline.h"

namespace ruvo {
namespace {

// 2026-03-01T09:05:07 UTC.
constexpr std::int64_t kSeconds = 1772355907;

constexpr std::string_view kWorkedExample =
    "action:act-1|agent:agent-1|decided_at:2026-03-01T09:05:07.250+00:00|"
    "channel:budget:8.0000000000000004e-1|decision:Certified|zone:Safe";
// Computed with `printf '%s' TEXT | sha256sum`.
constexpr std::string_view kWorkedExampleHash =
    "90017919944d875462e831d9e6cab7fcc15f24f18b9fdc71b4539dd9a1b90a47";

CertificateParts worked_example() {
  CertificateParts parts;
  parts.action_id = "act-1";
  parts.agent_id = "agent-1";
  parts.decided_at = {kSeconds, 250000000};
  parts.margins.insert("budget", 0.8);
  parts.binding_constraint = "budget";
  parts.drift_budget = 0.8 - 0.6;
  return parts;
}

using Edit = void (*)(CertificateParts&);

TEST(CanonicalText, Pieces) {
  struct Case {
    const char* label;
    Edit edit;  // applied to the worked example
    std::string_view text;
  };
  const Case cases[] = {
      {"worked example", [](CertificateParts&) {}, kWorkedExample},
      {"no channels",
       [](CertificateParts& p) {
         p.margins = MarginMap();
         p.decided_at.nanos = 0;
       },
       "action:act-1|agent:agent-1|decided_at:2026-03-01T09:05:07+00:00|"
       "decision:Certified|zone:Safe"},
      {"name order",
       [](CertificateParts& p) {
         p.margins = MarginMap();
         p.margins.insert("b", 0.25);
         p.margins.insert("a", 0.5);
       },
       "action:act-1|agent:agent-1|decided_at:2026-03-01T09:05:07.250+00:00|"
       "channel:a:5.0000000000000000e-1|channel:b:2.5000000000000000e-1|"
       "decision:Certified|zone:Safe"},
      {"separators unescaped",
       [](CertificateParts& p) {
         p.action_id = "a|b";
         p.agent_id = "x|y:z";
         p.decided_at = {};
         p.margins = MarginMap();
         p.margins.insert("c:d|e", -0.0);
       },
       "action:a|b|agent:x|y:z|decided_at:1970-01-01T00:00:00+00:00|"
       "channel:c:d|e:-0.0000000000000000e0|decision:Certified|zone:Safe"},
      {"warnings",
       [](CertificateParts& p) {
         p.decided_at.nanos = 125000;
         p.margins.insert("rate", 0.1);
         p.decision = Decision::certified_with_warning({"one", "t\"wo"});
         p.zone = Zone::Caution;
       },
       "action:act-1|agent:agent-1|decided_at:2026-03-01T09:05:07.000125+00:00|"
       "channel:budget:8.0000000000000004e-1|channel:rate:1.0000000000000001e-1|"
       "decision:CertifiedWithWarning { warnings: [\"one\", \"t\\\"wo\"] }|zone:Caution"},
      {"blocked",
       [](CertificateParts& p) {
         p.decided_at.nanos = 123456789;
         p.margins.insert("budget", 0.0);
         p.decision = Decision::blocked("it's \\ bad");
         p.zone = Zone::Danger;
       },
       "action:act-1|agent:agent-1|decided_at:2026-03-01T09:05:07.123456789+00:00|"
       "channel:budget:0.0000000000000000e0|"
       "decision:Blocked { reason: \"it's \\\\ bad\" }|zone:Danger"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CertificateParts parts = worked_example();
    c.edit(parts);
    EXPECT_EQ(canonical_text(parts), c.text);
  }
}

TEST(Sha256, KnownDigests) {
  // Computed with `printf '%s' TEXT | sha256sum`.
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex(kWorkedExample), kWorkedExampleHash);
  EXPECT_EQ(sha256_hex("action:a|b|agent:x|y|decided_at:1970-01-01T00:00:00+00:00|"
                       "decision:Certified|zone:Safe"),
            "32b92ebbbd6ce452ab24db65be5e4ea4db812150b67a14c5ba09ca952ebb72c3");
  // Longer than one 64-byte block, with bytes outside ASCII.
  const std::string long_text(200, '\xc3');
  EXPECT_EQ(sha256_hex(long_text), sha256_hex(std::string(long_text)));
  EXPECT_NE(sha256_hex(long_text), sha256_hex(long_text.substr(1)));
}

TEST(Seal, HashAndIdentifier) {
  Certificate cert = seal(worked_example());
  EXPECT_EQ(cert.deterministic_hash(), kWorkedExampleHash);
  EXPECT_EQ(cert.certificate_id(), "cert-90017919944d875462e831d9e6cab7fc");
  EXPECT_EQ(cert.certificate_id().size(), 37u);
  EXPECT_EQ(cert.action_id(), "act-1");
  EXPECT_EQ(cert.agent_id(), "agent-1");
  EXPECT_EQ(cert.binding_constraint(), "budget");
  EXPECT_EQ(cert.drift_budget(), 0.8 - 0.6);
  EXPECT_FALSE(cert.domain_summary().has_value());
  EXPECT_EQ(cert.margins().size(), 1u);
  EXPECT_EQ(cert.decided_at().nanos, 250000000u);

  CertificateParts no_channels = worked_example();
  no_channels.margins = MarginMap();
  no_channels.decided_at.nanos = 0;
  no_channels.binding_constraint = "none";
  EXPECT_EQ(seal(std::move(no_channels)).deterministic_hash(),
            "bdebe698134bbd3356ddc604e47ec3b8d1d902d55555771511786d39d9453497");
}

TEST(Seal, ExtrasStayOutOfTheHash) {
  const std::string base(seal(worked_example()).deterministic_hash());

  CertificateParts extras = worked_example();
  extras.drift_budget = 0.123;
  JsonValue::Object object;
  object.emplace("domain", JsonValue::string("other"));
  extras.domain_summary = JsonValue::object(std::move(object));
  extras.binding_constraint = "something else";
  EXPECT_EQ(seal(std::move(extras)).deterministic_hash(), base);

  CertificateParts no_extras = worked_example();
  no_extras.drift_budget.reset();
  no_extras.binding_constraint.reset();
  EXPECT_EQ(seal(std::move(no_extras)).deterministic_hash(), base);
}

TEST(Seal, EveryHashedFieldChangesTheHash) {
  const std::string base(seal(worked_example()).deterministic_hash());
  const Edit edits[] = {
      [](CertificateParts& p) { p.action_id = "act-2"; },
      [](CertificateParts& p) { p.agent_id = "agent-2"; },
      [](CertificateParts& p) { p.decided_at.nanos += 1; },
      [](CertificateParts& p) { p.decided_at.seconds += 1; },
      [](CertificateParts& p) { p.margins.insert("budget", std::nextafter(0.8, 1.0)); },
      [](CertificateParts& p) { p.margins.insert("budget2", 0.8); },
      [](CertificateParts& p) { p.zone = Zone::Caution; },
      [](CertificateParts& p) { p.decision = Decision::certified_with_warning({"w"}); },
      [](CertificateParts& p) { p.decision = Decision::certified_with_warning({"W"}); },
  };
  for (std::size_t i = 0; i < std::size(edits); ++i) {
    SCOPED_TRACE(i);
    CertificateParts parts = worked_example();
    edits[i](parts);
    const Certificate cert = seal(std::move(parts));
    EXPECT_NE(cert.deterministic_hash(), base);
    EXPECT_EQ(cert.certificate_id(),
              "cert-" + std::string(cert.deterministic_hash().substr(0, 32)));
  }
}

DecisionTime worked_example_clock() {
  return {kSeconds, 250000000};
}

TEST(Seal, EndToEndWithAgenticCore) {
  AgenticAdapterCore core;
  const SimpleAction action("act-1", "agent-1", {{"scope_score", 1.0, 0.4}});
  Result<Certificate> result = certify(CertifierConfig{}, core, action, worked_example_clock);
  ASSERT_TRUE(result.ok()) << result.error().display();
  const Certificate& cert = result.value();
  // Text: action:act-1|agent:agent-1|decided_at:2026-03-01T09:05:07.250+00:00|
  // channel:budget:1.0000000000000000e0|channel:data_sensitivity:1.0000000000000000e0|
  // channel:rate_limit:1.0000000000000000e0|channel:reversibility:1.0000000000000000e0|
  // channel:scope:4.0000000000000002e-1|decision:CertifiedWithWarning { warnings:
  // ["Channel 'scope' margin 0.4000 below warning threshold"] }|zone:Caution
  EXPECT_EQ(cert.deterministic_hash(),
            "5e2c99e351c139b53c4fed7e99e63afd8c7129d1a60ab9faef094e290e159765");
  EXPECT_EQ(cert.certificate_id(), "cert-5e2c99e351c139b53c4fed7e99e63afd");
  EXPECT_EQ(cert.binding_constraint(), "scope");
  EXPECT_EQ(cert.drift_budget(), 0.4 - 0.3);
  ASSERT_TRUE(cert.domain_summary().has_value());
  EXPECT_EQ(cert.domain_summary()->dump(),
            R"({"budget_utilization":0,"channel_margins":{"budget":1,"data_sensitivity":1,)"
            R"("rate_limit":1,"reversibility":1,"scope":0.4},"domain":"agentic","rate_count":0})");
}

}  // namespace
}  // namespace ruvo
