// The sealed safety certificate: canonical text, SHA-256 fingerprint and identifier.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kernel/json_value.h"
#include "kernel/records.h"

namespace ruvo {

// A UTC instant counted from the Unix epoch.
struct DecisionTime {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;  // [0, 1e9)
};

// Everything a certificate carries except what sealing derives (identifier and hash).
struct CertificateParts {
  std::string action_id;
  std::string agent_id;
  Decision decision = Decision::certified();
  Zone zone = Zone::Safe;
  MarginMap margins;
  std::optional<std::string> binding_constraint;
  std::optional<double> drift_budget;
  std::optional<JsonValue> domain_summary;
  DecisionTime decided_at;
};

class Certificate;

// Hashes the canonical text, derives the identifier and builds the certificate in `out`,
// replacing what it held; cannot fail. Building in place spares moving the parts again.
void seal_into(std::optional<Certificate>& out, CertificateParts&& parts);

// Read-only once sealed: only sealing can build one.
class Certificate {
 public:
  // Held by sealing alone, so no other code can call the constructor below.
  class Key {
    Key() = default;
    friend void seal_into(std::optional<Certificate>& out, CertificateParts&& parts);
  };
  Certificate(Key, CertificateParts&& parts) : parts_(std::move(parts)) {}

  static constexpr std::size_t kHashSize = 64;  // lowercase hexadecimal SHA-256
  static constexpr std::size_t kIdSize = 37;    // "cert-" and the hash's first 32 digits

  std::string_view certificate_id() const { return {id_.data(), id_.size()}; }
  const std::string& action_id() const { return parts_.action_id; }
  const std::string& agent_id() const { return parts_.agent_id; }
  const Decision& decision() const { return parts_.decision; }
  Zone zone() const { return parts_.zone; }
  const MarginMap& margins() const { return parts_.margins; }
  const std::optional<std::string>& binding_constraint() const { return parts_.binding_constraint; }
  const std::optional<double>& drift_budget() const { return parts_.drift_budget; }
  const std::optional<JsonValue>& domain_summary() const { return parts_.domain_summary; }
  DecisionTime decided_at() const { return parts_.decided_at; }
  std::string_view deterministic_hash() const { return {hash_.data(), hash_.size()}; }

 private:
  friend void seal_into(std::optional<Certificate>& out, CertificateParts&& parts);

  CertificateParts parts_;
  // Fixed sizes, held inline: sealing allocates nothing for them.
  std::array<char, kHashSize> hash_;
  std::array<char, kIdSize> id_;
};

// The text whose SHA-256 is the certificate's hash; no piece is escaped.
std::string canonical_text(const CertificateParts& parts);

// Lowercase hexadecimal SHA-256 of `data` (64 digits).
std::string sha256_hex(std::string_view data);

// The same, returning the certificate.
Certificate seal(CertificateParts parts);

}  // namespace ruvo
