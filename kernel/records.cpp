// Text forms of the core records.
#include "kernel/records.h"

#include "kernel/text.h"

namespace ruvo {

std::string_view zone_text(Zone zone) {
  switch (zone) {
    case Zone::Safe:
      return "Safe";
    case Zone::Caution:
      return "Caution";
    case Zone::Danger:
      return "Danger";
  }
  return "Danger";
}

void Decision::append_debug_form(std::string& out) const {
  switch (kind_) {
    case Kind::Certified:
      out += "Certified";
      return;
    case Kind::CertifiedWithWarning: {
      out += "CertifiedWithWarning { warnings: [";
      bool first = true;
      for (const auto& w : warnings_) {
        if (!first) out += ", ";
        first = false;
        text::append_quoted(out, w);
      }
      out += "] }";
      return;
    }
    case Kind::EscalateToHuman:
      out += "EscalateToHuman { reason: ";
      break;
    case Kind::Blocked:
      out += "Blocked { reason: ";
      break;
  }
  text::append_quoted(out, reason_);
  out += " }";
}

std::string Decision::debug_form() const {
  std::string out;
  append_debug_form(out);
  return out;
}

std::string_view KernelError::prefix(Kind kind) {
  switch (kind) {
    case Kind::ChannelEvaluationFailed:
      return "Constraint channel evaluation failed: ";
    case Kind::DomainAdapterFailed:
      return "Domain adapter error: ";
    case Kind::PipelineFailed:
      return "Certification pipeline error: ";
    case Kind::RegistryFailed:
      return "Registry error: ";
    case Kind::DeclarativeConstraintFailed:
      return "Declarative constraint error: ";
    case Kind::SerializationFailed:
      return "Serialization error: ";
  }
  return "";
}

std::string KernelError::display() const {
  std::string out(prefix(kind_));
  out += message_;
  return out;
}

}  // namespace ruvo
