// The certification pipeline: from a proposed action to a sealed certificate.
#pragma once

#include <cstdint>
#include <optional>

#include "kernel/certificate/certificate.h"
#include "kernel/contracts.h"
#include "kernel/records.h"

namespace ruvo {

// Read once per certification; a plain function pointer so tests can pin the time.
using Clock = DecisionTime (*)();

// The system's UTC wall clock.
DecisionTime utc_now();

// Whether a certification builds the adapter's domain summary. Callers that discard the
// summary skip it; neither built-in adapter's summary runs domain code.
enum class Summary : std::uint8_t { Build, Skip };

// Runs one certification. Adapter and channel errors come back unchanged; a failing
// current_state is replaced by zeros of the proposed length.
Result<Certificate> certify(const CertifierConfig& config, const DomainAdapterContract& adapter,
                            const ProposedAction& action, Clock clock = utc_now,
                            Summary summary = Summary::Build);

// The same, sealing the certificate straight into `out`, which is left as it was on error.
Status certify_into(std::optional<Certificate>& out, const CertifierConfig& config,
                    const DomainAdapterContract& adapter, const ProposedAction& action,
                    Clock clock = utc_now, Summary summary = Summary::Build);

}  // namespace ruvo
