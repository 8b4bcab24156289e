// Margins to zone, decision, drift budget and sealed certificate.
#include "kernel/pipeline.h"

#include <chrono>
#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel/text.h"
#include "kernel/thread_spare.h"

namespace ruvo {
namespace {

constexpr std::string_view kNoChannel = "none";

double clamp_margin(double m) {
  // NaN fails both tests and passes through; -0.0 is not below 0.0 and keeps its sign.
  if (m < 0.0) return 0.0;
  if (m > 1.0) return 1.0;
  return m;
}

// A NaN margin means the channel could not tell how close the limit is, so it is treated
// as the most binding of all: the first NaN by name wins, otherwise the smallest number,
// ties to the name that sorts first.
const MarginMap::value_type& binding_entry(const MarginMap& margins) {
  const auto* candidate = &margins.first();
  for (const auto& entry : margins) {
    if (std::isnan(candidate->second)) break;
    if (std::isnan(entry.second) || candidate->second > entry.second) candidate = &entry;
  }
  return *candidate;
}

std::string regime_text(std::string_view binding, double m) {
  std::string out;
  out.reserve(64 + binding.size());
  out += "Regime change detected (binding constraint: ";
  out += binding;
  out += ", margin: ";
  text::append_fixed(out, m, 4);
  out += ')';
  return out;
}

// "Margin <m> on '<binding>'" + verdict + threshold + tail: the block and review texts.
std::string margin_text(std::string_view binding, double m, std::string_view verdict,
                        double threshold, std::string_view tail) {
  std::string out;
  out.reserve(64 + binding.size());
  out += "Margin ";
  text::append_fixed(out, m, 4);
  out += " on '";
  out += binding;
  out += verdict;
  text::append_fixed(out, threshold, 2);
  out += tail;
  return out;
}

std::string block_text(std::string_view binding, double m, double block) {
  return margin_text(binding, m, "' is at or below block threshold ", block, "");
}

std::string review_text(std::string_view binding, double m, double caution) {
  return margin_text(binding, m, "' requires human review (threshold: ", caution, ")");
}

WarningList caution_warnings(const MarginMap& margins, double m, double warning) {
  WarningList warnings;
  for (const MarginMap::value_type& entry : margins) {
    if (!(entry.second <= warning)) continue;
    if (warnings.empty()) warnings.reserve(64 + entry.first.size());
    warnings.add_written([&](std::string& w) {
      w += "Channel '";
      w += entry.first;
      w += "' margin ";
      text::append_fixed(w, entry.second, 4);
      w += " below warning threshold";
    });
  }
  if (warnings.empty()) {
    warnings.add_written([&](std::string& w) {
      w += "Minimum margin ";
      text::append_fixed(w, m, 4);
      w += " in caution zone";
    });
  }
  return warnings;
}

double drift_budget(const CertifierConfig& config, double m) {
  if (m > config.safe_threshold) return m - config.safe_threshold;
  if (m > config.caution_threshold) return m - config.caution_threshold;
  if (m > config.block_threshold) return m - config.block_threshold;
  return 0.0;
}

}  // namespace

DecisionTime utc_now() {
  using namespace std::chrono;
  const auto since_epoch = system_clock::now().time_since_epoch();
  const auto secs = floor<seconds>(since_epoch);
  const auto nanos = duration_cast<nanoseconds>(since_epoch - secs);
  return DecisionTime{static_cast<std::int64_t>(secs.count()),
                      static_cast<std::uint32_t>(nanos.count())};
}

Result<Certificate> certify(const CertifierConfig& config, const DomainAdapterContract& adapter,
                            const ProposedAction& action, Clock clock, Summary summary) {
  std::optional<Certificate> out;
  if (Status error = certify_into(out, config, adapter, action, clock, summary)) {
    return std::move(*error);
  }
  return std::move(*out);
}

Status certify_into(std::optional<Certificate>& out, const CertifierConfig& config,
                    const DomainAdapterContract& adapter, const ProposedAction& action, Clock clock,
                    Summary summary) {
  CertificateParts parts;
  parts.decided_at = clock();

  ThreadSpare<StateVector, 0> proposed;
  if (Status error = adapter.map_action_to_state(action, *proposed)) return std::move(*error);

  ThreadSpare<ChannelList, 0> channels;
  if (Status error = adapter.constraint_channels(*channels)) return std::move(*error);

  // Names are viewed, not copied, until the map places each one.
  ThreadSpare<std::vector<std::pair<std::string_view, double>>, 0> evaluated;
  evaluated->reserve(channels->size());
  for (const ConstraintChannelContract* channel : *channels) {
    // An empty slot is a broken adapter; refusing it beats certifying without a channel.
    if (channel == nullptr) {
      return KernelError(KernelError::Kind::PipelineFailed,
                         "constraint_channels returned an empty channel");
    }
    Result<double> margin = channel->evaluate(*proposed);
    if (!margin) return std::move(margin).error();
    evaluated->emplace_back(channel->name(), clamp_margin(margin.value()));
  }
  parts.margins = MarginMap::from_entries(*evaluated);

  double m = 1.0;
  if (parts.margins.empty()) {
    parts.binding_constraint.emplace(kNoChannel);
  } else {
    const auto& binding = binding_entry(parts.margins);
    parts.binding_constraint.emplace(binding.first);
    m = binding.second;
  }
  const std::string& binding_name = *parts.binding_constraint;

  ThreadSpare<StateVector, 1> current;
  if (adapter.current_state(*current)) current->assign(proposed->size(), 0.0);

  Result<bool> regime = adapter.detect_regime_change(*current, *proposed);
  if (!regime) return std::move(regime).error();

  // The first rule that applies wins; a regime change escalates whatever the margin.
  if (regime.value()) {
    parts.zone = m > config.caution_threshold ? Zone::Caution : Zone::Danger;
    parts.decision = Decision::escalate_to_human(regime_text(binding_name, m));
  } else if (std::isnan(m) || m <= config.block_threshold) {
    parts.zone = Zone::Danger;
    parts.decision = Decision::blocked(block_text(binding_name, m, config.block_threshold));
  } else if (m <= config.caution_threshold) {
    parts.zone = Zone::Danger;
    parts.decision =
        Decision::escalate_to_human(review_text(binding_name, m, config.caution_threshold));
  } else if (m <= config.safe_threshold) {
    parts.zone = Zone::Caution;
    parts.decision = Decision::certified_with_warning(
        caution_warnings(parts.margins, m, config.warning_margin_threshold));
  } else {
    parts.zone = Zone::Safe;
    parts.decision = Decision::certified();
  }
  parts.drift_budget = drift_budget(config, m);

  if (summary == Summary::Build) parts.domain_summary = adapter.domain_summary(parts.margins);
  parts.action_id = action.action_id();
  parts.agent_id = action.agent_id();
  seal_into(out, std::move(parts));
  return std::nullopt;
}

}  // namespace ruvo
