// Sealing: canonical text, SHA-256 through libcrypto, identifier.
#include "kernel/certificate/certificate.h"

// The direct SHA-256 routines are marked deprecated in OpenSSL 3 in favour of EVP, but
// remain part of its API.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "kernel/text.h"

namespace ruvo {
namespace {

constexpr std::string_view kIdPrefix = "cert-";
constexpr std::size_t kIdHexDigits = 32;
constexpr std::size_t kDigestBytes = 32;
static_assert(Certificate::kHashSize == 2 * kDigestBytes);
static_assert(Certificate::kIdSize == kIdPrefix.size() + kIdHexDigits);

// libcrypto's SHA-256 routines are called directly: through EVP, the provider dispatch and
// the context reset cost about a sixth more than hashing a canonical text itself.
void sha256(std::string_view data, unsigned char* digest) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, data.data(), data.size());
  SHA256_Final(digest, &ctx);
}

// Two lowercase digits per byte, most significant nibble first, read from a table of all
// 256 pairs: one copy per byte instead of two lookups and two stores.
constexpr auto kHexPairs = [] {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (std::size_t b = 0; b < 256; ++b) {
    pairs[2 * b] = kDigits[b >> 4];
    pairs[2 * b + 1] = kDigits[b & 0x0f];
  }
  return pairs;
}();

void append_hex(char* out, const unsigned char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) std::memcpy(out + 2 * i, &kHexPairs[2 * bytes[i]], 2);
}

// Upper bound of a piece's length, so the canonical text is built without regrowing.
std::size_t decision_size_hint(const Decision& decision) {
  return 32 + decision.reason().size() + decision.warnings().text_size() +
         4 * decision.warnings().size();
}

template <std::size_t N>
char* put(char* p, const char (&literal)[N]) {
  std::memcpy(p, literal, N - 1);
  return p + N - 1;
}
char* put(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

void append_canonical_text(std::string& out, const CertificateParts& parts) {
  // Everything before the decision has a known upper bound and is written straight into
  // place; the decision's quoted texts are appended after it.
  std::size_t head =
      7 + parts.action_id.size() + 7 + parts.agent_id.size() + 12 + text::kRfc3339MaxSize;
  for (const auto& [name, margin] : parts.margins) {
    head += 9 + name.size() + 1 + text::kExponential16MaxSize;
  }
  const std::size_t start = out.size();
  out.reserve(start + head + 10 + decision_size_hint(parts.decision) + 13);
  out.resize(start + head);

  char* const begin = out.data();
  char* p = begin + start;
  p = put(p, "action:");
  p = put(p, parts.action_id);
  p = put(p, "|agent:");
  p = put(p, parts.agent_id);
  p = put(p, "|decided_at:");
  p = text::write_rfc3339(p, parts.decided_at.seconds, parts.decided_at.nanos);
  for (const auto& [name, margin] : parts.margins) {
    p = put(p, "|channel:");
    p = put(p, name);
    *p++ = ':';
    p = text::write_exponential16(p, margin);
  }
  out.resize(static_cast<std::size_t>(p - begin));

  out += "|decision:";
  parts.decision.append_debug_form(out);
  out += "|zone:";
  out += zone_text(parts.zone);
}

}  // namespace

std::string canonical_text(const CertificateParts& parts) {
  std::string out;
  append_canonical_text(out, parts);
  return out;
}

std::string sha256_hex(std::string_view data) {
  std::array<unsigned char, kDigestBytes> digest{};
  sha256(data, digest.data());
  std::string hex(kDigestBytes * 2, '0');
  append_hex(hex.data(), digest.data(), kDigestBytes);
  return hex;
}

void seal_into(std::optional<Certificate>& out, CertificateParts&& parts) {
  // The text is needed only until it is hashed, so one buffer per thread serves every seal.
  thread_local std::string text;
  text.clear();
  append_canonical_text(text, parts);
  std::array<unsigned char, kDigestBytes> digest{};
  sha256(text, digest.data());
  // One certificate with thousands of channels must not pin its text for the thread's life.
  constexpr std::size_t kKeptCapacity = 64 * 1024;
  if (text.capacity() > kKeptCapacity) std::string().swap(text);

  Certificate& cert = out.emplace(Certificate::Key(), std::move(parts));
  append_hex(cert.hash_.data(), digest.data(), kDigestBytes);
  std::memcpy(cert.id_.data(), kIdPrefix.data(), kIdPrefix.size());
  std::memcpy(cert.id_.data() + kIdPrefix.size(), cert.hash_.data(), kIdHexDigits);
}

Certificate seal(CertificateParts parts) {
  std::optional<Certificate> out;
  seal_into(out, std::move(parts));
  return std::move(*out);
}

}  // namespace ruvo
