// Cost of one certification with the agentic adapter, and of sealing and hashing alone.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <vector>

#include "adapters/agentic/agentic_adapter_core.h"
#include "kernel/certificate/certificate.h"
#include "kernel/pipeline.h"

namespace {

using namespace ruvo;

CertificateParts agentic_parts() {
  AgenticAdapterCore core;
  const SimpleAction action("act-1", "agent-1", {{"scope_score", 1.0, 0.4}});
  Result<Certificate> cert = certify(CertifierConfig{}, core, action);
  const Certificate& c = cert.value();
  CertificateParts parts;
  parts.action_id = c.action_id();
  parts.agent_id = c.agent_id();
  parts.decision = c.decision();
  parts.zone = c.zone();
  parts.margins = c.margins();
  parts.binding_constraint = c.binding_constraint();
  parts.drift_budget = c.drift_budget();
  parts.domain_summary = c.domain_summary();
  parts.decided_at = c.decided_at();
  return parts;
}

// The Python module's call skips the domain summary it would discard; C++ callers get it.
void BM_CertifyAgentic(benchmark::State& state) {
  const Summary summary = state.range(0) != 0 ? Summary::Build : Summary::Skip;
  AgenticAdapterCore core;
  core.record_spend(12.5);
  core.record_action();
  const SimpleAction action("act-1", "agent-1", {{"scope_score", 1.0, 0.4}});
  const CertifierConfig config;
  for (auto _ : state) {
    Result<Certificate> cert = certify(config, core, action, utc_now, summary);
    benchmark::DoNotOptimize(cert);
  }
  state.SetLabel(summary == Summary::Build ? "with summary" : "without summary");
}
BENCHMARK(BM_CertifyAgentic)->Arg(1)->Arg(0);

// Sealing consumes its parts; their copies are made in batches with the timer paused, so
// the figure is the seal and the certificate's release alone.
void BM_Seal(benchmark::State& state) {
  constexpr std::size_t kBatch = 1024;
  const CertificateParts parts = agentic_parts();
  std::vector<CertificateParts> batch;
  batch.reserve(kBatch);
  for (auto _ : state) {
    if (batch.empty()) {
      state.PauseTiming();
      batch.assign(kBatch, parts);
      state.ResumeTiming();
    }
    Certificate cert = seal(std::move(batch.back()));
    batch.pop_back();
    benchmark::DoNotOptimize(cert);
  }
}
BENCHMARK(BM_Seal);

void BM_CanonicalText(benchmark::State& state) {
  const CertificateParts parts = agentic_parts();
  for (auto _ : state) {
    std::string text = canonical_text(parts);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_CanonicalText);

void BM_Sha256CanonicalLength(benchmark::State& state) {
  const std::string text = canonical_text(agentic_parts());
  for (auto _ : state) {
    std::string hash = sha256_hex(text);
    benchmark::DoNotOptimize(hash);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(std::to_string(text.size()) + " bytes");
}
BENCHMARK(BM_Sha256CanonicalLength);

}  // namespace
