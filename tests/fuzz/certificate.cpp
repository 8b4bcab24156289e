// Fuzzes sealing: the canonical text, its SHA-256 hash and the identifier derived from it.
#include <openssl/sha.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kernel/certificate/certificate.h"
#include "kernel/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string hex(const unsigned char* bytes, std::size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out;
}

// One-shot SHA-256, not the kernel's reused digest context.
std::string reference_hash(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  return hex(digest, sizeof digest);
}

struct Input {
  ruvo::CertificateParts parts;
  std::map<std::string, double> margins;  // what the parts' margins must hold, by byte order
  bool names_valid_utf8 = true;
};

// Input layout (strings are a length byte then the bytes): action id, agent id, zone byte,
// decision kind byte, reason, warning count byte and warnings, channel count byte and per
// channel a name and eight bytes of margin, a byte asking for many generated channels,
// eight bytes of seconds, four of nanoseconds and a fraction mode byte.
Input read_input(fuzz::Reader& in) {
  Input r;
  ruvo::CertificateParts& p = r.parts;
  p.action_id = in.str();
  p.agent_id = in.str();
  p.zone = static_cast<ruvo::Zone>(in.u8() % 3);
  const std::uint8_t kind = in.u8() % 4;
  std::string reason = in.str();
  std::vector<std::string> warnings(in.u8() % 5);
  for (auto& w : warnings) w = in.str();
  switch (kind) {
    case 0:
      p.decision = ruvo::Decision::certified();
      break;
    case 1:
      p.decision = ruvo::Decision::certified_with_warning(std::move(warnings));
      break;
    case 2:
      p.decision = ruvo::Decision::escalate_to_human(std::move(reason));
      break;
    default:
      p.decision = ruvo::Decision::blocked(std::move(reason));
      break;
  }

  // Margins arrive both ways the kernel builds them; either way the last of a name wins.
  ruvo::MarginMap::Storage entries;
  for (int n = in.u8() % 9; n > 0; --n) {
    std::string name = in.str();
    const double margin = std::bit_cast<double>(in.u64());
    r.margins[name] = margin;
    r.names_valid_utf8 = r.names_valid_utf8 && fuzz::is_valid_utf8(name);
    entries.emplace_back(std::move(name), margin);
  }
  const std::uint8_t many = in.u8();
  if (many >= 0xF0) {
    // Enough channels for a text past the size at which sealing lets its buffer go.
    for (int k = 0; k < (many - 0xEF) * 250; ++k) {
      std::string name = "generated-channel-" + std::to_string(k);
      const double margin = 1.0 / (k + 1);
      r.margins[name] = margin;
      entries.emplace_back(std::move(name), margin);
    }
  }
  if (entries.size() % 2 == 0) {
    p.margins = ruvo::MarginMap::from_entries(entries);
  } else {
    for (auto& [name, margin] : entries) p.margins.insert(std::move(name), margin);
  }

  p.decided_at.seconds = static_cast<std::int64_t>(in.u64());
  std::uint32_t nanos = in.u32() % 1000000000;
  switch (in.u8() % 4) {
    case 1:
      nanos = nanos % 1000 * 1000000;
      break;
    case 2:
      nanos = nanos % 1000000 * 1000;
      break;
    case 3:
      nanos = 0;
      break;
  }
  p.decided_at.nanos = nanos;
  return r;
}

// The canonical text put together piece by piece from the public renderers.
std::string expected_text(const Input& r) {
  const ruvo::CertificateParts& p = r.parts;
  std::string out = "action:" + p.action_id + "|agent:" + p.agent_id + "|decided_at:";
  ruvo::text::append_rfc3339(out, p.decided_at.seconds, p.decided_at.nanos);
  for (const auto& [name, margin] : r.margins) {
    out += "|channel:" + name + ":";
    ruvo::text::append_exponential16(out, margin);
  }
  out += "|decision:" + p.decision.debug_form() + "|zone:";
  out += ruvo::zone_text(p.zone);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  const Input input = read_input(in);
  const std::string text = ruvo::canonical_text(input.parts);
  FUZZ_CHECK(text == expected_text(input), text + "\nexpected\n" + expected_text(input));
  FUZZ_CHECK(fuzz::is_valid_utf8(text) ==
                 (fuzz::is_valid_utf8(input.parts.action_id) &&
                  fuzz::is_valid_utf8(input.parts.agent_id) && input.names_valid_utf8),
             text);

  const ruvo::Certificate cert = ruvo::seal(input.parts);
  const std::string hash = reference_hash(text);
  FUZZ_CHECK(cert.deterministic_hash() == hash,
             std::string(cert.deterministic_hash()) + " != " + hash);
  FUZZ_CHECK(ruvo::sha256_hex(text) == hash, text);
  FUZZ_CHECK(cert.certificate_id() == "cert-" + hash.substr(0, 32), cert.certificate_id());

  // Sealing reuses a buffer per thread: sealing something else in between, short or long,
  // must not change the result.
  ruvo::CertificateParts other;
  other.action_id = std::string(text.size() % 2 ? 70000 : 1, 'x');
  (void)ruvo::seal(other);
  const ruvo::Certificate again = ruvo::seal(input.parts);
  FUZZ_CHECK(again.deterministic_hash() == hash && again.certificate_id() == cert.certificate_id(),
             again.deterministic_hash());
  FUZZ_CHECK(ruvo::canonical_text(input.parts) == text, text);
  return 0;
}
