// C++ heap allocations of one agentic certification once the thread's buffers are warm.
#include <gtest/gtest.h>

#include "case_names.h"

#include <cstddef>
#include <string>

#include "adapters/agentic/agentic_adapter_core.h"
#include "kernel/pipeline.h"

// From the test-only operator new this binary is linked with: allocations made so far.
extern "C" long ruvo_new_count();

namespace ruvo {
namespace {

struct AllocationCase {
  const char* name;
  double scope;
  long most;
};

void PrintTo(const AllocationCase& c, std::ostream* os) {
  *os << c.name;
}

class Allocations : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(Allocations, AgenticCertification) {
  AgenticAdapterCore core;
  core.record_spend(12.5);
  core.record_action();
  const SimpleAction action("act-1", "agent-1", {{"scope_score", 1.0, GetParam().scope}});
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(certify(CertifierConfig{}, core, action, utc_now, Summary::Skip).ok());
  }
  const long before = ruvo_new_count();
  Result<Certificate> cert = certify(CertifierConfig{}, core, action, utc_now, Summary::Skip);
  const long allocations = ruvo_new_count() - before;
  ASSERT_TRUE(cert.ok());
  EXPECT_LE(allocations, GetParam().most);
}

INSTANTIATE_TEST_SUITE_P(Decisions, Allocations,
                         ::testing::Values(AllocationCase{"certified", 0.9, 2},
                                           AllocationCase{"warning", 0.4, 3},
                                           AllocationCase{"escalated", 0.2, 3},
                                           AllocationCase{"blocked", 0.05, 3}),
                         testing_support::NamedByPrintTo());

}  // namespace
}  // namespace ruvo
